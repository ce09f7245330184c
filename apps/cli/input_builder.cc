#include "apps/cli/input_builder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "apps/common/suggest.h"
#include "tirn/json/json.h"
#include "tirn/message/message.h"
#include "tirn/runtime/value/validation.h"

namespace Apps {
namespace Cli {

namespace {

using Tirn::Data::CompoundValue;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;
using Tirn::Data::ListDefinition;
using Tirn::Data::ListValue;
using Tirn::Data::OptionalValue;
using Tirn::Data::StructDefinition;
using Tirn::Data::StructValue;

std::vector<std::string> Split(std::string const& path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = path.find('.', start);
    segments.push_back(path.substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) return segments;
    start = dot + 1;
  }
}

Tirn::BaseMessage WrongKind(std::string const& path, std::string const& text, DataType type) {
  return Tirn::MakeMessage(MessageIds::kWrongKind, "{1}: \"{2}\" is not a valid {3}", path, text,
                           type.name());
}

Tirn::BaseMessage NeedsField(std::string const& path, char const* kind) {
  return Tirn::MakeMessage(MessageIds::kNeedsField, "{1} is a {2}: name one of its fields", path,
                           kind);
}

// The value to store in a field: wrapped in an optional where one is defined.
DataValuePtr Wrap(DataValuePtr value, bool optional) {
  if (!optional) return value;
  auto wrapped = OptionalValue::GetInstance();
  wrapped->value(std::move(value));
  return wrapped;
}

bool IsStructure(DataDefinitionPtr const& definition) {
  auto kind = definition->GetType().kind();
  return kind == DataType::STRUCTURE || kind == DataType::ERROR;
}

}  // namespace

// The input while options arrive: a tree of plain nodes that Put changes in place, made into
// the (immutable) value tree once, by Freeze. Destroyed without recursion.
struct InputBuilder::Draft {
  enum class Kind { kStructure, kList, kLeaf };

  static std::unique_ptr<Draft> Structure(std::string name, bool optional) {
    auto draft = std::make_unique<Draft>(Kind::kStructure, optional);
    draft->name = std::move(name);
    return draft;
  }
  static std::unique_ptr<Draft> List(bool isSet, bool optional) {
    auto draft = std::make_unique<Draft>(Kind::kList, optional);
    draft->isSet = isSet;
    return draft;
  }
  static std::unique_ptr<Draft> Leaf(DataValuePtr value, bool optional) {
    auto draft = std::make_unique<Draft>(Kind::kLeaf, optional);
    draft->value = std::move(value);
    return draft;
  }

  Draft(Kind kind, bool optional) : kind(kind), optional(optional) {}
  ~Draft() {
    std::vector<std::unique_ptr<Draft>> pending;
    auto adopt = [&pending](Draft& draft) {
      for (auto& field : draft.fields) pending.push_back(std::move(field.second));
      for (auto& element : draft.elements) pending.push_back(std::move(element));
      draft.fields.clear();
      draft.elements.clear();
    };
    adopt(*this);
    while (!pending.empty()) {
      std::unique_ptr<Draft> next = std::move(pending.back());
      pending.pop_back();
      adopt(*next);  // its children wait here, so that its own destruction recurses no further
    }
  }
  Draft(Draft const&) = delete;
  Draft& operator=(Draft const&) = delete;

  // The field `field` (replacing what was there) or a new last element.
  Draft* Set(std::string const& field, std::unique_ptr<Draft> draft) {
    return (fields[field] = std::move(draft)).get();
  }
  Draft* Append(std::unique_ptr<Draft> draft) {
    elements.push_back(std::move(draft));
    return elements.back().get();
  }
  Draft const* Field(std::string const& field) const {
    auto found = fields.find(field);
    return found == fields.end() ? nullptr : found->second.get();
  }
  Draft* Field(std::string const& field) {
    return const_cast<Draft*>(static_cast<Draft const*>(this)->Field(field));
  }

