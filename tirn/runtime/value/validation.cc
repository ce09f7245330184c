#include "tirn/runtime/value/validation.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/field_path_internal.h"

namespace Tirn {
namespace Data {
namespace {

using detail::AncestorMark;

constexpr int kNoParent = -1;

// One segment of a field path; segments point at their parent so that paths are built only
// when a problem is reported.
struct PathNode {
  int parent;
  boost::string_view field;  // null for a list index
  std::size_t index;
};

struct Work {
  DataDefinition const* definition;
  DataValue const* value;
  int path;
  bool top;
  AncestorMark mark;  // finds `value` below itself
};

bool IsKind(DataValue const* value, DataType::Kind kind) {
  return value && value->GetType().kind() == kind;
}

bool IsEmptyString(DataValue const* value) {
  return IsKind(value, DataType::STRING) &&
         static_cast<StringValue const*>(value)->value().empty();
}

// An optional without content, or the empty string that stands for one, bare or wrapped in an
// optional (the native side reads both as an unset optional). A null value is not absent: it
// is a value missing where one belongs, and the native side refuses it.
bool IsAbsent(DataValue const* value) {
  if (IsKind(value, DataType::OPTIONAL)) {
    auto const& optional = static_cast<OptionalValue const&>(*value);
    return !optional.has_value() || IsEmptyString(optional.value().get());
  }
  return IsEmptyString(value);
}

// The text of a tag field: a string, or an optional holding one; empty otherwise.
std::string TagText(DataValue const* value) {
  if (IsKind(value, DataType::OPTIONAL)) value = static_cast<OptionalValue const*>(value)->value().get();
  return IsKind(value, DataType::STRING) ? static_cast<StringValue const*>(value)->value()
                                         : std::string();
}

// Whether a leaf of kind `found` is accepted where `expected` is defined.
bool LeafAccepts(DataType::Kind expected, DataType::Kind found) {
  if (expected == found) return true;
  switch (expected) {
    case DataType::INTEGER:
    case DataType::BOOLEAN:
    case DataType::DOUBLE:
    case DataType::BLOB:
    case DataType::VOID:
    case DataType::SECRET:  // the text becomes the secret
      return found == DataType::STRING;
    default:
      return false;  // a string must arrive as a string
  }
}

class Validator {
 public:
  Validator(std::list<BaseMessage>& messages, ValidationOptions const& options)
      : messages_(messages), options_(options) {}

  bool Run(DataDefinition const* definition, DataValue const* value) {
    std::size_t before = messages_.size();
    Work root{definition, value, kNoParent, true, {}};
    (void)AncestorMark().Down(value, root.mark);
    pending_.push_back(root);
    while (!pending_.empty() && added_ < kMaxValidationMessages) {
      Work work = pending_.back();
      pending_.pop_back();
      Step(work);
    }
    return messages_.size() == before;
  }

 private:
  std::string Path(int node) const {
    detail::PathText text;
    for (int at = node; at != kNoParent; at = paths_[at].parent) {
      PathNode const& step = paths_[at];
      text.AddOuter(step.field.data() ? detail::PathStep::Field(step.field)
                               : detail::PathStep::Element(step.index));
    }
    return text.str();
  }

  int Child(int parent, boost::string_view field) {
    paths_.push_back({parent, field, 0});
    return static_cast<int>(paths_.size() - 1);
  }
  int Child(int parent, std::size_t index) {
    paths_.push_back({parent, {}, index});
    return static_cast<int>(paths_.size() - 1);
  }

  template <class... Args>
  void Report(char const* id, int path, Args&&... args) {
    if (added_ >= kMaxValidationMessages) return;
    ++added_;
    messages_.push_back(Message<CoreTag>(id, Path(path), std::forward<Args>(args)...));
  }

  void WrongKind(int path, DataType expected, DataValue const* found) {
    Report(MessageIds::kValidationWrongKind, path, std::string(expected.name()),
           std::string(found ? found->GetType().name() : "null"));
  }

  // Follows structure references to the structure they stand for; null after reporting an
  // unbound one.
  DataDefinition const* Resolve(DataDefinition const* definition, int path) {
    while (definition && definition->GetType().kind() == DataType::STRUCTURE_REF) {
      auto const* reference = static_cast<StructRefDefinition const*>(definition);
      auto target = reference->target();
      if (!target) {
        Report(MessageIds::kValidationUnresolvedReference, path, reference->name());
        return nullptr;
      }
      definition = target.get();
      keepAlive_.push_back(std::move(target));
    }
    return definition;
  }

