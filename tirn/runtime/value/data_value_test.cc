#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/equal.h"

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <iterator>
#include <limits>
#include <list>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/convert.h"
#include "tests/loops.h"
#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"

namespace Tirn {
namespace Data {
namespace {

using Args = std::list<std::string>;
using ::test_convert::Count;
using ::test_convert::Int;
using ::test_convert::List;
using ::test_convert::Opt;
using ::test_convert::Struct;

constexpr int kDeep = 1000000;
constexpr long long kMin = std::numeric_limits<long long>::min();

// Asserts that `messages` holds exactly one message, `id` with `args`.
void ExpectOne(std::list<BaseMessage> const& messages, char const* id, Args const& args) {
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.front().id(), id);
  EXPECT_EQ(messages.front().args(), args);
}

// Value<T> never parses: a value of another kind, even "" for Void, or none adds one message.
TEST(DataValueTest, ValueOfAnotherKindOrNullAddsOneWrongKindMessage) {
  auto const check = [](auto sample, char const* kind, DataValuePtr other, char const* found) {
    using Row = std::pair<DataValuePtr, char const*>;
    for (Row const& row : {Row{other, found}, Row{nullptr, "null"}}) {
      SCOPED_TRACE(std::string(kind) + " from " + row.second);
      decltype(sample) out = sample;
      std::list<BaseMessage> messages;
      EXPECT_FALSE(DataValue::Value<decltype(sample)>(row.first, out, messages));
      ExpectOne(messages, MessageIds::kWrongKind, {kind, row.second});
    }
  };
  DataValuePtr const text = DataValue::Create<std::string>("");
  check(std::string("text"), "string", DataValue::Create<long long>(0), "integer");
  check(kMin, "integer", text, "string");
  check(true, "boolean", text, "string");
  check(SecretString("key material"), "secret", text, "string");
  check(Void(), "void", text, "string");
}

// Parses `text` as T; on success compares with `expected`, else expects one `failure`
// message naming the text and `kind`.
template <class T>
void ExpectParse(std::string const& text, T const& expected, char const* failure,
                 char const* kind) {
  SCOPED_TRACE("text: '" + text + "'");
  T out{};
  std::list<BaseMessage> messages;
  bool ok = DataValue::ToPrimitive<T>(DataValue::Create<std::string>(text), out, messages);
  EXPECT_EQ(ok, failure == nullptr);
  if (ok) {
    EXPECT_TRUE(messages.empty() && out == expected);
  } else {
    ExpectOne(messages, failure, {text, kind});
  }
}

constexpr char const* kOk = nullptr;
constexpr char const* kBad = MessageIds::kParseFailed;
constexpr char const* kRange = MessageIds::kOutOfRange;

TEST(ToPrimitiveTest, IntegerTakesExactlyTheWholeDecimalText) {
  // The text, the integer it reads as, and the failure (kOk: none).
  std::tuple<std::string, long long, char const*> const cases[] = {
      {"0", 0, kOk}, {"-9223372036854775808", kMin, kOk},
      {"9223372036854775807", 9223372036854775807LL, kOk}, {"+5", 5, kOk}, {"007", 7, kOk},
      {"", 0, kBad}, {"+", 0, kBad}, {"-", 0, kBad}, {" 1", 0, kBad}, {"1 ", 0, kBad},
      {"1x", 0, kBad}, {"x8", 0, kBad}, {"0x10", 0, kBad}, {"1.0", 0, kBad}, {"--1", 0, kBad},
      {"+-1", 0, kBad}, {"++1", 0, kBad}, {std::string("1\0", 2), 0, kBad},
      {"99999999999999999999x", 0, kBad}, {"9223372036854775808", 0, kRange},
      {"-9223372036854775809", 0, kRange}, {"+99999999999999999999", 0, kRange},
  };
  for (auto const& [text, expected, failure] : cases) {
    ExpectParse<long long>(text, expected, failure, "integer");
  }
}

TEST(ToPrimitiveTest, BooleanVoidSecretAndString) {
  std::tuple<std::string, bool, char const*> const bools[] = {
      {"true", true, kOk}, {"false", false, kOk}, {"True", false, kBad}, {"FALSE", false, kBad},
      {"1", false, kBad}, {"0", false, kBad}, {"", false, kBad}, {"true ", false, kBad}};
  for (auto const& [text, expected, failure] : bools) {
    ExpectParse<bool>(text, expected, failure, "boolean");
  }

  ExpectParse<Void>("", Void(), kOk, "void");
  for (std::string const text : {" ", "void", "\t"}) ExpectParse<Void>(text, Void(), kBad, "void");

  for (std::string const text : {"", " padded ", "x8", "a\x01z"}) {
    ExpectParse<SecretString>(text, SecretString(text), kOk, "secret");
    ExpectParse<std::string>(text, text, kOk, "string");
  }

  long long out = 0;
  std::list<BaseMessage> messages;
  EXPECT_FALSE(DataValue::ToPrimitive<long long>(DataValue::Create<long long>(3), out, messages));
  ExpectOne(messages, MessageIds::kWrongKind, {"string", "integer"});
}

// Field names f00000000, f00000001, ... in the given order.
std::vector<std::string> FieldNames(std::size_t count, char const* order) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) {
    std::string digits = std::to_string(i);
    names.push_back("f" + std::string(8 - digits.size(), '0') + digits);
  }
  if (std::string(order) == "descending") {
    std::reverse(names.begin(), names.end());
  } else if (std::string(order) == "random") {
    std::shuffle(names.begin(), names.end(), std::mt19937(13));
  }
  return names;
}

