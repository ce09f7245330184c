#include "tirn/data/value_to_native_adapter.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional/optional_io.hpp>

#include "tests/convert.h"
#include "tests/loops.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"

namespace Tirn {
namespace Data {
namespace {

// An address converted by a routine of its own, which marks what it converts.
struct Stamped : Shapes::Address {
  bool byOwnRoutine = false;
};

}  // namespace

template <>
struct ValueToNativeAdapter::AdaptMethod<Stamped> {
  static Method Get(Stamped const* = nullptr) { return &Read; }
  static void Read(DataValuePtr const& source, NativePtr const& destination, Stack& stack,
                   std::list<BaseMessage>& messages) {
    StructMethod<Stamped>(source, destination, stack, messages);
    static_cast<Stamped*>(destination)->byOwnRoutine = true;
  }
};

namespace {

using Shapes::Address;
using Shapes::Color;
using Shapes::MakeAddress;
using Shapes::Node;
using Shapes::Record;
using Shapes::TakeApart;
using Shapes::Variant;
using namespace ::test_convert;
using Args = std::list<std::string>;
namespace Id = MessageIds;

DataValuePtr Bool() { return BooleanValue::GetInstance(true); }

// A record value holding every required field, except those named in `without`.
std::shared_ptr<StructValue> RecordValue(std::set<std::string> const& without = {}) {
  std::pair<std::string, DataValuePtr> const fields[] = {
      {"id", Str("r")},         {"count", Int(1)},    {"enabled", Bool()},
      {"key", SecretValue::GetInstance(SecretString("k"))},
      {"color", Str("RED")},    {"tags", List({})},   {"labels", List({})},
      {"address", Struct("test.shapes.address", {{"host", Str("h")}})}};
  auto value = StructValue::GetInstance("test.shapes.record");
  for (auto const& field : fields) {
    if (!without.count(field.first)) value->SetField(field.first, field.second);
  }
  return value;
}

// Converts `value`, expecting failure with exactly one message followed by the message that
// names `path`; returns the first.
template <class T>
BaseMessage FailureOf(DataValuePtr const& value, T& native, std::string const& path) {
  Messages messages;
  EXPECT_FALSE(FromValue(value, native, messages));
  EXPECT_EQ(messages.size(), 2u);
  if (messages.size() != 2) return BaseMessage("<none>", "", {});
  EXPECT_EQ(messages.back().id(), Id::kAtPath);
  EXPECT_EQ(messages.back().args(), Args{path});
  return messages.front();
}

// Records round trip as the package's structures do (tests/package_round_trip_test.cc, and
// with unknown fields and enumeration strings at several depths tests/json_round_trip_test.cc);
// the value engines also leave the union to validation, so a case for another tag is kept, and
// a structure without fields keeps the fields it does not know.
TEST(ValueToNativeAdapter, RoundTripsAUnionCaseForAnotherTagAndAnEmptyStructure) {
  Variant variant;
  variant.kind = Color(Color::_UNKNOWN, "BLUE");
  variant.red_case = MakeAddress("r", 1);
  EXPECT_TRUE(Equal(ToValue(FromValue<Variant>(ToValue(variant))), ToValue(variant)));
  Shapes::Empty empty;
  empty.unknownFields = Struct("unknownFields", {{"only", Str("one")}});
  EXPECT_TRUE(Equal(ToValue(FromValue<Shapes::Empty>(ToValue(empty))), ToValue(empty)));
}

TEST(ValueToNativeAdapter, UnknownFieldsShareTheReceivedValues) {
  DataValuePtr zone = Struct("z", {{"name", Str("eu")}});
  Address address =
      FromValue<Address>(Struct("test.shapes.address", {{"host", Str("h")}, {"zone", zone}}));
  EXPECT_EQ(ToDebugString(address.unknownFields), "unknownFields{zone: z{name: \"eu\"}}");
  EXPECT_EQ(FieldOf(address.unknownFields, "zone"), zone);
  // Without extra fields none are stored.
  EXPECT_EQ(FromValue<Address>(Struct("a", {{"host", Str("h")}})).unknownFields, nullptr);
}

TEST(ValueToNativeAdapter, InputStructuresKeepNoUnknownFields) {
  // The input's leading pointer sits where a structure keeps its unknown fields: it must stay
  // untouched, while the nested structure keeps its own.
  auto filter = RecordValue();
  filter->SetField("later", Str("kept"));
  auto value = Struct(
      "test.shapes.operation_input",
      {{"target", Str("t")}, {"spec", Str("")}, {"surprise", Str("x")}, {"filter", Opt(filter)}});
  Shapes::Input input = FromValue<Shapes::Input>(value);
  EXPECT_EQ(input.opaque, nullptr);
  ASSERT_NE(input.filter, nullptr);
  EXPECT_EQ(ToDebugString(input.filter->unknownFields), "unknownFields{later: \"kept\"}");
}

std::string Name(Color const& color) {
  if (color.value() != Color::_UNKNOWN) return color.value() == Color::RED ? "RED" : "GREEN";
  return "_UNKNOWN(" + color.unknownValue() + ")";
}

template <class Container, class Render>
std::string Join(Container const& items, Render render) {
  std::string text;
  for (auto const& item : items) text += (text.empty() ? "" : ",") + render(item);
  return "[" + text + "]";
}

// A failed run's messages as Said shows them: its message, then the one that names the path of
// the failing value.
std::string Fail(char const* id, Args const& args, std::string const& path) {
  return Said({BaseMessage(id, "", args), BaseMessage(Id::kAtPath, "", {path})});
}

// What a record's member holds after conversion, as text; "none" when it is unset.
std::string Member(Record const& r, std::string const& field) {
  auto const same = [](std::string const& s) { return s; };
  if (field == "port") return r.address->port ? std::to_string(*r.address->port) : "none";
  if (field == "count") return std::to_string(r.count);
  if (field == "enabled") return r.enabled ? "true" : "false";
  if (field == "key") return "'" + r.key.value() + "'";
  if (field == "address") return "'" + r.address->host + "'";
  if (field == "backup") return r.backup ? "'" + r.backup->host + "'" : "none";
  if (field == "note") return r.note ? "'" + *r.note + "'" : "none";
  if (field == "tags") return Join(r.tags, same);
  if (field == "labels") return Join(r.labels, same);
  if (field == "colors") return r.colors ? Join(*r.colors, Name) : "none";
  if (field == "color") return Name(r.color);
  return "?";
}

TEST(ValueToNativeAdapter, MembersTakeEveryFormTheWireAllowsAndNoOther) {
  auto error = ErrorValue::GetInstance("e");
  error->SetField("host", Str("e"));
  struct Case {
    char const* what;
    std::string field;   // "port" is the address's
    DataValuePtr value;  // null: absent
    std::string expected;  // the member, or the failure
  } const cases[] = {
      {"absent optional", "port", nullptr, "none"},
      {"bare integer", "port", Int(5), "5"},
      {"wrapped integer", "port", Opt(Int(5)), "5"},
      {"empty optional", "port", OptionalValue::GetInstance(), "none"},
      {"empty string for an optional", "port", Str(""), "none"},
      {"decimal string", "port", Str("8443"), "8443"},
      {"wrapped decimal string", "port", Opt(Str("-12")), "-12"},
      {"decimal string for an integer", "count", Str("42"), "42"},
      {"text for a boolean", "enabled", Str("true"), "true"},
      {"text for a secret", "key", Str("plain"), "'plain'"},
      {"empty string for an optional string", "note", Str(""), "none"},
      {"optional holding an empty string", "note", Opt(Str("")), "''"},
      {"empty string for an optional structure", "backup", Str(""), "none"},
      {"optional holding an empty string", "backup", Opt(Str("")), "''"},
      {"bare structure", "backup", Struct("a", {{"host", Str("b")}}), "'b'"},
      {"empty string for a structure", "address", Str(""), "''"},
      {"dynamic structure", "address", Struct("d", {{"host", Str("d")}}), "'d'"},
      {"error value", "address", error, "'e'"},
      {"list", "tags", List({Str("x"), Str("y"), Str("x")}), "[x,y,x]"},
      {"non-empty string for a list", "tags", Str("only"), "[only]"},
      {"empty string for a list", "tags", Str(""), "[]"},
      {"list with a duplicate for a set", "labels", List({Str("a"), Str("b"), Str("a")}), "[a,b]"},
      {"string for a set", "labels", Str("z"), "[z]"},
      {"wrapped list of enumerations", "colors",
       Opt(List({Str("GREEN"), Str("BLUE"), Str("GREEN")})), "[GREEN,_UNKNOWN(BLUE)]"},
      {"bare string for a set of enumerations", "colors", Str("RED"), "[RED]"},
      {"wrapped string for a set of enumerations", "colors", Opt(Str("_UNKNOWN")), "[_UNKNOWN()]"},
      {"enumerator", "color", Str("GREEN"), "GREEN"},
      {"_UNKNOWN", "color", Str("_UNKNOWN"), "_UNKNOWN()"},
      {"unknown string is kept", "color", Str("FUTURE"), "_UNKNOWN(FUTURE)"},
      {"names are case-sensitive", "color", Str("red"), "_UNKNOWN(red)"},
      {"empty string for an enumeration", "color", Str(""), "_UNKNOWN()"},
      {"unparsable integer", "count", Str("x8"),
       Fail(Id::kParseFailed, {"x8", "integer"}, "count")},
      {"boolean for an integer", "count", Bool(),
       Fail(Id::kWrongKind, {"integer", "boolean"}, "count")},
      {"optional for an integer", "count", Opt(Int(1)),
       Fail(Id::kWrongKind, {"integer", "optional"}, "count")},
      {"null for an integer", "count", nullptr, Fail(Id::kWrongKind, {"integer", "null"}, "count")},
      {"unparsable port", "port", Opt(Str("y9")),
       Fail(Id::kParseFailed, {"y9", "integer"}, "address.port")},
      {"integer for a list", "tags", Int(3), Fail(Id::kInvalidType, {}, "tags")},
      {"optional for a list", "tags", Opt(List({})), Fail(Id::kInvalidType, {}, "tags")},
      {"list element of another kind", "tags", List({Str("a"), Int(1)}),
       Fail(Id::kWrongKind, {"string", "integer"}, "tags[1]")},
      {"integer for a set", "labels", Int(1), Fail(Id::kInvalidType, {}, "labels")},
      {"set element of another kind", "labels", List({Str("a"), Int(5)}),
       Fail(Id::kWrongKind, {"string", "integer"}, "labels[1]")},
      {"enumeration element of another kind", "colors", List({Str("RED"), Bool()}),
       Fail(Id::kWrongKind, {"string", "boolean"}, "colors[1]")},
      {"integer for an enumeration", "color", Int(0),
       Fail(Id::kWrongKind, {"string", "integer"}, "color")},
      {"optional for an enumeration", "color", Opt(Str("RED")),
       Fail(Id::kWrongKind, {"string", "optional"}, "color")},
      {"non-empty string for a structure", "address", Str("abc"),
       Fail(Id::kBadCast, {"abc"}, "address")},
      {"optional for a structure", "address", Opt(Struct("a", {{"host", Str("h")}})),
       Fail(Id::kInvalidType, {}, "address")},
      {"null for a structure", "address", nullptr, Fail(Id::kInvalidType, {}, "address")},
      {"present optional structure lacking a field", "backup",
       Opt(DynamicStructValue::GetInstance("d")),
       Fail(Id::kFieldMissing, {"host", "d"}, "backup")},
      {"an element of a list of structures", "mirrors",
       List({Struct("a", {{"host", Str("m")}}), Struct("a", {{"host", Str("n")}, {"port", Bool()}})}),
       Fail(Id::kWrongKind, {"integer", "boolean"}, "mirrors[1].port")},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.field + ": " + c.what);
    auto value = RecordValue();
    if (c.field == "port") {
      auto address = Struct("test.shapes.address", {{"host", Str("h")}});
      if (c.value) address->SetField("port", c.value);
      value->SetField("address", address);
    } else {
      value->SetField(c.field, c.value);
    }
    Record record;
    record.tags = {"stale"};  // replaced, not appended to
    record.labels = {"stale"};
    // A message from before does not make the run fail; a set of enumerations converts its
    // elements by runs of their own, which must not take it for theirs either.
    Messages messages{BaseMessage("earlier", "", {})};
    bool const ok = FromValue(value, record, messages);
    std::string const got = Said(messages) + (ok ? Member(record, c.field) : "");
    EXPECT_EQ(got, " earlier" + c.expected);
    // A failure stops the run: "color", converted last, keeps its default.
    EXPECT_TRUE(c.field == "color" || Name(record.color) == (ok ? "RED" : "_UNKNOWN()"))
        << Name(record.color);
  }
}

TEST(ValueToNativeAdapter, RootOfAStructure) {
  // An empty string stands for a structure of defaults, its required structures included.
  Record defaults;
  defaults.address = std::make_shared<Address>();
  Record const record = FromValue<Record>(Str(""));
  EXPECT_TRUE(Equal(ToValue(record), ToValue(defaults))) << ToDebugString(ToValue(record));
  EXPECT_EQ(record.unknownFields, nullptr);
  EXPECT_TRUE(Equal(ToValue(FromValue<Variant>(Str(""))), ToValue(Variant())));

  Node node;
  EXPECT_EQ(Said({FailureOf(Str("abc"), node, "<root>")}),
            std::string(" ") + Id::kBadCast + ",abc");
}

// A run checks that every required field is there before it converts anything, then converts
// the required primitives, then the other members from the last to the first, and stops at the
// first failure.
TEST(ValueToNativeAdapter, ChecksInAFixedOrderAndStopsAtTheFirstFailure) {
  struct Case {
    std::string what;
    std::set<std::string> without;  // required fields left out
    std::vector<std::pair<std::string, DataValuePtr>> fields;  // set besides
    std::string failure;
    char const* note;  // the note member after the run
  };
  std::string const record = "test.shapes.record";
  std::vector<Case> cases = {
      {"the first missing field in declaration order", {"labels", "enabled"}, {},
       Fail(Id::kFieldMissing, {"enabled", record}, "<root>"), "none"},
      {"presence before values", {"labels"}, {{"count", Str("x8")}},
       Fail(Id::kFieldMissing, {"labels", record}, "<root>"), "none"},
      {"required primitives before the other values", {}, {{"count", Str("x8")}, {"tags", Int(3)}},
       Fail(Id::kParseFailed, {"x8", "integer"}, "count"), "none"},
      {"the other values from the last member to the first (note follows tags)", {},
       {{"tags", Int(3)}, {"note", Str("converted")}}, Fail(Id::kInvalidType, {}, "tags"),
       "'converted'"},
      {"a nested structure is finished before its earlier siblings", {},
       {{"tags", Int(3)}, {"address", Struct("a", {{"host", Str("h")}, {"port", Str("y9")}})}},
       Fail(Id::kParseFailed, {"y9", "integer"}, "address.port"), "none"},
  };
  // Any one required field missing, whatever else is there.
  decltype(Case::fields) const besides = {
      {"note", Str("n")}, {"backup", Struct("a", {{"host", Str("b")}})}, {"extra", Str("x")}};
  for (char const* field :
       {"id", "count", "enabled", "key", "color", "tags", "labels", "address"}) {
    cases.push_back({std::string("without ") + field, {field}, besides,
                     Fail(Id::kFieldMissing, {field, record}, "<root>"), "none"});
  }
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue(c.without);
    for (auto const& field : c.fields) value->SetField(field.first, field.second);
    Record native;
    Messages messages;
    EXPECT_FALSE(FromValue(value, native, messages));
    EXPECT_EQ(Said(messages), c.failure);
    EXPECT_EQ(Member(native, "note"), c.note);
    EXPECT_TRUE(c.without.empty() || NativeEqual(native, Record()));  // nothing converted
  }
}

// A value built into a loop fails the conversion with a message, at the place where the walk
// meets the loop again, instead of converting forever; shared subtrees are no loop.
TEST(ValueToNativeAdapter, AValueThatContainsItselfFails) {
  auto const loops = test_loops::Loops(100000);
  for (test_loops::Loop const& loop : loops) {
    SCOPED_TRACE(loop.label);
    Node native;
    EXPECT_EQ(FailureOf(loop.root, native, loop.path).id(), Id::kContainsItself);
    TakeApart(native);
  }
  test_loops::Break(loops);

  DataValuePtr const shared = Struct("n", {{"name", Str("s")}, {"children", Str("")}});
  Node twice = FromValue<Node>(
      Struct("n", {{"name", Str("t")}, {"children", List({shared, shared})}, {"next", shared}}));
  EXPECT_EQ(twice.children.size(), 2u);
  TakeApart(twice);
}

// A value that is its own member fails even where that member is read as another type, which
// the value could pass for.
TEST(ValueToNativeAdapter, AValueThatIsItsOwnMemberUnderAnotherTypeFails) {
  auto value = RecordValue({"address"});
  value->SetField("host", Str("h"));  // so that the record also reads as an address
  DataValuePtr* slot = value->FieldSlot("address");
  *slot = value;
  Record native;
  EXPECT_EQ(FailureOf(value, native, "address").id(), Id::kContainsItself);
  *slot = nullptr;
}

// Chains around the depth where a run leaves the rest of the tree to its work stack, and a
// million levels deep, convert whole, each level once, without exhausting the stack; a failure
// at the bottom of a million levels names a path whose middle is left out.
TEST(ValueToNativeAdapter, ChainsOfAnyDepthConvertWhole) {
  std::size_t const depth = ValueToNativeAdapter::kDirectDepth;
  std::size_t const million = 1000000;
  for (std::size_t levels : {depth / 2, depth - 1, depth, depth + 1, 3 * depth, million}) {
    SCOPED_TRACE(levels);
    // At the bottom an empty string stands for the list: a form only the work stack reads.
    auto const bottom = Struct("n", {{"name", Str("0")}, {"children", Str("")}});
    DataValuePtr chain = bottom;
    for (std::size_t i = 1; i < levels; ++i) {
      chain = Struct("n", {{"name", Str(std::to_string(i))},
                           {"children", List({})},
                           {"next", Opt(std::move(chain))}});
    }
    Node head = FromValue<Node>(chain);
    std::size_t level = levels;
    for (Node const* node = &head; node; node = node->next.get()) {
      EXPECT_EQ(node->name, std::to_string(--level));
      EXPECT_TRUE(node->children.empty());
    }
    EXPECT_EQ(level, 0u);
    TakeApart(head);
    if (levels != million) continue;
    bottom->SetField("name", Int(7));
    Node failed;
    std::string const next8 = "next.next.next.next.next.next.next.next";
    EXPECT_EQ(FailureOf(chain, failed, next8 + "...next.next.next.next.next.next.next.name").args(),
              (Args{"string", "integer"}));
    TakeApart(failed);
  }
}

// A structure whose conversion routine is replaced is converted by that routine, wherever it
// sits.
TEST(ValueToNativeAdapter, AReplacedRoutineConvertsItsStructure) {
  auto const stamped = [](char const* host) { return Struct("s", {{"host", Str(host)}}); };
  auto const list = FromValue<std::list<Stamped>>(List({stamped("a"), stamped("b")}));
  ASSERT_EQ(list.size(), 2u);
  for (Stamped const& element : list) EXPECT_TRUE(element.byOwnRoutine) << element.host;
  EXPECT_EQ(list.back().host, "b");
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
