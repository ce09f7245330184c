// The JSON form of definition trees: written from definitions into value trees of the JSON's
// shape, and read back from them, each with an explicit work stack.
#include "tirn/json/definition.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include <boost/logic/tribool.hpp>

#include "tirn/json/json_internal.h"
#include "tirn/runtime/value/equal.h"

namespace Tirn {
namespace Json {

namespace {

using Data::CompoundValue;
using Data::DataDefinition;
using Data::DataDefinitionPtr;
using Data::DataType;
using Data::DataValue;
using Data::DataValuePtr;
using Data::DynamicStructValue;
using Data::ListValue;
using Data::StringValue;
using Data::StructDefinition;

// Members of the form.
constexpr char kKind[] = "kind";
constexpr char kName[] = "name";
constexpr char kElement[] = "element";
constexpr char kTag[] = "tag";
constexpr char kValues[] = "values";
constexpr char kEnumeration[] = "enumeration";
constexpr char kEnumerationDescriptions[] = "enumeration_descriptions";
constexpr char kFields[] = "fields";
constexpr char kType[] = "type";
constexpr char kStructures[] = "structures";
constexpr char kOperations[] = "operations";
constexpr char kInterface[] = "interface";
constexpr char kService[] = "service";
constexpr char kServiceDescription[] = "service_description";
constexpr char kOperation[] = "operation";
constexpr char kInput[] = "input";
constexpr char kOutput[] = "output";
constexpr char kErrors[] = "errors";
constexpr char kDescription[] = "description";

// Kinds of the form.
constexpr char kList[] = "list";
constexpr char kSet[] = "set";
constexpr char kOptional[] = "optional";
constexpr char kUnionCase[] = "union_case";
constexpr char kStructure[] = "structure";
constexpr char kError[] = "error";

struct LeafKind {
  DataType::Kind kind;
  char const* name;
};
constexpr LeafKind kLeafKinds[] = {
    {DataType::VOID, "void"},     {DataType::INTEGER, "integer"},
    {DataType::DOUBLE, "double"}, {DataType::BOOLEAN, "boolean"},
    {DataType::BLOB, "blob"},     {DataType::STRING, "string"},
    {DataType::SECRET, "secret"}, {DataType::DYNAMIC_STRUCTURE, "dynamic_structure"},
};

char const* LeafName(DataType::Kind kind) {
  for (LeafKind const& leaf : kLeafKinds) {
    if (leaf.kind == kind) return leaf.name;
  }
  return nullptr;
}

LeafKind const* FindLeaf(std::string const& name) {
  for (LeafKind const& leaf : kLeafKinds) {
    if (name == leaf.name) return &leaf;
  }
  return nullptr;
}

// ---- Values of the JSON's shape ------------------------------------------------------------

std::shared_ptr<DynamicStructValue> Object() {
  return DynamicStructValue::GetInstance(std::string());
}

DataValuePtr Text(std::string text) { return StringValue::GetInstance(std::move(text)); }

DataValuePtr Texts(std::vector<std::string> const& texts) {
  auto list = ListValue::GetInstance(ListValue::LIST);
  for (std::string const& text : texts) list->Append(Text(text));
  return list;
}

CompoundValue const* AsObject(DataValue const* value) {
  return value && value->GetType().kind() == DataType::DYNAMIC_STRUCTURE
             ? static_cast<CompoundValue const*>(value)
             : nullptr;
}

ListValue const* AsArray(DataValue const* value) {
  return value && value->GetType().kind() == DataType::LIST
             ? static_cast<ListValue const*>(value)
             : nullptr;
}

DataValue const* Member(CompoundValue const* object, char const* name) {
  DataValuePtr const* found = object ? object->FindField(name) : nullptr;
  return found ? found->get() : nullptr;
}

std::string const* StringMember(CompoundValue const* object, char const* name) {
  DataValue const* member = Member(object, name);
  return member && member->GetType().kind() == DataType::STRING
             ? &static_cast<StringValue const*>(member)->value()
             : nullptr;
}

// The strings of an array member; false when the member is there and is not one.
bool StringsMember(CompoundValue const* object, char const* name, std::vector<std::string>* out,
                   bool* present) {
  DataValue const* member = Member(object, name);
  *present = member != nullptr;
  if (!member) return true;
  ListValue const* array = AsArray(member);
  if (!array) return false;
  out->clear();
  for (DataValuePtr const& element : array->elements()) {
    if (!element || element->GetType().kind() != DataType::STRING) return false;
    out->push_back(static_cast<StringValue const&>(*element).value());
  }
  return true;
}

// The strings of an object member, by name; false when the member is there and is not one.
bool StringMapMember(CompoundValue const* object, char const* name,
                     std::map<std::string, std::string>* out, bool* present) {
  DataValue const* member = Member(object, name);
  *present = member != nullptr;
  if (!member) return true;
  CompoundValue const* map = AsObject(member);
  if (!map) return false;
  out->clear();
  for (auto const& entry : map->fields()) {
    if (!entry.second || entry.second->GetType().kind() != DataType::STRING) return false;
    (*out)[std::string(entry.first)] = static_cast<StringValue const&>(*entry.second).value();
  }
  return true;
}

// The "description" (or the member `name`) of an object into `*out` (null when it has none);
// false when it is there and is not a string.
bool DescriptionMember(CompoundValue const* object, std::string const** out,
                       char const* name = kDescription) {
  *out = StringMember(object, name);
  return *out || !Member(object, name);
}

// A name for a message: a hostile one is cut after 64 bytes, at a character's start.
std::string Short(boost::string_view name) {
  constexpr std::size_t kMost = 64;
  if (name.size() <= kMost) return std::string(name);
  std::size_t end = kMost;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return std::string(name.substr(0, end)) + "...";
}

// `base` followed by `depth` steps into wrappers' elements, the middle ones left out.
std::string ElementPath(std::string const& base, std::size_t depth) {
  constexpr std::size_t kEnds = 8;
  std::string path = base;
  if (depth <= 2 * kEnds) {
    for (std::size_t i = 0; i < depth; ++i) path += ".element";
    return path;
  }
  for (std::size_t i = 0; i < kEnds; ++i) path += ".element";
  path += "...";
  for (std::size_t i = 0; i < kEnds; ++i) path += ".element";
  return path;
}

std::string FieldPath(std::string const& table, boost::string_view structure,
                      boost::string_view field) {
  return table + "." + Short(structure) + "." + kFields + "." + Short(field);
}

bool Fail(std::list<BaseMessage>& messages, char const* id, std::string const& path,
          std::string const& what) {
  messages.push_back(detail::JsonMessage(id, path, what));
  return false;
}

}  // namespace

// ---- Writing -------------------------------------------------------------------------------

DefinitionWriter::DefinitionWriter(Data::DefinitionAnnotations annotations)
    : annotations_(std::move(annotations)), structures_(Object()) {}

bool DefinitionWriter::Write(DataDefinitionPtr const& definition, DataValuePtr* type,
                             std::list<BaseMessage>& messages) {
  // One definition to write into `slot`. `structure` and `field` name the field it belongs to
  // (null at a root): `top` when it is the field's own definition, `enumeration` the names
  // still to be written on the string below.
  struct Task {
    DataDefinitionPtr definition;
    DataValuePtr* slot;
    std::string const* structure;
    std::string const* field;
    bool top;
    std::vector<std::string> const* enumeration;
  };
  auto where = [](Task const& task) {
    return task.structure ? *task.structure + "." + *task.field : std::string("<root>");
  };
  auto misfit = [&](Task const& task, std::string const& what) {
    return Fail(messages, MessageIds::kDefinitionAnnotation, where(task), what);
  };

  DataValuePtr root;
  std::vector<Task> pending{{definition, &root, nullptr, nullptr, false, nullptr}};
  while (!pending.empty()) {
    Task task = std::move(pending.back());
    pending.pop_back();
    DataDefinition const* node = task.definition.get();
    if (!node) {
      messages.push_back(detail::JsonMessage(MessageIds::kDefinitionMissing, where(task)));
      return false;
    }
    DataType::Kind const kind = node->GetType().kind();
    Data::UnionCaseAnnotation const* unionCase =
        task.top && task.structure ? annotations_.UnionCase(*task.structure, *task.field)
                                   : nullptr;
    if (unionCase && kind != DataType::UNION_CASE) {
      return misfit(task, std::string("a union case's values on a field of kind ") +
                              node->GetType().name());
    }
    auto object = Object();
    *task.slot = object;
    if (task.top) {
      if (std::string const* description =
              annotations_.FieldDescription(*task.structure, *task.field)) {
        object->SetField(kDescription, Text(*description));
      }
    }

    if (char const* leaf = LeafName(kind)) {
      object->SetField(kKind, Text(leaf));
      if (task.enumeration) {
        if (kind != DataType::STRING) {
          return misfit(task, std::string("an enumeration's names on a ") + leaf);
        }
        object->SetField(kEnumeration, Texts(*task.enumeration));
        if (auto const* meanings =
                annotations_.EnumerationDescriptions(*task.structure, *task.field)) {
          auto described = Object();
          for (auto const& meaning : *meanings) {
            described->SetField(meaning.first, Text(meaning.second));
          }
          object->SetField(kEnumerationDescriptions, std::move(described));
        }
      }
      continue;
    }
    switch (kind) {
      case DataType::LIST:
      case DataType::OPTIONAL:
      case DataType::UNION_CASE: {
        auto const& wrapping = static_cast<Data::WrappingDefinition const&>(*node);
        char const* name = kOptional;
        if (kind == DataType::LIST) {
          name = static_cast<Data::ListDefinition const&>(*node).isSet() ? kSet : kList;
        } else if (kind == DataType::UNION_CASE) {
          auto const& unionDefinition = static_cast<Data::UnionCaseDefinition const&>(*node);
          name = kUnionCase;
          object->SetField(kTag, Text(unionDefinition.tagName()));
          if (unionCase) {
            if (unionCase->tag != unionDefinition.tagName()) {
              return misfit(task, "the case's tag is " + unionDefinition.tagName() +
                                      ", its annotation's " + unionCase->tag);
            }
            object->SetField(kValues, Texts(unionCase->values));
          }
        }
        object->SetField(kKind, Text(name));
        pending.push_back({wrapping.element(), object->FieldSlot(kElement), task.structure,
                           task.field, false, task.enumeration});
        break;
      }
      case DataType::STRUCTURE_REF:
      case DataType::STRUCTURE:
      case DataType::ERROR: {
        if (task.enumeration) return misfit(task, "an enumeration's names on a structure");
        DataDefinitionPtr structure = task.definition;
        if (kind == DataType::STRUCTURE_REF) {
          auto const& reference = static_cast<Data::StructRefDefinition const&>(*node);
          structure = reference.target();
          if (!structure) {
            return Fail(messages, MessageIds::kDefinitionUnbound, where(task),
                        Short(reference.name()));
          }
        }
        auto const& described = static_cast<StructDefinition const&>(*structure);
        bool const error = structure->GetType().kind() == DataType::ERROR;
        object->SetField(kKind, Text(error ? kError : kStructure));
        object->SetField(kName, Text(described.name()));

        auto found = described_.find(described.name());
        if (found != described_.end()) {
          // Another structure of a described name (each tree of an operation is built on its
          // own) must be the same type; each is compared once.
          if (found->second != structure && !equalToDescribed_.count(structure.get())) {
            if (!Data::Equal(found->second, structure)) {
              return Fail(messages, MessageIds::kDefinitionConflict, where(task),
                          Short(described.name()));
            }
            equalToDescribed_.emplace(structure.get(), structure);
          }
          break;
        }
        // Described here, once: its fields join the work, with their annotations.
        described_.emplace(described.name(), structure);
        Data::StructureAnnotations const* own = annotations_.Find(described.name());
        if (own) {
          std::vector<std::string const*> annotated;
          for (auto const& names : own->enumerations) annotated.push_back(&names.first);
          for (auto const& values : own->unionCases) annotated.push_back(&values.first);
          for (auto const& text : own->fieldDescriptions) annotated.push_back(&text.first);
          for (auto const& text : own->enumerationDescriptions) annotated.push_back(&text.first);
          for (std::string const* field : annotated) {
            if (!described.fields().count(*field)) {
              return misfit(task, described.name() + " has no field " + *field);
            }
          }
          // Only the names an enumeration field lists have meanings.
          for (auto const& meanings : own->enumerationDescriptions) {
            auto named = own->enumerations.find(meanings.first);
            for (auto const& meaning : meanings.second) {
              if (named == own->enumerations.end() ||
                  std::find(named->second.begin(), named->second.end(), meaning.first) ==
                      named->second.end()) {
                return misfit(task, described.name() + "." + meanings.first +
                                        " lists no name " + meaning.first);
              }
            }
          }
        }
        auto entry = Object();
        auto fields = Object();
        entry->SetField(kKind, Text(error ? kError : kStructure));
        if (own && !own->description.empty()) entry->SetField(kDescription, Text(own->description));
        entry->SetField(kFields, fields);
        structures_->SetField(described.name(), entry);
        for (auto const& field : described.fields()) {
          std::vector<std::string> const* names = nullptr;
          if (own) {
            auto named = own->enumerations.find(field.first);
            if (named != own->enumerations.end()) names = &named->second;
          }
          pending.push_back({field.second, fields->FieldSlot(field.first), &described.name(),
                             &field.first, true, names});
        }
        break;
      }
      default:
        return Fail(messages, MessageIds::kDefinitionUnknownKind, where(task),
                    node->GetType().name());
    }
  }
  *type = std::move(root);
  return true;
}

// ---- Reading -------------------------------------------------------------------------------

namespace {

enum class Form { kLeaf, kList, kSet, kOptional, kUnionCase, kStructure, kError, kUnknown };

Form FormOf(std::string const& kind, DataType::Kind* leaf) {
  if (LeafKind const* found = FindLeaf(kind)) {
    *leaf = found->kind;
    return Form::kLeaf;
  }
  if (kind == kList) return Form::kList;
  if (kind == kSet) return Form::kSet;
  if (kind == kOptional) return Form::kOptional;
  if (kind == kUnionCase) return Form::kUnionCase;
  if (kind == kStructure) return Form::kStructure;
  if (kind == kError) return Form::kError;
  return Form::kUnknown;
}

}  // namespace

struct DefinitionReader::Table {
  struct Structure {
    bool error;
    CompoundValue const* fields;
    std::string const* description;  // null when it has none
  };
  DataValuePtr holder;  // the table's value, which the pointers below point into
  std::string path;
  std::map<std::string, Structure> structures;

