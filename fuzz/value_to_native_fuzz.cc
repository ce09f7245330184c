// Fuzz target for the value-to-native engine.
//
// The input bytes are a small program that builds an arbitrary value tree (any kind, any
// depth up to kMaxNodes nodes, field names drawn from the test shapes' own, so that
// well-formed trees are easy to reach). The tree is converted into every test shape. Each run
// must end consistently: success with no message, or failure with at least one. A successful
// result must go back to a value, that value must pass validation against the type's
// definition, and converting it again must give the same value.
//
// Byte program, one node after another in depth-first order; a field of a structure is
// preceded by its name byte:
//   op % 14:  0 string (vocabulary byte, or raw text)   1 integer   2 boolean   3 secret
//             4 void   5 double   6 blob   7 optional (flag byte: empty, or one content node)
//             8 list   9 set (count byte, then the elements)
//             10 structure   11 dynamic structure   12 error (name byte, count byte, fields)
//             13 a missing value (null)
// The tree ends when the root is complete, the bytes run out (open containers stay as far as
// they got) or kMaxNodes nodes exist.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/runtime/request_localizer.h"
#include "tirn/runtime/validation.h"

namespace {

using Tirn::BaseMessage;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataValuePtr;
using Messages = std::list<BaseMessage>;

constexpr std::size_t kMaxNodes = 10000;

char const* const kStrings[] = {"",
                                "RED",
                                "GREEN",
                                "_UNKNOWN",
                                "BLUE",
                                "8443",
                                "x8",
                                "-1",
                                "0",
                                "true",
                                "false",
                                "abc",
                                "9223372036854775808",
                                "host",
                                "port",
                                "name",
                                "next",
                                "children"};

char const* const kFieldNames[] = {
    "id",       "count",   "enabled", "key",    "color", "tags", "labels",   "colors", "address",
    "backup",   "mirrors", "note",    "host",   "port",  "kind", "red_case", "name",   "next",
    "children", "target",  "spec",    "filter", "zone",  "",     "aaa",      "zzz"};

char const* const kTypeNames[] = {"test.shapes.record", "test.shapes.node", "test.shapes.address",
                                  "x", "unknownFields"};

template <std::size_t N>
char const* Pick(char const* const (&table)[N], std::uint8_t byte) {
  return table[byte % N];
}

[[noreturn]] void Fail(char const* what) {
  std::fprintf(stderr, "value_to_native_fuzz: %s\n", what);
  std::abort();
}

class Reader {
 public:
  Reader(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string Bytes(std::size_t count) {
    count = std::min(count, size_ - pos_);
    std::string text(reinterpret_cast<char const*>(data_ + pos_), count);
    pos_ += count;
    return text;
  }

 private:
  std::uint8_t const* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Decodes the byte program into a value tree, with an explicit stack of open containers.
class TreeBuilder {
 public:
  explicit TreeBuilder(Reader& reader) : in_(reader) {}

  DataValuePtr Build() {
    while (!in_.done() && nodes_ < kMaxNodes) {
      std::string fieldName;
      if (!open_.empty() && open_.back().compound) fieldName = Pick(kFieldNames, in_.Byte());
      Open next;
      DataValuePtr node = NextNode(next);
      ++nodes_;
      if (open_.empty()) {
        root_ = node;
      } else {
        Open& parent = open_.back();
        if (parent.compound) {
          parent.compound->SetField(fieldName, node);
        } else if (parent.list) {
          parent.list->Append(node);
        } else {
          parent.optional->value(node);
        }
        if (--parent.remaining == 0) open_.pop_back();
      }
      if (next.remaining > 0) open_.push_back(std::move(next));
      if (open_.empty()) break;
    }
    return root_;
  }

 private:
  struct Open {
    std::shared_ptr<Tirn::Data::CompoundValue> compound;
    std::shared_ptr<Tirn::Data::ListValue> list;
    std::shared_ptr<Tirn::Data::OptionalValue> optional;
    std::size_t remaining = 0;
  };

  std::string Text() {
    std::uint8_t const choice = in_.Byte();
    if (choice < 0xe0) return Pick(kStrings, choice);
    return in_.Bytes(in_.Byte() % 24);
  }

  long long Integer() {
    std::uint8_t const choice = in_.Byte();
    if (choice < 0x80) return static_cast<long long>(choice) - 64;
    std::string raw = in_.Bytes(8);
    raw.resize(8, '\0');
    long long value;
    std::memcpy(&value, raw.data(), sizeof value);
    return value;
  }

  // Creates one node; a container with children to come is described in `open`.
  DataValuePtr NextNode(Open& open) {
    using namespace Tirn::Data;
    std::uint8_t const op = in_.Byte() % 14;
    switch (op) {
      case 0:
        return StringValue::GetInstance(Text());
      case 1:
        return IntegerValue::GetInstance(Integer());
      case 2:
        return BooleanValue::GetInstance(in_.Byte() & 1);
      case 3:
        return SecretValue::GetInstance(Tirn::SecretString(Text()));
      case 4:
        return VoidValue::GetInstance();
      case 5:
        return DoubleValue::GetInstance(static_cast<double>(Integer()) / 4);
      case 6:
        return BlobValue::GetInstance(Text());
      case 7: {
        auto optional = OptionalValue::GetInstance();
        if (in_.Byte() & 1) {
          open.optional = optional;
          open.remaining = 1;
        }
        return optional;
      }
      case 8:
      case 9: {
        auto list = ListValue::GetInstance(op == 8 ? ListValue::LIST : ListValue::SET);
        open.list = list;
        open.remaining = in_.Byte() % 16;
        return list;
      }
      case 10:
      case 11:
      case 12: {
        std::string const name = Pick(kTypeNames, in_.Byte());
        std::shared_ptr<CompoundValue> compound;
        if (op == 10) {
          compound = StructValue::GetInstance(name);
        } else if (op == 11) {
          compound = DynamicStructValue::GetInstance(name);
        } else {
          compound = ErrorValue::GetInstance(name);
        }
        open.compound = compound;
        open.remaining = in_.Byte() % 16;
        return compound;
      }
      default:
        return nullptr;
    }
  }

  Reader& in_;
  std::vector<Open> open_;
  DataValuePtr root_;
  std::size_t nodes_ = 0;
};

// ---- Checks -------------------------------------------------------------------------------

// Native results are ours to take apart; a deep chain must not recurse in destructors.
template <class T>
void TearDown(T&) {}

void TearDown(Shapes::Node& root) {
  std::vector<std::shared_ptr<Shapes::Node const>> pending;
  auto take = [&pending](Shapes::Node& node) {
    if (node.next) pending.push_back(node.next.shared());
    node.next.reset();
    for (auto& child : node.children) pending.push_back(std::move(child));
    node.children.clear();
  };
  take(root);
  while (!pending.empty()) {
    std::shared_ptr<Shapes::Node const> node = std::move(pending.back());
    pending.pop_back();
    if (node.use_count() == 1) take(const_cast<Shapes::Node&>(*node));
  }
}

template <class T>
bool ToNative(DataValuePtr const& value, T& native) {
  using Tirn::Data::ValueToNativeAdapter;
  Messages messages;
  bool const ok = ValueToNativeAdapter::Adapt(
      value, ValueToNativeAdapter::AdaptMethod<T>::Get(&native), &native, messages);
  if (ok != messages.empty()) Fail("the result disagrees with the messages");
  for (auto const& message : messages) {
    if (message.id().empty()) Fail("a message without identifier");
  }
  return ok;
}

template <class T>
DataValuePtr ToValue(T const& native) {
  using Tirn::Data::NativeToValueAdapter;
  static auto const localizer = Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer();
  DataValuePtr value;
  Messages messages;
  if (!NativeToValueAdapter::Adapt(&native, NativeToValueAdapter::AdaptMethod<T>::Get(&native),
                                   &value, messages, localizer)) {
    Fail("a converted object does not convert back (a required member left unset)");
  }
  return value;
}

template <class T>
DataDefinitionPtr const& DefinitionOf() {
  static DataDefinitionPtr const definition = [] {
    using Tirn::Data::NativeToDefinitionAdapter;
    DataDefinitionPtr result;
    Messages const messages;
    NativeToDefinitionAdapter::Adapt(NativeToDefinitionAdapter::AdaptMethod<T>::Get(), &result,
                                     messages);
    return result;
  }();
  return definition;
}

// Converts `value` into a T; a success must survive the way back, validation (when
// `validate`) and a second conversion unchanged.
template <class T>
void Check(DataValuePtr const& value, bool validate) {
  T native{};
  if (ToNative(value, native)) {
    DataValuePtr const back = ToValue(native);
    Messages problems;
    if (validate && !Tirn::Data::Validate(DefinitionOf<T>(), back, problems)) {
      for (auto const& problem : problems) {
        std::fprintf(stderr, "  %s\n", problem.defaultMessage().c_str());
      }
      Fail("a converted object does not validate against its definition");
    }
    T again{};
    if (!ToNative(back, again)) Fail("a converted object's value does not convert again");
    if (!Tirn::Data::Equal(back, ToValue(again))) Fail("a second round trip changed the value");
    TearDown(again);
  }
  TearDown(native);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  Reader reader(data, size);
  DataValuePtr const value = TreeBuilder(reader).Build();
  Check<Shapes::Record>(value, true);
  Check<Shapes::Node>(value, true);
  Check<Shapes::Address>(value, true);
  Check<Shapes::Input>(value, true);
  // The value engines leave the union to validation, so a case for another tag converts.
  Check<Shapes::Variant>(value, false);
  Check<std::set<Shapes::Color>>(value, false);
  Check<std::list<std::string>>(value, false);
  return 0;
}