  Kind kind;
  bool optional;                                         // stored wrapped in an optional
  std::string name;                                      // kStructure: the structure's name
  bool isSet = false;                                    // kList: a set rather than a list
  std::map<std::string, std::unique_ptr<Draft>> fields;  // kStructure, in name order
  std::vector<std::unique_ptr<Draft>> elements;          // kList
  DataValuePtr value;                                    // kLeaf
};

namespace {

using Draft = InputBuilder::Draft;

// Whether the leaf at `segments[from..]` below `element` is already set: another option for
// the same leaf then starts a new list element.
bool Occupied(Draft const& element, StructDefinition const& definition,
              std::vector<std::string> const& segments, std::size_t from) {
  Draft const* draft = &element;
  StructDefinition const* structure = &definition;
  for (std::size_t i = from; i < segments.size(); ++i) {
    auto field = structure->fields().find(segments[i]);
    if (field == structure->fields().end()) return false;
    Resolved resolved = Resolve(field->second);
    Draft const* present = draft->Field(segments[i]);
    if (!present) return false;
    if (i + 1 == segments.size()) return resolved.definition->GetType().kind() != DataType::LIST;
    if (!IsStructure(resolved.definition) || present->kind != Draft::Kind::kStructure) return false;
    draft = present;
    structure = static_cast<StructDefinition const*>(resolved.definition.get());
  }
  return false;
}

// The value tree `root` stands for, made children first, without recursion.
std::shared_ptr<StructValue> Freeze(Draft const& root) {
  // Every node, parents before children; then made in the reverse order.
  std::vector<Draft const*> order{&root};
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (auto const& field : order[i]->fields) order.push_back(field.second.get());
    for (auto const& element : order[i]->elements) order.push_back(element.get());
  }
  std::map<Draft const*, DataValuePtr> made;
  std::shared_ptr<StructValue> frozenRoot;
  for (auto node = order.rbegin(); node != order.rend(); ++node) {
    Draft const& draft = **node;
    DataValuePtr value;
    auto take = [&made](Draft const* child) {
      auto found = made.find(child);
      DataValuePtr taken = Wrap(std::move(found->second), child->optional);
      made.erase(found);
      return taken;
    };
    switch (draft.kind) {
      case Draft::Kind::kStructure: {
        auto structure = StructValue::GetInstance(draft.name);
        for (auto const& field : draft.fields) {
          structure->SetField(field.first, take(field.second.get()));
        }
        if (&draft == &root) frozenRoot = structure;
        value = std::move(structure);
        break;
      }
      case Draft::Kind::kList: {
        auto list = ListValue::GetInstance(draft.isSet ? ListValue::SET : ListValue::LIST);
        for (auto const& element : draft.elements) list->Append(take(element.get()));
        value = std::move(list);
        break;
      }
      case Draft::Kind::kLeaf:
        value = draft.value;
        break;
    }
    made[&draft] = std::move(value);
  }
  return frozenRoot;
}

}  // namespace

Tirn::BaseMessage SecretOnCommandLine(std::string const& path) {
  return Tirn::MakeMessage(MessageIds::kSecretOnCommandLine,
                           "{1} is a secret and is not taken from the command line (it would "
                           "show in the process list): give it through --json @file, --json - "
                           "or the prompt",
                           path);
}

Resolved Resolve(DataDefinitionPtr definition) {
  Resolved resolved;
  while (definition) {
    auto kind = definition->GetType().kind();
    if (kind == DataType::OPTIONAL) {
      resolved.optional = true;
      definition = static_cast<Tirn::Data::OptionalDefinition const&>(*definition).element();
    } else if (kind == DataType::UNION_CASE) {
      definition = static_cast<Tirn::Data::UnionCaseDefinition const&>(*definition).element();
    } else if (kind == DataType::STRUCTURE_REF) {
      definition = static_cast<Tirn::Data::StructRefDefinition const&>(*definition).target();
    } else {
      break;
    }
  }
  resolved.definition = std::move(definition);
  return resolved;
}