  void Step(Work const& work) {
    DataDefinition const* definition = Resolve(work.definition, work.path);
    if (!definition) return;
    DataValue const* value = work.value;
    DataType type = definition->GetType();
    switch (type.kind()) {
      case DataType::OPTIONAL:
      case DataType::UNION_CASE: {
        if (!value) {
          WrongKind(work.path, type, value);
          return;
        }
        if (IsAbsent(value)) return;
        DataDefinition const* element =
            static_cast<WrappingDefinition const*>(definition)->element().get();
        // The content of a present optional must be there: a null content is refused below.
        if (IsKind(value, DataType::OPTIONAL)) {
          PushChild(work, element, static_cast<OptionalValue const*>(value)->value().get(),
                    work.path);
        } else {
          Push(element, value, work.path, work.mark);  // a bare value stands for the optional
        }
        return;
      }
      case DataType::LIST: {
        DataDefinition const* element =
            static_cast<ListDefinition const*>(definition)->element().get();
        if (IsKind(value, DataType::LIST)) {
          auto const& elements = static_cast<ListValue const*>(value)->elements();
          for (std::size_t i = elements.size(); i-- > 0;) {
            PushChild(work, element, elements[i].get(), Child(work.path, i));
          }
        } else if (IsKind(value, DataType::STRING)) {
          if (!IsEmptyString(value)) Push(element, value, work.path, work.mark);
        } else {
          WrongKind(work.path, type, value);
        }
        return;
      }
      case DataType::STRUCTURE:
      case DataType::ERROR:
        if (value && value->GetType().IsCompound()) {
          Fields(static_cast<StructDefinition const&>(*definition),
                 static_cast<CompoundValue const&>(*value), work);
        } else if (IsEmptyString(value)) {
          // The empty string stands for a structure without fields: its required fields are
          // missing all the same.
          Fields(static_cast<StructDefinition const&>(*definition), EmptyStructure(), work);
        } else {
          WrongKind(work.path, type, value);
        }
        return;
      default:
        if (!value || !LeafAccepts(type.kind(), value->GetType().kind())) {
          WrongKind(work.path, type, value);
        }
        return;
    }
  }

  void Fields(StructDefinition const& definition, CompoundValue const& value, Work const& work) {
    auto const& fields = definition.fields();
    // Problems of this structure are reported in field order now; its fields are checked next,
    // also in field order, so they go on the stack in reverse.
    std::size_t const firstChild = pending_.size();
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      std::string const& name = it->first;
      DataDefinition const* field = it->second.get();
      DataValuePtr const* slot = value.FindField(name);
      DataValue const* fieldValue = slot ? slot->get() : nullptr;
      DataType::Kind kind = field ? field->GetType().kind() : DataType::VOID;
      if (kind == DataType::OPTIONAL) {
        if (slot) PushChild(work, field, fieldValue, Child(work.path, name));
      } else if (kind == DataType::UNION_CASE) {
        auto const* unionCase = static_cast<UnionCaseDefinition const*>(field);
        std::string tag;
        if (DataValuePtr const* tagSlot = value.FindField(unionCase->tagName())) {
          tag = TagText(tagSlot->get());
        }
        boost::logic::tribool active =
            unionCase->predicate() ? unionCase->predicate()(tag) : boost::logic::indeterminate;
        bool present = slot && !IsAbsent(fieldValue);
        int path = Child(work.path, name);
        if (active && !present) {
          Report(MessageIds::kValidationUnionCaseMissing, path, unionCase->tagName(), tag);
        } else if (!active && present) {
          Report(MessageIds::kValidationUnionCaseUnexpected, path, unionCase->tagName(), tag);
        } else if (present) {
          PushChild(work, field, fieldValue, path);
        }
      } else if (!slot) {
        Report(MessageIds::kValidationMissingField, Child(work.path, name));
      } else {
        PushChild(work, field, fieldValue, Child(work.path, name));
      }
    }
    if ((work.top && options_.rejectUnknownFields) || options_.rejectUnknownNestedFields) {
      for (auto const& field : value.fields()) {
        if (fields.find(std::string(field.first)) == fields.end()) {
          Report(MessageIds::kValidationUnexpectedField, Child(work.path, field.first));
        }
      }
    }
    std::reverse(pending_.begin() + static_cast<std::ptrdiff_t>(firstChild), pending_.end());
  }

  // A structure without fields, for the empty string that stands for one.
  CompoundValue const& EmptyStructure() {
    if (!empty_) empty_ = DynamicStructValue::GetInstance(std::string());
    return *empty_;
  }

  void Push(DataDefinition const* definition, DataValue const* value, int path,
            AncestorMark const& mark) {
    pending_.push_back({definition, value, path, false, mark});
  }

  // Pushes `child`, a value one level below the value of `parent`; reports instead when
  // `child` is also above it.
  void PushChild(Work const& parent, DataDefinition const* definition, DataValue const* child,
                 int path) {
    AncestorMark mark;
    if (!parent.mark.Down(child, mark)) {
      Report(MessageIds::kValidationContainsItself, path);
      return;
    }
    Push(definition, child, path, mark);
  }

  std::list<BaseMessage>& messages_;
  ValidationOptions const& options_;
  // Inline room for the usual small trees: validating a call's input allocates no work list.
  boost::container::small_vector<Work, 16> pending_;
  boost::container::small_vector<PathNode, 32> paths_;
  std::vector<std::shared_ptr<StructDefinition const>> keepAlive_;
  std::shared_ptr<DynamicStructValue> empty_;
  std::size_t added_ = 0;
};

}  // namespace

bool Validate(DataDefinitionPtr const& definition, DataValuePtr const& value,
              std::list<BaseMessage>& messages, ValidationOptions const& options) {
  Validator validator(messages, options);
  return validator.Run(definition.get(), value.get());
}

}  // namespace Data
}  // namespace Tirn