// Whatever the room a value was made with (none, too little, exact, more) and whether its
// names are copied or static, fields come out in ascending byte order, are found by name, and
// keep their slots, a few of them or many.
TEST(StructValueTest, FieldsComeOutInAscendingByteOrder) {
  // Byte order: upper case before '_' before lower case, and UTF-8 lead bytes last.
  std::vector<std::string> const sorted = {"",   "A", "_",         "a",       "aa",
                                           "ab", "b", "z\xc3\xa9", "\xc3\xa9"};
  std::vector<std::string> const many = FieldNames(300, "ascending");
  std::vector<std::string> const orders[] = {
      sorted,
      {sorted.rbegin(), sorted.rend()},
      {"a", "aa", "ab", "", "A", "z\xc3\xa9", "_", "b", "\xc3\xa9"},
      {"b", "\xc3\xa9", "aa", "", "A", "z\xc3\xa9", "_", "ab", "a"},
      FieldNames(300, "descending"),
      FieldNames(300, "random")};
  for (std::size_t room : {0, 2, 9, 20}) {
    for (bool copied : {true, false}) {
      for (auto const& order : orders) {
        SCOPED_TRACE(testing::Message() << "room " << room << (copied ? ", copied" : ", static"));
        auto value = StructValue::GetInstance("com.example.s", room);
        std::vector<DataValuePtr*> slots;
        for (auto const& name : order) {
          // A copied name may come from a temporary that is gone before the value is read.
          DataValuePtr* slot =
              copied ? value->FieldSlot(std::string(name)) : value->StaticFieldSlot(name);
          *slot = DataValue::Create<std::string>(name);
          slots.push_back(slot);
        }
        for (std::size_t i = 0; i < order.size(); ++i) {
          EXPECT_EQ(value->FindField(std::string(order[i])), slots[i]) << order[i];
          EXPECT_EQ(value->FieldSlot(order[i]), slots[i]) << order[i];
        }
        EXPECT_EQ(value->FindField("ac"), nullptr);
        std::vector<std::string> names;
        for (auto const& field : value->fields()) {
          names.emplace_back(field.first);
          EXPECT_TRUE(Equal(field.second, DataValue::Create<std::string>(std::string(field.first))));
        }
        EXPECT_EQ(names, order.size() == sorted.size() ? sorted : many);
      }
    }
  }
}