DataValuePtr TypeText(DataDefinitionPtr const& definition, std::string const& path,
                      std::string const& text, std::list<Tirn::BaseMessage>& messages) {
  DataType const type = definition->GetType();
  switch (type.kind()) {
    case DataType::STRING:
      return Tirn::Data::DataValue::Create<std::string>(text);
    case DataType::INTEGER: {
      char const* begin = text.data();
      char const* end = begin + text.size();
      if (begin != end && *begin == '+') ++begin;
      long long number = 0;
      auto parsed = std::from_chars(begin, end, number);
      if (begin == end || parsed.ec != std::errc() || parsed.ptr != end) break;
      return Tirn::Data::DataValue::Create<long long>(number);
    }
    case DataType::DOUBLE: {
      if (text.empty() || text.find_first_of(" \t\n") != std::string::npos) break;
      char* end = nullptr;
      double number = std::strtod(text.c_str(), &end);
      if (end != text.c_str() + text.size() || !std::isfinite(number)) break;
      return Tirn::Data::DataValue::Create<double>(number);
    }
    case DataType::BOOLEAN:
      if (text != "true" && text != "false") break;
      return Tirn::Data::DataValue::Create<bool>(text == "true");
    case DataType::VOID:
      if (!text.empty()) break;
      return Tirn::Data::VoidValue::GetInstance();
    case DataType::BLOB: {
      // Base64, read by the JSON decoder, which knows the alphabet and the padding.
      if (text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
          std::string::npos) {
        break;
      }
      std::list<Tirn::BaseMessage> ignored;
      DataValuePtr blob;
      if (!Tirn::Json::Decode("\"" + text + "\"", definition, &blob, ignored)) break;
      return blob;
    }
    case DataType::SECRET:
      messages.push_back(SecretOnCommandLine(path));
      return nullptr;
    default:
      messages.push_back(NeedsField(path, type.name()));
      return nullptr;
  }
  messages.push_back(WrongKind(path, text, type));
  return nullptr;
}

boost::optional<std::string> FindSecret(DataValuePtr const& value) {
  struct Pending {
    DataValuePtr value;
    std::string path;
  };
  std::vector<Pending> stack{{value, ""}};
  std::vector<Pending> below;
  while (!stack.empty()) {
    Pending pending = std::move(stack.back());
    stack.pop_back();
    if (!pending.value) continue;
    below.clear();
    switch (pending.value->GetType().kind()) {
      case DataType::SECRET:
        return pending.path.empty() ? std::string("<root>") : pending.path;
      case DataType::OPTIONAL:
        below.push_back({static_cast<OptionalValue const&>(*pending.value).value(), pending.path});
        break;
      case DataType::LIST: {
        std::size_t index = 0;
        for (auto const& element : static_cast<ListValue const&>(*pending.value).elements()) {
          below.push_back({element, pending.path + "[" + std::to_string(index++) + "]"});
        }
        break;
      }
      default:
        if (!pending.value->GetType().IsCompound()) break;
        for (auto const& field : static_cast<CompoundValue const&>(*pending.value).fields()) {
          below.push_back(
              {field.second, pending.path.empty() ? std::string(field.first)
                                               : pending.path + "." + std::string(field.first)});
        }
    }
    stack.insert(stack.end(), std::make_move_iterator(below.rbegin()),
                 std::make_move_iterator(below.rend()));
  }
  return boost::none;
}

InputBuilder::InputBuilder(DataDefinitionPtr input,
                           std::shared_ptr<Tirn::Data::DefinitionAnnotations const> annotations)
    : input_(std::move(input)), annotations_(std::move(annotations)) {
  Resolved resolved = Resolve(input_);
  std::string name = resolved.definition && IsStructure(resolved.definition)
                         ? static_cast<StructDefinition const&>(*resolved.definition).name()
                         : std::string();
  root_ = Draft::Structure(name, false);
}

InputBuilder::~InputBuilder() = default;