  // Checks the "enumeration_descriptions" of a leaf: an object of strings, by names of its
  // "enumeration" (`names`, `listed` when it has one).
  template <typename Shape>
  static bool CheckMeanings(CompoundValue const* leaf, std::vector<std::string> const& names,
                            bool listed, Shape const& shape) {
    std::map<std::string, std::string> meanings;
    bool present = false;
    if (!StringMapMember(leaf, kEnumerationDescriptions, &meanings, &present)) {
      return shape("\"enumeration_descriptions\" must be an object of strings");
    }
    for (auto const& meaning : meanings) {
      if (!listed || std::find(names.begin(), names.end(), meaning.first) == names.end()) {
        return shape("\"enumeration_descriptions\" describes " + Short(meaning.first) +
                     ", which the \"enumeration\" does not list");
      }
    }
    return true;
  }

  // Checks that `type` is a type whose structures are in the table: a chain of wrappers down
  // to a leaf or a structure's name. Without recursion: a type nests through "element" only.
  bool Check(DataValue const* type, std::string const& base,
             std::list<BaseMessage>& messages) const {
    for (std::size_t depth = 0;; ++depth) {
      CompoundValue const* object = AsObject(type);
      std::string const* kind = StringMember(object, kKind);
      auto const shape = [&](std::string const& what) {
        return Fail(messages, MessageIds::kDefinitionShape, ElementPath(base, depth), what);
      };
      if (!kind) return shape("expected an object with a \"kind\"");
      DataType::Kind leaf = DataType::VOID;
      Form const form = FormOf(*kind, &leaf);
      std::vector<std::string> strings;
      bool present = false;
      switch (form) {
        case Form::kUnknown:
          return Fail(messages, MessageIds::kDefinitionUnknownKind, ElementPath(base, depth),
                      Short(*kind));
        case Form::kLeaf:
          if (!StringsMember(object, kEnumeration, &strings, &present)) {
            return shape("\"enumeration\" must be an array of strings");
          }
          if (!CheckMeanings(object, strings, present, shape)) return false;
          return true;
        case Form::kStructure:
        case Form::kError: {
          std::string const* name = StringMember(object, kName);
          if (!name) return shape("a structure needs its \"name\"");
          auto found = structures.find(*name);
          if (found == structures.end()) {
            return Fail(messages, MessageIds::kDefinitionUnknownStructure,
                        ElementPath(base, depth), Short(*name));
          }
          if (found->second.error != (form == Form::kError)) {
            return shape(Short(*name) + " is described as " +
                         (found->second.error ? "an error" : "a structure"));
          }
          return true;
        }
        case Form::kUnionCase:
          if (!StringMember(object, kTag)) return shape("a union case needs its \"tag\"");
          if (!StringsMember(object, kValues, &strings, &present)) {
            return shape("\"values\" must be an array of strings");
          }
          break;
        default:
          break;
      }
      type = Member(object, kElement);
      if (!type) return shape("a " + *kind + " needs its \"element\"");
    }
  }
};

DefinitionReader::DefinitionReader(DefinitionDecodeOptions const& options) : options_(options) {}

bool DefinitionReader::Start(DataValuePtr const& structures, std::string const& path,
                             std::list<BaseMessage>& messages) {
  auto table = std::make_shared<Table>();
  table->holder = structures;
  table->path = path;
  CompoundValue const* object = AsObject(structures.get());
  if (!object) {
    return Fail(messages, MessageIds::kDefinitionShape, path,
                "expected an object of structures by name");
  }
  for (auto const& entry : object->fields()) {
    CompoundValue const* structure = AsObject(entry.second.get());
    std::string const* kind = StringMember(structure, kKind);
    CompoundValue const* fields = AsObject(Member(structure, kFields));
    std::string const where = path + "." + Short(entry.first);
    if (!kind || (*kind != kStructure && *kind != kError) || !fields) {
      return Fail(messages, MessageIds::kDefinitionShape, where,
                  "expected {\"kind\": \"structure\" or \"error\", \"fields\": {...}}");
    }
    std::string const* description = nullptr;
    if (!DescriptionMember(structure, &description)) {
      return Fail(messages, MessageIds::kDefinitionShape, where,
                  "\"description\" must be a string");
    }
    table->structures[std::string(entry.first)] = {*kind == kError, fields, description};
  }
  // Every field's type, now that every name is known; and the annotations they carry.
  Data::DefinitionAnnotations annotations;
  for (auto const& structure : table->structures) {
    Data::StructureAnnotations own;
    if (structure.second.description) own.description = *structure.second.description;
    for (auto const& field : structure.second.fields->fields()) {
      std::string const where = FieldPath(path, structure.first, field.first);
      if (!table->Check(field.second.get(), where, messages)) return false;
      std::string const name(field.first);
      bool present = false;
      CompoundValue const* top = AsObject(field.second.get());
      std::string const* description = nullptr;
      if (!DescriptionMember(top, &description)) {
        return Fail(messages, MessageIds::kDefinitionShape, where,
                    "\"description\" must be a string");
      }
      if (description) own.fieldDescriptions[name] = *description;
      if (*StringMember(top, kKind) == kUnionCase) {
        Data::UnionCaseAnnotation unionCase{*StringMember(top, kTag), {}};
        (void)StringsMember(top, kValues, &unionCase.values, &present);  // checked above
        if (present) own.unionCases[name] = std::move(unionCase);
      }
      // The string below the field's wrappers, if that is where they lead.
      CompoundValue const* below = top;
      DataType::Kind leaf = DataType::VOID;
      Form form = FormOf(*StringMember(below, kKind), &leaf);
      while (form != Form::kLeaf && form != Form::kStructure && form != Form::kError) {
        below = AsObject(Member(below, kElement));
        form = FormOf(*StringMember(below, kKind), &leaf);
      }
      std::vector<std::string> names;
      (void)StringsMember(below, kEnumeration, &names, &present);
      if (present && leaf == DataType::STRING && form == Form::kLeaf) {
        own.enumerations[name] = std::move(names);
        std::map<std::string, std::string> meanings;
        (void)StringMapMember(below, kEnumerationDescriptions, &meanings, &present);  // checked
        if (present && !meanings.empty()) own.enumerationDescriptions[name] = std::move(meanings);
      }
    }
    if (!own.empty()) annotations.structures[structure.first] = std::move(own);
  }
  table_ = std::move(table);
  annotations_ = std::move(annotations);
  return true;
}

bool DefinitionReader::Read(DataValuePtr const& type, std::string const& path,
                            DataDefinitionPtr* out, std::list<BaseMessage>& messages) {
  if (!table_) {
    return Fail(messages, MessageIds::kDefinitionShape, path, "no table of structures was read");
  }
  Table const& table = *table_;
  if (!table.Check(type.get(), path, messages)) return false;

  // Every type below was checked: it has the members its kind needs. A structure is built
  // between its begin (its fields join the work) and its end (its definition is made from
  // them); met again in between it is a reference, bound at its end; met after, it is shared.
  struct Built {
    DataDefinitionPtr done;
    std::vector<std::shared_ptr<Data::StructRefDefinition>> references;
  };
  std::map<std::string const*, Built> built;  // by the table's name
  std::deque<DataDefinition::FieldMap> fieldMaps;
  std::deque<DataDefinitionPtr> elements;
  struct Task {
    enum Step { kBuild, kWrap, kEnd } step;
    DataValue const* type;         // kBuild, kWrap
    DataDefinitionPtr* slot;
    DataDefinitionPtr* element;    // kWrap: the element built before
    std::string const* name;       // kEnd
    Table::Structure const* structure;
    DataDefinition::FieldMap* fields;
  };
  auto count = [&]() {
    if (++made_ <= options_.maxDefinitions) return true;
    return Fail(messages, MessageIds::kDefinitionTooLarge, path,
                std::to_string(options_.maxDefinitions));
  };

  DataDefinitionPtr root;
  std::vector<Task> pending{{Task::kBuild, type.get(), &root, nullptr, nullptr, nullptr, nullptr}};
  while (!pending.empty()) {
    Task task = pending.back();
    pending.pop_back();
    if (task.step == Task::kEnd) {
      DataDefinitionPtr made;
      if (task.structure->error) {
        made = Data::ErrorDefinition::GetInstance(*task.name, *task.fields);
      } else {
        made = StructDefinition::GetInstance(*task.name, *task.fields);
      }
      if (!count()) return false;
      Built& state = built[task.name];
      for (auto const& reference : state.references) {
        reference->SetTarget(std::static_pointer_cast<StructDefinition const>(made));
      }
      state.references.clear();
      state.done = made;
      *task.slot = std::move(made);
      continue;
    }
    CompoundValue const* object = AsObject(task.type);
    DataType::Kind leaf = DataType::VOID;
    Form const form = FormOf(*StringMember(object, kKind), &leaf);
    if (task.step == Task::kWrap) {
      DataDefinitionPtr const& element = *task.element;
      switch (form) {
        case Form::kList:
          *task.slot = Data::ListDefinition::GetInstance(element);
          break;
        case Form::kSet:
          *task.slot = Data::ListDefinition::GetSetInstance(element);
          break;
        case Form::kOptional:
          *task.slot = Data::OptionalDefinition::GetInstance(element);
          break;
        default: {
          std::vector<std::string> values;
          bool present = false;
          (void)StringsMember(object, kValues, &values, &present);
          Data::UnionCaseDefinition::Predicate predicate;
          if (present) {
            predicate = [values](std::string const& tag) -> boost::logic::tribool {
              return std::find(values.begin(), values.end(), tag) != values.end();
            };
          } else {
            predicate = [](std::string const&) -> boost::logic::tribool {
              return boost::logic::indeterminate;
            };
          }
          *task.slot = Data::UnionCaseDefinition::GetInstance(element, *StringMember(object, kTag),
                                                              predicate);
        }
      }
      if (!count()) return false;
      continue;
    }
    switch (form) {
      case Form::kLeaf:
        *task.slot = Data::PrimitiveDefinition::GetInstance(leaf);
        if (!count()) return false;
        break;
      case Form::kStructure:
      case Form::kError: {
        auto found = table.structures.find(*StringMember(object, kName));
        std::string const* name = &found->first;
        auto state = built.find(name);
        if (state == built.end()) {
          built[name];
          fieldMaps.emplace_back();
          DataDefinition::FieldMap& fields = fieldMaps.back();
          pending.push_back({Task::kEnd, nullptr, task.slot, nullptr, name, &found->second, &fields});
          for (auto const& field : found->second.fields->fields()) {
            pending.push_back({Task::kBuild, field.second.get(), &fields[std::string(field.first)],
                               nullptr, nullptr, nullptr, nullptr});
          }
        } else if (state->second.done) {
          *task.slot = state->second.done;
        } else {
          auto reference = Data::StructRefDefinition::GetInstance(*name);
          state->second.references.push_back(reference);
          *task.slot = std::move(reference);
          if (!count()) return false;
        }
        break;
      }
      default:
        elements.emplace_back();
        pending.push_back({Task::kWrap, task.type, task.slot, &elements.back(), nullptr, nullptr,
                           nullptr});
        pending.push_back({Task::kBuild, Member(object, kElement), &elements.back(), nullptr,
                           nullptr, nullptr, nullptr});
        break;
    }
  }
  *out = std::move(root);
  return true;
}

// ---- Documents -----------------------------------------------------------------------------

bool EncodeDefinition(DataDefinitionPtr const& definition,
                      Data::DefinitionAnnotations const& annotations, std::string* out,
                      std::list<BaseMessage>& messages, EncodeOptions const& options) {
  DefinitionWriter writer(annotations);
  DataValuePtr type;
  if (!writer.Write(definition, &type, messages)) return false;
  auto document = Object();
  document->SetField(kType, std::move(type));
  document->SetField(kStructures, writer.Structures());
  return Encode(document, nullptr, out, messages, options);
}

namespace {

// The document of `text`, an object; false with messages when it is not one.
bool ReadDocument(boost::string_view text, DefinitionDecodeOptions const& options,
                  DataValuePtr* document, std::list<BaseMessage>& messages) {
  DecodeOptions decodeOptions;
  decodeOptions.maxDepth = options.maxDepth;
  if (!Decode(text, nullptr, document, messages, decodeOptions)) return false;
  if (AsObject(document->get())) return true;
  return Fail(messages, MessageIds::kDefinitionShape, "<root>", "expected an object");
}

}  // namespace

bool DecodeDefinition(boost::string_view text, DataDefinitionPtr* out,
                      Data::DefinitionAnnotations* annotations, std::list<BaseMessage>& messages,
                      DefinitionDecodeOptions const& options) {
  DataValuePtr document;
  if (!ReadDocument(text, options, &document, messages)) return false;
  CompoundValue const* object = AsObject(document.get());
  DataValuePtr const* type = object->FindField(kType);
  DataValuePtr const* structures = object->FindField(kStructures);
  if (!type || !structures) {
    return Fail(messages, MessageIds::kDefinitionShape, "<root>",
                "expected {\"type\": ..., \"structures\": {...}}");
  }
  DefinitionReader reader(options);
  DataDefinitionPtr definition;
  if (!reader.Start(*structures, kStructures, messages) ||
      !reader.Read(*type, kType, &definition, messages)) {
    return false;
  }
  *out = std::move(definition);
  if (annotations) *annotations = reader.annotations();
  return true;
}

namespace {

// One operation as GET /v1/operations describes it, with a table of structures of its own.
bool OperationEntry(Core::OperationDescriptor const& operation, DataValuePtr* out,
                    std::list<BaseMessage>& messages) {
  DefinitionWriter writer(operation.annotations ? *operation.annotations
                                                : Data::DefinitionAnnotations());
  auto entry = Object();
  entry->SetField(kInterface, Text(operation.interfaceName));
  entry->SetField(kService, Text(operation.serviceName));
  entry->SetField(kOperation, Text(operation.operationName));
  if (*operation.description) entry->SetField(kDescription, Text(operation.description));
  if (*operation.serviceDescription) {
    entry->SetField(kServiceDescription, Text(operation.serviceDescription));
  }
  for (auto const& root : {std::make_pair(kInput, &operation.input),
                           std::make_pair(kOutput, &operation.output)}) {
    if (!writer.Write(*root.second, entry->FieldSlot(root.first), messages)) return false;
  }
  auto errors = ListValue::GetInstance(ListValue::LIST);
  for (DataDefinitionPtr const& error : operation.errors) {
    if (!writer.Write(error, errors->AppendSlot(), messages)) return false;
  }
  entry->SetField(kErrors, std::move(errors));
  entry->SetField(kStructures, writer.Structures());
  *out = std::move(entry);
  return true;
}

}  // namespace

bool EncodeOperation(Core::OperationDescriptor const& operation, std::string* out,
                     std::list<BaseMessage>& messages, EncodeOptions const& options) {
  DataValuePtr entry;
  return OperationEntry(operation, &entry, messages) &&
         Encode(entry, nullptr, out, messages, options);
}

bool EncodeOperations(std::vector<Core::OperationDescriptor const*> const& operations,
                      std::string* out, std::list<BaseMessage>& messages,
                      EncodeOptions const& options) {
  auto entries = ListValue::GetInstance(ListValue::LIST);
  for (Core::OperationDescriptor const* operation : operations) {
    if (!OperationEntry(*operation, entries->AppendSlot(), messages)) return false;
  }
  auto document = Object();
  document->SetField(kOperations, std::move(entries));
  return Encode(document, nullptr, out, messages, options);
}

bool EncodeOperations(Core::OperationTable const& table, std::string* out,
                      std::list<BaseMessage>& messages, EncodeOptions const& options) {
  std::vector<Core::OperationDescriptor const*> operations;
  for (Core::OperationDescriptor const& operation : table.operations()) {
    operations.push_back(&operation);
  }
  return EncodeOperations(operations, out, messages, options);
}

bool DecodeOperations(boost::string_view text, std::vector<OperationDefinitions>* out,
                      std::list<BaseMessage>& messages, DefinitionDecodeOptions const& options) {
  DataValuePtr document;
  return ReadDocument(text, options, &document, messages) &&
         DecodeOperations(document, out, messages, options);
}

bool DecodeOperations(DataValuePtr const& document, std::vector<OperationDefinitions>* out,
                      std::list<BaseMessage>& messages, DefinitionDecodeOptions const& options) {
  ListValue const* operations = AsArray(Member(AsObject(document.get()), kOperations));
  if (!operations) {
    return Fail(messages, MessageIds::kDefinitionShape, "<root>",
                "expected {\"operations\": [...]}");
  }
  // One reader, started again on each operation's table: the count of definitions made goes
  // on over the whole document.
  DefinitionReader reader(options);
  std::vector<OperationDefinitions> read;
  for (std::size_t i = 0; i < operations->size(); ++i) {
    std::string const at = std::string(kOperations) + "[" + std::to_string(i) + "]";
    CompoundValue const* entry = AsObject(operations->elements()[i].get());
    std::string const* names[] = {StringMember(entry, kInterface), StringMember(entry, kService),
                                  StringMember(entry, kOperation)};
    ListValue const* errors = AsArray(Member(entry, kErrors));
    DataValuePtr const* input = entry ? entry->FindField(kInput) : nullptr;
    DataValuePtr const* output = entry ? entry->FindField(kOutput) : nullptr;
    DataValuePtr const* structures = entry ? entry->FindField(kStructures) : nullptr;
    if (!names[0] || !names[1] || !names[2] || !errors || !input || !output || !structures) {
      return Fail(messages, MessageIds::kDefinitionShape, at,
                  "expected an operation: \"interface\", \"service\", \"operation\", \"input\", "
                  "\"output\", \"errors\" and \"structures\"");
    }
    std::string const* description = nullptr;
    if (!DescriptionMember(entry, &description)) {
      return Fail(messages, MessageIds::kDefinitionShape, at, "\"description\" must be a string");
    }
    std::string const* serviceDescription = nullptr;
    if (!DescriptionMember(entry, &serviceDescription, kServiceDescription)) {
      return Fail(messages, MessageIds::kDefinitionShape, at,
                  "\"service_description\" must be a string");
    }
    OperationDefinitions operation;
    operation.interfaceName = *names[0];
    operation.serviceName = *names[1];
    operation.operationName = *names[2];
    if (description) operation.description = *description;
    if (serviceDescription) operation.serviceDescription = *serviceDescription;
    if (!reader.Start(*structures, at + "." + kStructures, messages) ||
        !reader.Read(*input, at + "." + kInput, &operation.input, messages) ||
        !reader.Read(*output, at + "." + kOutput, &operation.output, messages)) {
      return false;
    }
    for (std::size_t e = 0; e < errors->size(); ++e) {
      DataDefinitionPtr error;
      std::string const where = at + "." + kErrors + "[" + std::to_string(e) + "]";
      if (!reader.Read(errors->elements()[e], where, &error, messages)) return false;
      operation.errors.push_back(std::move(error));
    }
    operation.annotations = reader.annotations();
    read.push_back(std::move(operation));
  }
  *out = std::move(read);
  return true;
}

}  // namespace Json
}  // namespace Tirn