// (Slots keep their addresses as a structure grows: FieldsComeOutInAscendingByteOrder.)
TEST(StructValueTest, SetFieldReplacesAndGetFieldNamesAMissingField) {
  auto value = StructValue::GetInstance("com.example.s");
  DataValuePtr* slot = value->FieldSlot("m");
  EXPECT_EQ(*slot, nullptr);
  *slot = DataValue::Create<long long>(1);
  value->SetField("m", DataValue::Create<long long>(2));
  EXPECT_EQ(value->fields().size(), 1u);
  DataValuePtr out;
  std::list<BaseMessage> messages;
  ASSERT_TRUE(value->GetField("m", out, messages));
  EXPECT_TRUE(Equal(out, DataValue::Create<long long>(2)));
  EXPECT_FALSE(value->GetField("n", out, messages));
  ExpectOne(messages, MessageIds::kFieldMissing, {"n", "com.example.s"});
}

// CPU seconds that building a structure of `names` (in that order), then reading each field
// back, takes; the least of three runs.
double BuildAndReadSeconds(std::vector<std::string> const& names) {
  std::vector<double> runs;
  for (int run = 0; run < 3; ++run) {
    auto value = StructValue::GetInstance("com.example.wide");
    DataValuePtr const field = DataValue::Create<long long>(1);
    std::clock_t const start = std::clock();
    for (auto const& name : names) value->SetField(name, field);
    std::size_t found = 0;
    for (auto const& name : names) found += value->FindField(name) != nullptr;
    runs.push_back(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    EXPECT_EQ(found, names.size());
    EXPECT_EQ(value->fields().size(), names.size());
  }
  // Other work on the machine only ever adds to a run.
  return *std::min_element(runs.begin(), runs.end());
}

// Building n fields costs O(n log n) whatever their order: eight times the fields may cost about
// nine times as much, far from the 64 times of inserting each into a sorted array.
TEST(StructValueTest, BuildingAWideStructureIsNotQuadraticInAnyOrder) {
  constexpr std::size_t kFields = 8000;
  for (char const* order : {"ascending", "descending", "random"}) {
    SCOPED_TRACE(order);
    double const small = BuildAndReadSeconds(FieldNames(kFields, order));
    double const large = BuildAndReadSeconds(FieldNames(8 * kFields, order));
    // Linear growth gives 8x, n log n and a working set past the caches up to about 25x (with
    // AddressSanitizer's checks); quadratic gives 64x.
    EXPECT_LT(large, 40 * std::max(small, 1e-3)) << small << " s, then " << large << " s";
  }
}

TEST(ListValueTest, SlotsStayFilled) {
  // A block of slots is contiguous and stays put until the next append; elements filled
  // through it keep their values when later appends move them.
  auto list = ListValue::GetInstance(ListValue::LIST);
  DataValuePtr* first = list->AppendSlots(10000);
  ASSERT_EQ(list->size(), 10000u);
  for (int i = 0; i < 10000; ++i) {
    ASSERT_EQ(first[i], nullptr) << i;
    first[i] = DataValue::Create<long long>(i);
  }
  *list->AppendSlot() = DataValue::Create<long long>(10000);
  list->Append(DataValue::Create<long long>(10001));
  ASSERT_EQ(list->size(), 10002u);
  for (int i = 0; i < 10002; ++i) {
    ASSERT_TRUE(Equal(list->elements()[i], DataValue::Create<long long>(i))) << i;
  }
}

TEST(EqualTest, ComparesKindsNamesFieldsElementsAndContents) {
  auto str = [](char const* text) { return DataValue::Create<std::string>(text); };
  auto secret = [](char const* text) { return DataValue::Create(SecretString(text)); };
  auto const dynamic = DynamicStructValue::GetInstance("s");
  dynamic->SetField("f", Int(1));
  // What the row compares, the two values, and whether they are equal.
  std::tuple<char const*, DataValuePtr, DataValuePtr, bool> const cases[] = {
      {"two nulls", nullptr, nullptr, true}, {"null and value", nullptr, Int(0), false},
      {"integers", Int(7), Int(7), true}, {"different integers", Int(7), Int(8), false},
      {"integer and its text", Int(7), str("7"), false},
      {"string and secret", str("k"), secret("k"), false},
      {"secrets", secret("k"), secret("k"), true},
      {"different secrets", secret("k"), secret("l"), false},
      {"structures", Struct("s", {{"f", Int(1)}}), Struct("s", {{"f", Int(1)}}), true},
      {"structure names", Struct("s", {{"f", Int(1)}}), Struct("t", {{"f", Int(1)}}), false},
      {"field names", Struct("s", {{"f", Int(1)}}), Struct("s", {{"g", Int(1)}}), false},
      {"field values", Struct("s", {{"f", Int(1)}}), Struct("s", {{"f", Int(2)}}), false},
      {"dynamic structure", Struct("s", {{"f", Int(1)}}), dynamic, false},
      {"lists", List({Int(1), Int(2)}), List({Int(1), Int(2)}), true},
      {"list order", List({Int(1), Int(2)}), List({Int(2), Int(1)}), false},
      {"list and set", List({Int(1)}), List({Int(1)}, ListValue::SET), false},
      {"list lengths", List({Int(1)}), List({Int(1), Int(1)}), false},
      {"empty optionals", Opt(), Opt(), true},
      {"empty and filled", Opt(), Opt(Int(1)), false},
      {"contents", Opt(Int(1)), Opt(Int(2)), false},
      {"optional and content", Opt(Int(1)), Int(1), false},
      {"error messages", ErrorValue::Create("e", {BaseMessage("a", "A", {})}),
       ErrorValue::Create("e", {BaseMessage("a", "A", {"x"})}), false},
      {"error and structure", ErrorValue::GetInstance("e"), StructValue::GetInstance("e"), false},
  };
  for (auto const& [what, a, b, equal] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Equal(a, b), equal);
    EXPECT_EQ(Equal(b, a), equal);
  }
}

