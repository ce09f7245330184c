#include "tirn/runtime/data_value.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"

namespace Tirn {
namespace Data {

// Takes trees apart in a loop instead of one nested destructor call per level. Before the
// releasing loop drops what may be a node's last reference, it copies the node's children
// into its pending list, so that the node dies with children that someone else still owns and
// its destructor goes no deeper; the copies are dropped next, the same way. A shared node is
// only ever read here: the one place that changes a node is its own destructor, which runs
// after every owner on every thread has let go (the reference count orders that), so another
// thread reading a shared subtree, or releasing its own reference to it, never races with
// this. Use counts only tell when copying is worth it; a stale one costs one nested level.
struct ValueInternals {
  using Pending = std::vector<DataValuePtr>;

  // Whether dropping `child` alone may destroy values beneath it.
  static bool MayTakeDeeper(DataValuePtr const& child) {
    return child && child.use_count() == 1 && child->GetType().HoldsOthers();
  }

  // Copies the children of `value` that can hold values themselves into `pending`.
  static void ShareChildren(DataValue const& value, Pending& pending) {
    auto const keep = [&pending](DataValuePtr const& child) {
      if (child && child->GetType().HoldsOthers()) pending.push_back(child);
    };
    switch (value.GetType().kind()) {
      case DataType::ERROR:
      case DataType::STRUCTURE:
      case DataType::DYNAMIC_STRUCTURE:
        for (auto const& field : static_cast<CompoundValue const&>(value).fields()) {
          keep(field.second);
        }
        break;
      case DataType::LIST:
        for (auto const& element : static_cast<ListValue const&>(value).elements()) keep(element);
        break;
      case DataType::OPTIONAL:
        keep(static_cast<OptionalValue const&>(value).value());
        break;
      default:
        break;
    }
  }

