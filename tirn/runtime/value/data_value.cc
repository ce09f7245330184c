#include "tirn/runtime/value/data_value.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <new>
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
  using Pending = detail::FieldStore::Values;

  // Whether dropping `child` alone may destroy values beneath it.
  static bool MayTakeDeeper(DataValuePtr const& child) {
    return child && child.use_count() == 1 && child->GetType().HoldsOthers();
  }

  // Copies the children of `value` that can hold values themselves into `pending`.
  template <class Values>
  static void ShareChildren(DataValue const& value, Values& pending) {
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
  template <class Values>
  static void Drain(Values& pending) {
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
  if (std::any_of(fields_.begin(), fields_.end(), [](detail::FieldStore::Entry const& field) {
        return ValueInternals::MayTakeDeeper(field.second);
      })) {
    ValueInternals::Pending pending;
    fields_.TakeValues(pending);
    ValueInternals::Drain(pending);
  }
  if (ownsName_) {
    using String = std::string;
    const_cast<String*>(name_)->~String();
  }
}

namespace {

// Where the room of `placement` starts, and where a copied name goes after it.
char* Trailing(detail::CompoundPlacement const& placement) {
  return static_cast<char*>(*placement.trailing);
}
std::size_t RoomBytes(std::size_t capacity) {
  return capacity * sizeof(detail::FieldStore::Entry);
}

}  // namespace

CompoundValue::CompoundValue(detail::CompoundPlacement const& placement)
    : keeper_(placement.keeper ? *placement.keeper : nullptr),
      name_(placement.staticName),
      ownsName_(placement.copyName != nullptr),
      fields_({reinterpret_cast<detail::FieldStore::Entry*>(Trailing(placement)),
               placement.capacity}) {
  if (ownsName_) {
    name_ = new (Trailing(placement) + RoomBytes(placement.capacity)) std::string(*placement.copyName);
  }
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

void CompoundValue::SetField(boost::string_view name, DataValuePtr value) {
  RefuseLoop(this, value);
  *FieldSlot(name) = std::move(value);
}

DataValuePtr* CompoundValue::FieldSlot(boost::string_view name) {
  return &fields_.Slot(name).second;
}

DataValuePtr* CompoundValue::StaticFieldSlot(boost::string_view name) {
  return &fields_.Slot(name, false).second;
}

namespace detail {

struct FieldStore::Extra {
  // Entries past the room, in blocks that never move; each block twice the one before.
  std::vector<std::unique_ptr<Entry[]>> blocks;
  std::size_t lastBlockSize = 0;
  std::size_t lastBlockUsed = 0;
  Index index;  // empty once the store is wide
  Tree tree;
};

struct FieldStore::NameBlock {
  NameBlock* previous;
  std::size_t left;
  char* next;
  static constexpr std::size_t kMinimumBytes = 128;
};

FieldStore::FieldStore(Room room) : room_(room.entries), capacity_(room.capacity) {}

FieldStore::~FieldStore() {
  for (std::size_t i = 0; i < used_; ++i) room_[i].~Entry();
  while (names_) {
    NameBlock* previous = names_->previous;
    names_->~NameBlock();
    ::operator delete(names_);
    names_ = previous;
  }
}

bool FieldStore::wide() const { return indexed_ && !extra_->tree.empty(); }

FieldStore::const_iterator FieldStore::begin() const {
  if (direct()) return const_iterator(static_cast<Entry const*>(room_));
  return wide() ? const_iterator(extra_->tree.begin()) : const_iterator(extra_->index.data());
}

FieldStore::const_iterator FieldStore::end() const {
  if (direct()) return const_iterator(static_cast<Entry const*>(room_ + used_));
  return wide() ? const_iterator(extra_->tree.end())
                : const_iterator(extra_->index.data() + extra_->index.size());
}

FieldStore::Index::const_iterator FieldStore::LowerBound(boost::string_view name) const {
  return std::lower_bound(extra_->index.begin(), extra_->index.end(), name, ByName());
}

FieldStore::Entry const* FieldStore::Find(boost::string_view name) const {
  if (direct()) {
    Entry const* const last = room_ + used_;
    Entry const* at = FindName(static_cast<Entry const*>(room_), last, name,
                               [](Entry const& entry) { return entry.first; });
    return at != last ? at : nullptr;
  }
  if (wide()) {
    auto at = extra_->tree.find(name);
    return at != extra_->tree.end() ? at->second : nullptr;
  }
  auto at = LowerBound(name);
  return at != extra_->index.end() && (*at)->first == name ? *at : nullptr;
}

boost::string_view FieldStore::CopyName(boost::string_view name) {
  if (!names_ || names_->left < name.size()) {
    std::size_t const bytes = std::max(name.size(), NameBlock::kMinimumBytes);
    void* memory = ::operator new(sizeof(NameBlock) + bytes);
    char* text = static_cast<char*>(memory) + sizeof(NameBlock);
    names_ = new (memory) NameBlock{names_, bytes, text};
  }
  char* copy = names_->next;
  if (!name.empty()) std::memcpy(copy, name.data(), name.size());
  names_->next += name.size();
  names_->left -= name.size();
  return boost::string_view(copy, name.size());
}

FieldStore::Entry* FieldStore::NewEntry(boost::string_view name, bool copyName) {
  boost::string_view const stored = copyName ? CopyName(name) : name;
  ++size_;
  if (used_ < capacity_) return new (&room_[used_++]) Entry{stored, nullptr};
  if (!extra_) extra_ = std::make_unique<Extra>();
  Extra& extra = *extra_;
  if (extra.lastBlockUsed == extra.lastBlockSize) {
    extra.lastBlockSize = extra.lastBlockSize ? extra.lastBlockSize * 2 : std::max<std::size_t>(capacity_, 4);
    extra.blocks.push_back(std::make_unique<Entry[]>(extra.lastBlockSize));
    extra.lastBlockUsed = 0;
  }
  Entry* entry = &extra.blocks.back()[extra.lastBlockUsed++];
  entry->first = stored;
  return entry;
}

void FieldStore::IndexRoom() {
  if (!extra_) extra_ = std::make_unique<Extra>();
  extra_->index.reserve(used_ + 1);
  for (std::size_t i = 0; i < used_; ++i) extra_->index.push_back(&room_[i]);
  indexed_ = true;
}

FieldStore::Entry& FieldStore::Slot(boost::string_view name, bool copyName) {
  if (direct()) {
    // In order and room to spare: the room stays the index.
    if (used_ < capacity_ && (used_ == 0 || room_[used_ - 1].first < name)) {
      return *NewEntry(name, copyName);
    }
    if (Entry const* found = Find(name)) return const_cast<Entry&>(*found);
    IndexRoom();
  }
  if (wide()) {
    Tree& tree = extra_->tree;
    auto at = tree.lower_bound(name);
    if (at != tree.end() && at->first == name) return *at->second;
    Entry* entry = NewEntry(name, copyName);
    tree.emplace_hint(at, entry->first, entry);
    return *entry;
  }
  Index& index = extra_->index;
  auto at = LowerBound(name);
  if (at != index.end() && (*at)->first == name) return **at;
  auto const position = at - index.cbegin();
  Entry* entry = NewEntry(name, copyName);
  if (index.size() < kArrayIndexLimit) {
    index.insert(index.begin() + position, entry);
    return *entry;
  }
  // Wide from now on: the array's entries go into the tree, already in order.
  Tree& tree = extra_->tree;
  for (Entry* indexed : index) tree.emplace_hint(tree.end(), indexed->first, indexed);
  tree.emplace(entry->first, entry);
  Index().swap(index);
  return *entry;
}

void FieldStore::TakeValues(Values& out) {
  for (auto it = begin(); it != end(); ++it) {
    auto& value = const_cast<Entry&>(*it).second;
    if (value) out.push_back(std::move(value));
  }
}

}  // namespace detail

namespace {

// Allocates a compound value, its shared-pointer control block, the room for its fields and
// the copy of its name in one piece: the first `extra` bytes after the control block are the
// value's, and their address is written to `*trailing` before the value is constructed.
template <class T>
class TrailingAllocator {
 public:
  using value_type = T;

  TrailingAllocator(std::size_t extra, void** trailing) : extra_(extra), trailing_(trailing) {}
  template <class U>
  TrailingAllocator(TrailingAllocator<U> const& other)  // NOLINT: rebinding converts
      : extra_(other.extra_), trailing_(other.trailing_) {}

  T* allocate(std::size_t n) {
    constexpr std::size_t kAlign = alignof(std::max_align_t);
    std::size_t const head = (n * sizeof(T) + kAlign - 1) / kAlign * kAlign;
    char* block = static_cast<char*>(::operator new(head + extra_));
    *trailing_ = block + head;
    return reinterpret_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t) { ::operator delete(block); }

  template <class U>
  bool operator==(TrailingAllocator<U> const& other) const {
    return extra_ == other.extra_ && trailing_ == other.trailing_;
  }
  template <class U>
  bool operator!=(TrailingAllocator<U> const& other) const {
    return !(*this == other);
  }

 private:
  template <class U>
  friend class TrailingAllocator;
  std::size_t extra_;
  void** trailing_;
};

template <class V>
std::shared_ptr<V> MakeCompound(std::string const* copyName, std::string const* staticName,
                                std::size_t fieldCount,
                                std::shared_ptr<void const> const* keeper = nullptr) {
  static_assert(alignof(detail::FieldStore::Entry) <= alignof(std::max_align_t) &&
                    sizeof(detail::FieldStore::Entry) % alignof(std::string) == 0,
                "the name's copy follows the room");
  void* trailing = nullptr;
  std::size_t const extra = RoomBytes(fieldCount) + (copyName ? sizeof(std::string) : 0);
  detail::CompoundPlacement const placement{&trailing, fieldCount, copyName, staticName, keeper};
  return std::allocate_shared<V>(TrailingAllocator<V>(extra, &trailing), placement);
}

}  // namespace

std::shared_ptr<StructValue> StructValue::GetInstance(std::string const& name,
                                                      std::size_t fieldCount) {
  return MakeCompound<StructValue>(&name, nullptr, fieldCount);
}
void StructValue::Accept(ValueVisitor& visitor) const { visitor.VisitStruct(*this); }

std::shared_ptr<StructValue> StructValue::GetInstance(StaticName name, std::size_t fieldCount) {
  return MakeCompound<StructValue>(nullptr, &name.name, fieldCount);
}
std::shared_ptr<StructValue> StructValue::GetInstance(SharedName name, std::size_t fieldCount) {
  return MakeCompound<StructValue>(nullptr, &name.name, fieldCount, &name.keeper);
}

std::shared_ptr<DynamicStructValue> DynamicStructValue::GetInstance(std::string const& name,
                                                                    std::size_t fieldCount) {
  return MakeCompound<DynamicStructValue>(&name, nullptr, fieldCount);
}

std::shared_ptr<ErrorValue> ErrorValue::GetInstance(std::string const& name,
                                                    std::size_t fieldCount) {
  return MakeCompound<ErrorValue>(&name, nullptr, fieldCount);
}
std::shared_ptr<ErrorValue> ErrorValue::GetInstance(StaticName name, std::size_t fieldCount) {
  return MakeCompound<ErrorValue>(nullptr, &name.name, fieldCount);
}
std::shared_ptr<ErrorValue> ErrorValue::GetInstance(SharedName name, std::size_t fieldCount) {
  return MakeCompound<ErrorValue>(nullptr, &name.name, fieldCount, &name.keeper);
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
  // The elements themselves are the first pending values: nothing is copied.
  Elements pending;
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