TEST(ToDebugStringTest, SecretsPrintAsTheMask) {
  std::string const text = "correct horse battery staple";
  DataValuePtr secret = DataValue::Create(SecretString(text));
  auto error = ErrorValue::GetInstance("com.example.errors.e");
  error->SetField("s", secret);
  DataValuePtr const root = Struct(
      "com.example.key",
      {{"c", error}, {"b", List({secret, Opt(secret)}, ListValue::SET)}, {"a", secret}});
  std::string const printed = ToDebugString(root);
  EXPECT_EQ(printed.find("correct"), std::string::npos) << printed;
  EXPECT_EQ(Count(printed, SecretString::kMask), 4u) << printed;
}

// Storing a value into itself is refused at once; a loop made through slots or a longer chain
// is found by comparing, which stops there (as printing does, below). Shared subtrees are no
// loop.
TEST(DataValueTest, AValueCannotContainItself) {
  auto structure = StructValue::GetInstance("s");
  auto list = ListValue::GetInstance(ListValue::LIST);
  auto optional = OptionalValue::GetInstance();
  EXPECT_THROW(structure->SetField("self", structure), std::invalid_argument);
  EXPECT_THROW(list->Append(list), std::invalid_argument);
  EXPECT_THROW(optional->value(optional), std::invalid_argument);
  EXPECT_TRUE(structure->fields().empty());
  EXPECT_EQ(list->size(), 0u);
  EXPECT_FALSE(optional->has_value());

  // a = [b], b = [a], made through slots; c = [c].
  auto a = ListValue::GetInstance(ListValue::LIST);
  auto b = ListValue::GetInstance(ListValue::LIST);
  auto c = ListValue::GetInstance(ListValue::LIST);
  DataValuePtr* slots[] = {a->AppendSlot(), b->AppendSlot(), c->AppendSlot()};
  *slots[0] = b;
  *slots[1] = a;
  *slots[2] = c;
  EXPECT_FALSE(Equal(a, c));
  EXPECT_FALSE(Equal(c, List({c})));
  EXPECT_TRUE(Equal(a, a));
  for (DataValuePtr* slot : slots) *slot = nullptr;  // lets the loops be freed

  auto const make = [] { return Struct("t", {{"g", List({Opt(Int(1))}, ListValue::SET)}}); };
  DataValuePtr const shared = make();
  DataValuePtr twice = Struct("s", {{"f", List({shared, shared})}});
  std::string const once = ToDebugString(shared);
  EXPECT_EQ(ToDebugString(twice), "s{f: [" + once + ", " + once + "]}");
  EXPECT_TRUE(Equal(twice, Struct("s", {{"f", List({make(), shared})}})));
  // Destroying one owner leaves the shared subtree intact.
  twice.reset();
  EXPECT_EQ(ToDebugString(shared), once);
}