bool InputBuilder::Add(std::string const& path, std::string const& text,
                       std::list<Tirn::BaseMessage>& messages, bool hasText) {
  return Put(path, hasText ? &text : nullptr, nullptr, messages);
}

bool InputBuilder::AddSecret(std::string const& path, Tirn::SecretString secret,
                             std::list<Tirn::BaseMessage>& messages) {
  return Put(path, nullptr, Tirn::Data::SecretValue::GetInstance(std::move(secret)), messages);
}

bool InputBuilder::Put(std::string const& path, std::string const* text, DataValuePtr value,
                       std::list<Tirn::BaseMessage>& messages) {
  // The option and the one probably meant (`meant`, a path) are said as they are typed, with
  // their dashes, so that the hint can be typed as it stands.
  auto unknown = [&](std::string const& where, std::string const& meant = {}) {
    messages.push_back(Tirn::MakeMessage(
        MessageIds::kUnknownField, "{1}: there is no such field{2}", "--" + where,
        meant.empty() ? std::string() : " (did you mean --" + meant + "?)"));
    return false;
  };
  Resolved top = Resolve(input_);
  if (!top.definition || !IsStructure(top.definition)) return unknown(path);
  std::vector<std::string> const segments = Split(path);
  auto const* structure = static_cast<StructDefinition const*>(top.definition.get());
  // The value of a leaf: the one given, the text read as the definition's kind, or true for
  // a boolean named without text.
  // The value of a leaf of the field `field` of `owner`: the one given, the text read as the
  // definition's kind (an enumeration's text one of its names), or true for a boolean named
  // without text.
  auto leaf = [&](DataDefinitionPtr const& definition, std::string const& where,
                  StructDefinition const& owner, std::string const& field) -> DataValuePtr {
    if (value) return value;
    auto const* names = annotations_ && definition->GetType().kind() == DataType::STRING
                            ? annotations_->EnumerationNames(owner.name(), field)
                            : nullptr;
    if (text && names && std::find(names->begin(), names->end(), *text) == names->end()) {
      // Names differ in case only from what was meant as often as by a typing mistake.
      std::string known, hint = DidYouMean(*text, *names);
      for (auto const& name : *names) {
        known += (known.empty() ? "" : ", ") + name;
        if (boost::algorithm::iequals(name, *text)) hint = " (did you mean " + name + "?)";
      }
      messages.push_back(Tirn::MakeMessage(
          MessageIds::kUnknownEnumerationValue,
          "{1}: \"{2}\" is not one of {3}{4}; a value this client does not know can still be "
          "sent with --json",
          where, *text, known, hint));
      return nullptr;
    }
    if (text) return TypeText(definition, where, *text, messages);
    if (definition->GetType().kind() == DataType::BOOLEAN) {
      return Tirn::Data::DataValue::Create<bool>(true);
    }
    messages.push_back(Tirn::MakeMessage(MessageIds::kNeedsValue, "{1} needs a value", where));
    return nullptr;
  };
  Draft* container = root_.get();
  std::string walked;  // with the index of each list element passed ("filter.address[0]")
  std::string option;  // as the option names it ("filter.address")
  for (std::size_t i = 0; i < segments.size(); ++i) {
    std::string const& name = segments[i];
    walked += (i ? "." : "") + name;
    option += (i ? "." : "") + name;
    auto field = structure->fields().find(name);
    if (name.empty() || field == structure->fields().end()) {
      std::vector<std::string> known;
      for (auto const& candidate : structure->fields()) known.push_back(candidate.first);
      std::string const closest = Closest(name, known);
      std::string const parent = option.substr(0, option.size() - name.size());
      return unknown(option, closest.empty() ? closest : parent + closest);
    }
    Resolved resolved = Resolve(field->second);
    if (!resolved.definition) return unknown(option);
    bool const last = i + 1 == segments.size();
    Draft* existing = container->Field(name);
    auto const kind = resolved.definition->GetType().kind();

    if (kind == DataType::LIST) {
      auto const& listDefinition = static_cast<ListDefinition const&>(*resolved.definition);
      Resolved element = Resolve(listDefinition.element());
      if (!element.definition) return unknown(option);
      Draft* list = existing && existing->kind == Draft::Kind::kList
                        ? existing
                        : container->Set(name, Draft::List(listDefinition.isSet(), resolved.optional));
      if (IsStructure(element.definition)) {
        if (last) {
          messages.push_back(NeedsField(walked, "list of structures"));
          return false;
        }
        auto const& elementDefinition = static_cast<StructDefinition const&>(*element.definition);
        Draft* target = nullptr;
        if (!list->elements.empty()) {
          Draft* back = list->elements.back().get();
          if (back->kind == Draft::Kind::kStructure &&
              !Occupied(*back, elementDefinition, segments, i + 1)) {
            target = back;
          }
        }
        if (!target) target = list->Append(Draft::Structure(elementDefinition.name(), element.optional));
        walked += "[" + std::to_string(list->elements.size() - 1) + "]";
        container = target;
        structure = &elementDefinition;
        continue;
      }
      if (!last) return unknown(option + "." + segments[i + 1]);
      DataValuePtr typed = leaf(element.definition, walked, *structure, name);
      if (!typed) return false;
      list->Append(Draft::Leaf(std::move(typed), element.optional));
      return true;
    }

    if (IsStructure(resolved.definition)) {
      if (last) {
        messages.push_back(NeedsField(walked, resolved.definition->GetType().name()));
        return false;
      }
      auto const& inner = static_cast<StructDefinition const&>(*resolved.definition);
      container = existing && existing->kind == Draft::Kind::kStructure
                      ? existing
                      : container->Set(name, Draft::Structure(inner.name(), resolved.optional));
      structure = &inner;
      continue;
    }

    if (!last) return unknown(option + "." + segments[i + 1]);
    if (existing) {
      messages.push_back(Tirn::MakeMessage(MessageIds::kGivenTwice, "{1} is given twice", walked));
      return false;
    }
    DataValuePtr typed = leaf(resolved.definition, walked, *structure, name);
    if (!typed) return false;
    container->Set(name, Draft::Leaf(std::move(typed), resolved.optional));
    return true;
  }
  return unknown(path);
}

