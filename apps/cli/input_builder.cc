#include "apps/cli/input_builder.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

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

// The content of a field's value, seen through an optional.
DataValuePtr Content(DataValuePtr value) {
  if (value && value->GetType().kind() == DataType::OPTIONAL) {
    return static_cast<OptionalValue const&>(*value).value();
  }
  return value;
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

// Whether the leaf at `segments[from..]` below `element` is already set: another option for
// the same leaf then starts a new list element.
bool Occupied(StructValue const& element, StructDefinition const& definition,
              std::vector<std::string> const& segments, std::size_t from) {
  CompoundValue const* value = &element;
  StructDefinition const* structure = &definition;
  for (std::size_t i = from; i < segments.size(); ++i) {
    auto field = structure->fields().find(segments[i]);
    if (field == structure->fields().end()) return false;
    Resolved resolved = Resolve(field->second);
    DataValuePtr const* present = value->FindField(segments[i]);
    if (!present) return false;
    DataValuePtr content = Content(*present);
    if (!content) return false;
    if (i + 1 == segments.size()) return resolved.definition->GetType().kind() != DataType::LIST;
    if (!IsStructure(resolved.definition) || !content->GetType().IsCompound()) return false;
    value = static_cast<CompoundValue const*>(content.get());
    structure = static_cast<StructDefinition const*>(resolved.definition.get());
  }
  return false;
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

InputBuilder::InputBuilder(DataDefinitionPtr input) : input_(std::move(input)) {
  Resolved resolved = Resolve(input_);
  std::string name = resolved.definition && IsStructure(resolved.definition)
                         ? static_cast<StructDefinition const&>(*resolved.definition).name()
                         : std::string();
  root_ = StructValue::GetInstance(name);
}

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
  auto unknown = [&](std::string const& where) {
    messages.push_back(
        Tirn::MakeMessage(MessageIds::kUnknownField, "{1}: there is no such field", where));
    return false;
  };
  Resolved top = Resolve(input_);
  if (!top.definition || !IsStructure(top.definition)) return unknown(path);
  std::vector<std::string> const segments = Split(path);
  auto const* structure = static_cast<StructDefinition const*>(top.definition.get());
  // The value of a leaf: the one given, the text read as the definition's kind, or true for
  // a boolean named without text.
  auto leaf = [&](DataDefinitionPtr const& definition, std::string const& where) -> DataValuePtr {
    if (value) return value;
    if (text) return TypeText(definition, where, *text, messages);
    if (definition->GetType().kind() == DataType::BOOLEAN) {
      return Tirn::Data::DataValue::Create<bool>(true);
    }
    messages.push_back(Tirn::MakeMessage(MessageIds::kNeedsValue, "{1} needs a value", where));
    return nullptr;
  };
  // The values below the root were all made here, mutable, and are only stored as const.
  StructValue* container = root_.get();
  std::string walked;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    std::string const& name = segments[i];
    walked += (i ? "." : "") + name;
    auto field = structure->fields().find(name);
    if (name.empty() || field == structure->fields().end()) return unknown(walked);
    Resolved resolved = Resolve(field->second);
    if (!resolved.definition) return unknown(walked);
    bool const last = i + 1 == segments.size();
    DataValuePtr const* present = container->FindField(name);
    DataValuePtr existing = present ? Content(*present) : nullptr;
    auto const kind = resolved.definition->GetType().kind();

    if (kind == DataType::LIST) {
      auto const& listDefinition = static_cast<ListDefinition const&>(*resolved.definition);
      Resolved element = Resolve(listDefinition.element());
      if (!element.definition) return unknown(walked);
      std::shared_ptr<ListValue> list;
      if (existing && existing->GetType().kind() == DataType::LIST) {
        list = std::const_pointer_cast<ListValue>(std::static_pointer_cast<ListValue const>(existing));
      } else {
        list = ListValue::GetInstance(listDefinition.isSet() ? ListValue::SET : ListValue::LIST);
        container->SetField(name, Wrap(list, resolved.optional));
      }
      if (IsStructure(element.definition)) {
        if (last) {
          messages.push_back(NeedsField(walked, "list of structures"));
          return false;
        }
        auto const& elementDefinition = static_cast<StructDefinition const&>(*element.definition);
        std::shared_ptr<StructValue> target;
        if (!list->elements().empty()) {
          DataValuePtr back = Content(list->elements().back());
          if (back && back->GetType().kind() == DataType::STRUCTURE &&
              !Occupied(static_cast<StructValue const&>(*back), elementDefinition, segments, i + 1)) {
            target = std::const_pointer_cast<StructValue>(std::static_pointer_cast<StructValue const>(back));
          }
        }
        if (!target) {
          target = StructValue::GetInstance(elementDefinition.name());
          list->Append(Wrap(target, element.optional));
        }
        walked += "[" + std::to_string(list->size() - 1) + "]";
        container = target.get();
        structure = &elementDefinition;
        continue;
      }
      if (!last) return unknown(walked + "." + segments[i + 1]);
      DataValuePtr typed = leaf(element.definition, walked);
      if (!typed) return false;
      list->Append(Wrap(typed, element.optional));
      return true;
    }

    if (IsStructure(resolved.definition)) {
      if (last) {
        messages.push_back(NeedsField(walked, resolved.definition->GetType().name()));
        return false;
      }
      auto const& inner = static_cast<StructDefinition const&>(*resolved.definition);
      std::shared_ptr<StructValue> next;
      if (existing && existing->GetType().kind() == DataType::STRUCTURE) {
        next = std::const_pointer_cast<StructValue>(std::static_pointer_cast<StructValue const>(existing));
      } else {
        next = StructValue::GetInstance(inner.name());
        container->SetField(name, Wrap(next, resolved.optional));
      }
      container = next.get();
      structure = &inner;
      continue;
    }

    if (!last) return unknown(walked + "." + segments[i + 1]);
    if (existing) {
      messages.push_back(Tirn::MakeMessage(MessageIds::kGivenTwice, "{1} is given twice", walked));
      return false;
    }
    DataValuePtr typed = leaf(resolved.definition, walked);
    if (!typed) return false;
    container->SetField(name, Wrap(typed, resolved.optional));
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
    CompoundValue const* value;
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
      DataValuePtr const* present = pending.value->FindField(name);
      DataValuePtr content = present ? Content(*present) : nullptr;
      if (resolved.definition->GetType().kind() == DataType::SECRET) {
        if (!content) missing.push_back(path);
      } else if (IsStructure(resolved.definition) && content && content->GetType().IsCompound()) {
        below.push_back({static_cast<StructDefinition const*>(resolved.definition.get()),
                         static_cast<CompoundValue const*>(content.get()), path});
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
  if (!Tirn::Data::Validate(input_, root_, messages, options)) return false;
  *out = root_;
  return true;
}

}  // namespace Cli
}  // namespace Apps