// Printing a tree built into a loop writes "<contains itself>" where the walk meets the loop
// again, once, and ends.
TEST(ToDebugStringTest, ALoopPrintsAsAMarker) {
  std::string const a = R"(n{children: "", name: "a", next: )";
  std::string const b = R"(n{children: "", name: "b", next: )";
  // For each loop of test_loops::Loops; the walk compares a value with the ancestors at
  // powers of two, so a loop may be printed once more before it is found.
  std::string const expected[] = {
      a + "<contains itself>}",
      a + b + a + "<contains itself>}}}",
      R"(n{children: [n{children: <contains itself>, name: "a"}], name: "a"})",
      a + "optional(" + a + "<contains itself>})}",
      "",  // the long chain: only the marker is counted
  };
  auto const loops = test_loops::Loops(100000);
  ASSERT_EQ(loops.size(), std::size(expected));
  for (std::size_t i = 0; i < loops.size(); ++i) {
    SCOPED_TRACE(loops[i].label);
    std::string const printed = ToDebugString(loops[i].root);
    EXPECT_EQ(Count(printed, "<contains itself>"), 1u);
    EXPECT_TRUE(expected[i].empty() || printed == expected[i]) << printed;
  }
  test_loops::Break(loops);
}

// Equality, printing and destruction of million-level trees, on the default stack. The
// chains are built in a loop.
TEST(DeepValueTest, MillionLevelChainsCompareAndPrint) {
  // A level around a value, and how a level prints.
  using Wrap = DataValuePtr (*)(DataValuePtr inner);
  std::tuple<Wrap, std::string> const cases[] = {
      {[](DataValuePtr inner) { return Opt(std::move(inner)); }, "optional("},
      {[](DataValuePtr inner) -> DataValuePtr { return Struct("n", {{"f", inner}}); }, "n{f: "},
      {[](DataValuePtr inner) { return List({inner}); }, "["}};
  for (auto const& [wrap, opening] : cases) {
    SCOPED_TRACE(opening);
    // The bottom of the last chain, kept to change it.
    std::shared_ptr<StructValue> bottom;
    DataValuePtr chains[2];
    for (DataValuePtr& chain : chains) {
      chain = bottom = Struct("leaf", {{"v", Int(7)}});
      for (int i = 0; i < kDeep; ++i) chain = wrap(std::move(chain));
    }
    EXPECT_TRUE(Equal(chains[0], chains[1]));

    std::string const printed = ToDebugString(chains[0]);
    EXPECT_EQ(printed.compare(0, 2 * opening.size(), opening + opening), 0);
    EXPECT_EQ(Count(printed, opening), static_cast<std::size_t>(kDeep));
    EXPECT_EQ(Count(printed, "7"), 1u);

    // A difference at the very bottom is found.
    bottom->SetField("v", Int(8));
    EXPECT_FALSE(Equal(chains[0], chains[1]));
  }
}