  // Drops every value in `pending`, sharing the children of each that is about to die first.
  static void Drain(Pending& pending) {
    while (!pending.empty()) {
      DataValuePtr value = std::move(pending.back());
      pending.pop_back();
      if (value.use_count() == 1) ShareChildren(*value, pending);
    }
  }
};

DataValue::~DataValue() = default;
ValueVisitor::~ValueVisitor() = default;

// ---- Leaves -----------------------------------------------------------------------------

std::shared_ptr<VoidValue const> VoidValue::GetInstance() { return std::make_shared<VoidValue>(); }
void VoidValue::Accept(ValueVisitor& visitor) const { visitor.VisitVoid(*this); }

#define TIRN_DEFINE_LEAF(Class, ParamType, Visit)                             \
  Class::Class(ParamType value) : value_(std::move(value)) {}                 \
  std::shared_ptr<Class const> Class::GetInstance(ParamType value) {          \
    return std::make_shared<Class>(std::move(value));                         \
  }                                                                           \
  void Class::Accept(ValueVisitor& visitor) const { visitor.Visit(*this); }

TIRN_DEFINE_LEAF(IntegerValue, long long, VisitInteger)
TIRN_DEFINE_LEAF(DoubleValue, double, VisitDouble)
TIRN_DEFINE_LEAF(BooleanValue, bool, VisitBoolean)
TIRN_DEFINE_LEAF(BlobValue, std::string, VisitBlob)
TIRN_DEFINE_LEAF(StringValue, std::string, VisitString)
TIRN_DEFINE_LEAF(SecretValue, SecretString, VisitSecret)
#undef TIRN_DEFINE_LEAF

// ---- Compound values --------------------------------------------------------------------

// A dying value is ours alone, so its destructor may move its children out. When each child
// has another owner (or holds nothing), dropping them goes no deeper and nothing is done.
CompoundValue::~CompoundValue() {
  if (std::none_of(fields_.begin(), fields_.end(), [](detail::FieldStore::Entry const& field) {
        return ValueInternals::MayTakeDeeper(field.second);
      })) {
    return;
  }
  ValueInternals::Pending pending;
  fields_.TakeValues(pending);
  ValueInternals::Drain(pending);
}

bool CompoundValue::GetField(boost::string_view name, DataValuePtr& out,
                             std::list<BaseMessage>& messages) const {
  detail::FieldStore::Entry const* entry = fields_.Find(name);
  if (!entry) {
    messages.push_back(Message<CoreTag>(MessageIds::kFieldMissing,
                                        std::string(name.data(), name.size()), *name_));
    return false;
  }
  out = entry->second;
  return true;
}

DataValuePtr const* CompoundValue::FindField(boost::string_view name) const {
  detail::FieldStore::Entry const* entry = fields_.Find(name);
  return entry ? &entry->second : nullptr;
}

namespace {

// Refuses to store `value` into `self`: a value cannot contain itself.
void RefuseLoop(DataValue const* self, DataValuePtr const& value) {
  if (value.get() == self) throw std::invalid_argument("a value cannot contain itself");
}

}  // namespace

void CompoundValue::SetField(std::string const& name, DataValuePtr value) {
  RefuseLoop(this, value);
  *FieldSlot(name) = std::move(value);
}

DataValuePtr* CompoundValue::FieldSlot(boost::string_view name) {
  return &fields_.Slot(name).second;
}

namespace detail {

FieldStore::Index::const_iterator FieldStore::LowerBound(boost::string_view name) const {
  return std::lower_bound(index_.begin(), index_.end(), name,
                          [](Entry const* entry, boost::string_view wanted) {
                            return boost::string_view(entry->first) < wanted;
                          });
}

FieldStore::Entry const* FieldStore::Find(boost::string_view name) const {
  if (wide()) return FindInTree(name);
  auto at = LowerBound(name);
  return at != index_.end() && boost::string_view((*at)->first) == name ? *at : nullptr;
}

FieldStore::Entry const* FieldStore::FindInTree(boost::string_view name) const {
  auto at = overflow_->tree.find(name);
  return at != overflow_->tree.end() ? *at : nullptr;
}

FieldStore::Entry* FieldStore::NewEntry(boost::string_view name) {
  if (inlineUsed_ < kInline) {
    Entry* entry = &inline_[inlineUsed_++];
    entry->first.assign(name.data(), name.size());
    return entry;
  }
  if (!overflow_) overflow_ = std::make_unique<Overflow>();
  overflow_->entries.emplace_back(std::string(name.data(), name.size()), nullptr);
  return &overflow_->entries.back();
}

FieldStore::Entry& FieldStore::Slot(boost::string_view name) {
  if (wide()) {
    Tree& tree = overflow_->tree;
    auto at = tree.lower_bound(name);
    if (at != tree.end() && boost::string_view((*at)->first) == name) return **at;
    Entry* entry = NewEntry(name);
    tree.insert(at, entry);
    return *entry;
  }
  auto at = LowerBound(name);
  if (at != index_.end() && boost::string_view((*at)->first) == name) return **at;
  auto const position = at - index_.begin();
  Entry* entry = NewEntry(name);
  if (index_.size() < kArrayIndexLimit) {
    index_.insert(index_.begin() + position, entry);
    return *entry;
  }
  // Wide from now on: the array's entries go into the tree, already in order.
  Tree& tree = overflow_->tree;
  for (Entry* indexed : index_) tree.insert(tree.end(), indexed);
  tree.insert(entry);
  Index().swap(index_);
  return *entry;
}

void FieldStore::TakeValues(std::vector<DataValuePtr>& out) {
  for (auto it = begin(); it != end(); ++it) {
    auto& value = const_cast<Entry&>(*it).second;
    if (value) out.push_back(std::move(value));
  }
  index_.clear();
  overflow_.reset();
  inlineUsed_ = 0;
}

}  // namespace detail

std::shared_ptr<StructValue> StructValue::GetInstance(std::string const& name) {
  return std::make_shared<StructValue>(name);
}
void StructValue::Accept(ValueVisitor& visitor) const { visitor.VisitStruct(*this); }

std::shared_ptr<StructValue> StructValue::GetInstance(StaticName name) {
  return std::make_shared<StructValue>(name);
}

std::shared_ptr<DynamicStructValue> DynamicStructValue::GetInstance(std::string const& name) {
  return std::make_shared<DynamicStructValue>(name);
}

std::shared_ptr<ErrorValue> ErrorValue::GetInstance(std::string const& name) {
  return std::make_shared<ErrorValue>(name);
}
std::shared_ptr<ErrorValue> ErrorValue::GetInstance(StaticName name) {
  return std::make_shared<ErrorValue>(name);
}

void ErrorValue::Accept(ValueVisitor& visitor) const { visitor.VisitError(*this); }

// ErrorValue::Create and GetMessages live in wire_shapes.cc, beside the message shape.

// ---- Optional and list ------------------------------------------------------------------

std::shared_ptr<OptionalValue> OptionalValue::GetInstance() {
  return std::make_shared<OptionalValue>();
}
void OptionalValue::Accept(ValueVisitor& visitor) const { visitor.VisitOptional(*this); }

OptionalValue::~OptionalValue() {
  if (!ValueInternals::MayTakeDeeper(content_)) return;
  ValueInternals::Pending pending;
  pending.push_back(std::move(content_));
  ValueInternals::Drain(pending);
}

DataValuePtr* OptionalValue::value(DataValuePtr content) {
  RefuseLoop(this, content);
  hasValue_ = true;
  content_ = std::move(content);
  return &content_;
}

std::shared_ptr<ListValue> ListValue::GetInstance(Kind kind) {
  return std::make_shared<ListValue>(kind);
}
void ListValue::Accept(ValueVisitor& visitor) const { visitor.VisitList(*this); }

ListValue::~ListValue() {
  if (std::none_of(elements_.begin(), elements_.end(), ValueInternals::MayTakeDeeper)) return;
  ValueInternals::Pending pending;
  pending.swap(elements_);
  ValueInternals::Drain(pending);
}

void ListValue::Append(DataValuePtr element) {
  RefuseLoop(this, element);
  elements_.push_back(std::move(element));
}

DataValuePtr* ListValue::AppendSlots(std::size_t count) {
  std::size_t const first = elements_.size();
  elements_.resize(first + count);
  return elements_.data() + first;
}

// ---- Create, Value, ToPrimitive ---------------------------------------------------------

template <>
DataValuePtr DataValue::Create<std::string>(std::string const& value) {
  return StringValue::GetInstance(value);
}
template <>
DataValuePtr DataValue::Create<long long>(long long const& value) {
  return IntegerValue::GetInstance(value);
}
template <>
DataValuePtr DataValue::Create<bool>(bool const& value) {
  return BooleanValue::GetInstance(value);
}
template <>
DataValuePtr DataValue::Create<SecretString>(SecretString const& value) {
  return SecretValue::GetInstance(value);
}
template <>
DataValuePtr DataValue::Create<Void>(Void const&) {
  return VoidValue::GetInstance();
}
template <>
DataValuePtr DataValue::Create<double>(double const& value) {
  return DoubleValue::GetInstance(value);
}

namespace {

char const* KindName(DataValuePtr const& value) {
  return value ? value->GetType().name() : "null";
}

// Adds the wrong-kind message and returns false unless `value` has kind `expected`.
bool ExpectKind(DataValuePtr const& value, DataType::Kind expected,
                std::list<BaseMessage>& messages) {
  if (value && value->GetType().kind() == expected) return true;
  messages.push_back(Message<CoreTag>(MessageIds::kWrongKind,
                                      std::string(DataType(expected).name()),
                                      std::string(KindName(value))));
  return false;
}

// The text of a string value, or null after adding the wrong-kind message.
std::string const* StringText(DataValuePtr const& value, std::list<BaseMessage>& messages) {
  if (!ExpectKind(value, DataType::STRING, messages)) return nullptr;
  return &static_cast<StringValue const&>(*value).value();
}

void AddParseFailure(std::string const& text, DataType::Kind kind,
                     std::list<BaseMessage>& messages) {
  messages.push_back(
      Message<CoreTag>(MessageIds::kParseFailed, text, std::string(DataType(kind).name())));
}

}  // namespace

template <>
bool DataValue::Value<std::string>(DataValuePtr const& value, std::string& out,
                                   std::list<BaseMessage>& messages) {
  std::string const* text = StringText(value, messages);
  if (text) out = *text;
  return text != nullptr;
}

template <>
bool DataValue::Value<long long>(DataValuePtr const& value, long long& out,
                                 std::list<BaseMessage>& messages) {
  if (!ExpectKind(value, DataType::INTEGER, messages)) return false;
  out = static_cast<IntegerValue const&>(*value).value();
  return true;
}

template <>
bool DataValue::Value<bool>(DataValuePtr const& value, bool& out,
                            std::list<BaseMessage>& messages) {
  if (!ExpectKind(value, DataType::BOOLEAN, messages)) return false;
  out = static_cast<BooleanValue const&>(*value).value();
  return true;
}

template <>
bool DataValue::Value<SecretString>(DataValuePtr const& value, SecretString& out,
                                    std::list<BaseMessage>& messages) {
  if (!ExpectKind(value, DataType::SECRET, messages)) return false;
  out = static_cast<SecretValue const&>(*value).value();
  return true;
}

template <>
bool DataValue::Value<Void>(DataValuePtr const& value, Void&, std::list<BaseMessage>& messages) {
  return ExpectKind(value, DataType::VOID, messages);
}

template <>
bool DataValue::Value<double>(DataValuePtr const& value, double& out,
                              std::list<BaseMessage>& messages) {
  if (!ExpectKind(value, DataType::DOUBLE, messages)) return false;
  out = static_cast<DoubleValue const&>(*value).value();
  return true;
}

template <>
bool DataValue::ToPrimitive<std::string>(DataValuePtr const& value, std::string& out,
                                         std::list<BaseMessage>& messages) {
  return Value<std::string>(value, out, messages);
}

template <>
bool DataValue::ToPrimitive<long long>(DataValuePtr const& value, long long& out,
                                       std::list<BaseMessage>& messages) {
  std::string const* text = StringText(value, messages);
  if (!text) return false;
  char const* begin = text->data();
  char const* end = begin + text->size();
  // from_chars takes no '+'; accept one in front of the digits, never in front of a '-'.
  if (begin != end && *begin == '+' && end - begin > 1 && begin[1] != '-') ++begin;
  long long parsed = 0;
  auto result = std::from_chars(begin, end, parsed);
  if (result.ec == std::errc::result_out_of_range && result.ptr == end) {
    messages.push_back(Message<CoreTag>(MessageIds::kOutOfRange, *text,
                                        std::string(DataType(DataType::INTEGER).name())));
    return false;
  }
  if (result.ec != std::errc() || result.ptr != end || begin == end) {
    AddParseFailure(*text, DataType::INTEGER, messages);
    return false;
  }
  out = parsed;
  return true;
}

template <>
bool DataValue::ToPrimitive<bool>(DataValuePtr const& value, bool& out,
                                  std::list<BaseMessage>& messages) {
  std::string const* text = StringText(value, messages);
  if (!text) return false;
  if (*text == "true") {
    out = true;
  } else if (*text == "false") {
    out = false;
  } else {
    AddParseFailure(*text, DataType::BOOLEAN, messages);
    return false;
  }
  return true;
}

template <>
bool DataValue::ToPrimitive<SecretString>(DataValuePtr const& value, SecretString& out,
                                          std::list<BaseMessage>& messages) {
  std::string const* text = StringText(value, messages);
  if (text) out = SecretString(*text);
  return text != nullptr;
}

template <>
bool DataValue::ToPrimitive<Void>(DataValuePtr const& value, Void&,
                                  std::list<BaseMessage>& messages) {
  std::string const* text = StringText(value, messages);
  if (!text) return false;
  if (!text->empty()) {
    AddParseFailure(*text, DataType::VOID, messages);
    return false;
  }
  return true;
}

template <>
bool DataValue::ToPrimitive<double>(DataValuePtr const& value, double& out,
                                    std::list<BaseMessage>& messages) {
  std::string const* text = StringText(value, messages);
  if (!text) return false;
  std::istringstream in(*text);
  in.imbue(std::locale::classic());
  double parsed = 0;
  in >> std::noskipws >> parsed;
  if (text->empty() || in.fail() || !in.eof()) {
    AddParseFailure(*text, DataType::DOUBLE, messages);
    return false;
  }
  out = parsed;
  return true;
}

}  // namespace Data
}  // namespace Tirn