std::vector<std::string> InputBuilder::MissingSecrets() const {
  std::vector<std::string> missing;
  Resolved top = Resolve(input_);
  if (!top.definition || !IsStructure(top.definition)) return missing;
  struct Pending {
    StructDefinition const* definition;
    Draft const* draft;
    std::string path;
  };
  std::vector<Pending> stack{{static_cast<StructDefinition const*>(top.definition.get()), root_.get(), ""}};
  while (!stack.empty()) {
    Pending pending = std::move(stack.back());
    stack.pop_back();
    std::vector<Pending> below;
    for (auto const& [name, fieldDefinition] : pending.definition->fields()) {
      Resolved resolved = Resolve(fieldDefinition);
      if (!resolved.definition) continue;
      std::string path = pending.path.empty() ? name : pending.path + "." + name;
      Draft const* present = pending.draft->Field(name);
      if (resolved.definition->GetType().kind() == DataType::SECRET) {
        if (!present) missing.push_back(path);
      } else if (IsStructure(resolved.definition) && present &&
                 present->kind == Draft::Kind::kStructure) {
        below.push_back({static_cast<StructDefinition const*>(resolved.definition.get()), present, path});
      }
    }
    // The first field's structure is visited first.
    stack.insert(stack.end(), std::make_move_iterator(below.rbegin()),
                 std::make_move_iterator(below.rend()));
  }
  return missing;
}

bool InputBuilder::Finish(DataValuePtr* out, std::list<Tirn::BaseMessage>& messages) {
  Tirn::Data::ValidationOptions options;
  options.rejectUnknownFields = true;
  std::shared_ptr<StructValue const> input = Freeze(*root_);
  if (!Tirn::Data::Validate(input_, input, messages, options)) return false;
  *out = std::move(input);
  return true;
}

}  // namespace Cli
}  // namespace Apps