// Building, printing, comparing and destroying million-level chains run on the default stack;
// a chain one level longer is another type. Destroying the chains leaves the structure at
// their bottom, which they share, intact.
TEST(DeepDefinitionTest, MillionLevelChainsPrintCompareAndDestroy) {
  auto const wrap = [](int kind, DataDefinitionPtr const& inner) -> DataDefinitionPtr {
    if (kind == 0) return OptionalDefinition::GetInstance(inner);
    if (kind == 1) return ListDefinition::GetInstance(inner);
    return StructDefinition::GetInstance("n", {{"f", inner}});
  };
  std::string const openings[] = {"optional(", "list(", "n{f: "};
  DataDefinitionPtr const shared =
      StructDefinition::GetInstance("s", {{"f", DataDefinition::Create<SecretString>()}});
  std::string const bottom = ToDebugString(shared);
  for (int kind = 0; kind < 3; ++kind) {
    std::string const& opening = openings[kind];
    SCOPED_TRACE(opening);
    DataDefinitionPtr chains[2];
    for (DataDefinitionPtr& chain : chains) {
      chain = shared;
      for (int i = 0; i < kDeep; ++i) chain = wrap(kind, chain);
    }
    std::string const printed = ToDebugString(chains[0]);
    EXPECT_EQ(printed.compare(0, 2 * opening.size(), opening + opening), 0);
    EXPECT_EQ(Count(printed, opening), static_cast<std::size_t>(kDeep));
    EXPECT_EQ(Count(printed, "secret"), 1u);
    EXPECT_TRUE(Equal(chains[0], chains[1]));
    EXPECT_FALSE(Equal(chains[0], wrap(kind, chains[1])));
  }
  EXPECT_EQ(ToDebugString(shared), bottom);
}

DataDefinitionPtr NodeWith(DataType::Kind value, DataDefinitionPtr const& next) {
  return StructDefinition::GetInstance("node",
                                       {{"next", OptionalDefinition::GetInstance(next)},
                                        {"value", PrimitiveDefinition::GetInstance(value)}});
}

// A node whose "next" leads back to itself through a reference.
DataDefinitionPtr Node(DataType::Kind value) {
  auto reference = StructRefDefinition::GetInstance("node");
  auto node = NodeWith(value, reference);
  reference->SetTarget(std::static_pointer_cast<StructDefinition const>(node));
  return node;
}

TEST(DefinitionEqualTest, ComparesTheTypesDescribedWhateverTheirSpelling) {
  auto const string = [] { return DataDefinition::Create<std::string>(); };
  auto const tagged = [](char const* tag) {
    return UnionCaseDefinition::GetInstance(StructDefinition::GetInstance("c", {}), tag,
                                            [](std::string const&) { return true; });
  };
  auto const unbound = StructRefDefinition::GetInstance("gone");
  // What the row compares, the two definitions, and whether they are equal.
  std::tuple<char const*, DataDefinitionPtr, DataDefinitionPtr, bool> const rows[] = {
      {"two nulls", nullptr, nullptr, true},
      {"leaf kinds", string(), DataDefinition::Create<SecretString>(), false},
      {"same structure, made twice",
       StructDefinition::GetInstance("s", {{"f", ListDefinition::GetInstance(string())}}),
       StructDefinition::GetInstance("s", {{"f", ListDefinition::GetInstance(string())}}), true},
      {"structure names", StructDefinition::GetInstance("s", {}),
       StructDefinition::GetInstance("t", {}), false},
      {"error and structure of one name", ErrorDefinition::GetInstance("s", {}),
       StructDefinition::GetInstance("s", {}), false},
      {"field names", StructDefinition::GetInstance("s", {{"f", string()}}),
       StructDefinition::GetInstance("s", {{"g", string()}}), false},
      {"a field more", StructDefinition::GetInstance("s", {{"f", string()}}),
       StructDefinition::GetInstance("s", {{"f", string()}, {"g", string()}}), false},
      {"list and set", ListDefinition::GetInstance(string()),
       ListDefinition::GetSetInstance(string()), false},
      {"union-case tags", tagged("kind"), tagged("type"), false},
      {"union cases with one tag", tagged("kind"), tagged("kind"), true},
      // The same type with its first step spelled out: a node of the same name that holds the
      // recursive one.
      {"recursion, and its first step spelled out", Node(DataType::INTEGER),
       NodeWith(DataType::INTEGER, Node(DataType::INTEGER)), true},
      {"recursion that differs one level down", Node(DataType::INTEGER),
       NodeWith(DataType::INTEGER, Node(DataType::STRING)), false},
      {"unbound references of one name", unbound, StructRefDefinition::GetInstance("gone"), true},
      {"an unbound reference and its structure", unbound, StructDefinition::GetInstance("gone", {}),
       false},
  };
  for (auto const& [what, a, b, equal] : rows) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Equal(a, b), equal);
    EXPECT_EQ(Equal(b, a), equal);
  }
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
