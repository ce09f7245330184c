#include "tirn/data/value_to_native_adapter.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <utility>

#include <boost/optional/optional_io.hpp>

#include "tests/shapes.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/request_localizer.h"

namespace Tirn {
namespace Data {
namespace {

using Shapes::Address;
using Shapes::Color;
using Shapes::Empty;
using Shapes::Node;
using Shapes::Record;
using Shapes::Variant;
using Messages = std::list<BaseMessage>;
using Args = std::list<std::string>;

// ---- Building values ----------------------------------------------------------------------

DataValuePtr Str(std::string text) { return StringValue::GetInstance(std::move(text)); }
DataValuePtr Int(long long value) { return IntegerValue::GetInstance(value); }

DataValuePtr Opt(DataValuePtr content) {
  auto optional = OptionalValue::GetInstance();
  optional->value(std::move(content));
  return optional;
}

DataValuePtr List(std::initializer_list<DataValuePtr> elements) {
  auto list = ListValue::GetInstance(ListValue::LIST);
  for (auto const& element : elements) list->Append(element);
  return list;
}

std::shared_ptr<StructValue> Struct(
    std::string const& name, std::initializer_list<std::pair<std::string, DataValuePtr>> fields) {
  auto value = StructValue::GetInstance(name);
  for (auto const& field : fields) value->SetField(field.first, field.second);
  return value;
}

// A record value holding every required field, except those named in `without`.
std::shared_ptr<StructValue> RecordValue(std::set<std::string> const& without = {}) {
  std::pair<std::string, DataValuePtr> const fields[] = {
      {"id", Str("r")},
      {"count", Int(1)},
      {"enabled", BooleanValue::GetInstance(true)},
      {"key", SecretValue::GetInstance(SecretString("k"))},
      {"color", Str("RED")},
      {"tags", List({})},
      {"labels", List({})},
      {"address", Struct("test.shapes.address", {{"host", Str("h")}})}};
  auto value = StructValue::GetInstance("test.shapes.record");
  for (auto const& field : fields) {
    if (!without.count(field.first)) value->SetField(field.first, field.second);
  }
  return value;
}

// ---- Running the engines ------------------------------------------------------------------

template <class T>
bool FromValue(DataValuePtr const& value, T& native, Messages& messages) {
  return ValueToNativeAdapter::Adapt(value, ValueToNativeAdapter::AdaptMethod<T>::Get(&native),
                                     &native, messages);
}

// Converts `value`, expecting success without messages.
template <class T>
T FromValue(DataValuePtr const& value) {
  T native{};
  Messages messages;
  EXPECT_TRUE(FromValue(value, native, messages));
  for (auto const& message : messages) ADD_FAILURE() << message.id();
  return native;
}

// Converts `value`, expecting failure with exactly one message, which is returned.
template <class T>
BaseMessage FailureOf(DataValuePtr const& value, T& native) {
  Messages messages;
  EXPECT_FALSE(FromValue(value, native, messages));
  EXPECT_EQ(messages.size(), 1u);
  return messages.empty() ? BaseMessage("<none>", "", {}) : messages.front();
}

template <class T>
DataValuePtr ToValue(T const& native) {
  DataValuePtr value;
  Messages messages;
  EXPECT_TRUE(NativeToValueAdapter::Adapt(
      &native, NativeToValueAdapter::AdaptMethod<T>::Get(&native), &value, messages,
      L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer()));
  return value;
}

// ---- Comparing natives field by field -----------------------------------------------------

void ExpectSameUnknownFields(Tirn::Data::BaseNative const& a, Tirn::Data::BaseNative const& b) {
  EXPECT_EQ(static_cast<bool>(a.unknownFields), static_cast<bool>(b.unknownFields));
  EXPECT_TRUE(EqualUnknownFields(a, b))
      << ToDebugString(a.unknownFields) << " vs " << ToDebugString(b.unknownFields);
}

void ExpectSameAddress(Address const* a, Address const* b) {
  ASSERT_EQ(a == nullptr, b == nullptr);
  if (!a) return;
  EXPECT_EQ(a->host, b->host);
  EXPECT_EQ(a->port, b->port);
  ExpectSameUnknownFields(*a, *b);
}

void ExpectSameRecord(Record const* a, Record const* b) {
  ASSERT_EQ(a == nullptr, b == nullptr);
  if (!a) return;
  EXPECT_EQ(a->id, b->id);
  EXPECT_EQ(a->count, b->count);
  EXPECT_EQ(a->enabled, b->enabled);
  EXPECT_EQ(a->key, b->key);
  EXPECT_EQ(a->color, b->color);
  EXPECT_EQ(a->tags, b->tags);
  EXPECT_EQ(a->labels, b->labels);
  EXPECT_TRUE(a->colors == b->colors);
  ExpectSameAddress(a->address.get(), b->address.get());
  ExpectSameAddress(a->backup.get(), b->backup.get());
  ASSERT_EQ(a->mirrors.has_value(), b->mirrors.has_value());
  if (a->mirrors) {
    ASSERT_EQ(a->mirrors->size(), b->mirrors->size());
    auto bi = b->mirrors->begin();
    for (auto const& mirror : *a->mirrors) ExpectSameAddress(mirror.get(), (bi++)->get());
  }
  EXPECT_EQ(a->note, b->note);
  ExpectSameUnknownFields(*a, *b);
}

// Small trees only.
void ExpectSameNode(Node const* a, Node const* b) {
  ASSERT_EQ(a == nullptr, b == nullptr);
  if (!a) return;
  EXPECT_EQ(a->name, b->name);
  ExpectSameNode(a->next.get(), b->next.get());
  ASSERT_EQ(a->children.size(), b->children.size());
  auto bi = b->children.begin();
  for (auto const& child : a->children) ExpectSameNode(child.get(), (bi++)->get());
  ExpectSameUnknownFields(*a, *b);
}

std::shared_ptr<StructValue> Extras(std::initializer_list<std::pair<std::string, DataValuePtr>> f) {
  auto extras = StructValue::GetInstance("unknownFields");
  for (auto const& field : f) extras->SetField(field.first, field.second);
  return extras;
}

std::shared_ptr<Address> MakeAddress(std::string host, boost::optional<long long> port) {
  auto address = std::make_shared<Address>();
  address->host = std::move(host);
  address->port = port;
  return address;
}

Record FullRecord() {
  Record record;
  record.id = "r1";
  record.count = -7;
  record.enabled = true;
  record.key = SecretString("s3cret");
  record.color = Color(Color::_UNKNOWN, "PURPLE");
  record.tags = {"b", "a", "b"};
  record.labels = {"x", "y"};
  record.colors = std::set<Color>{Color::RED, Color(Color::_UNKNOWN, "BLUE")};
  auto address = MakeAddress("main", 443);
  address->unknownFields = Extras({{"zone", Str("eu")}});
  record.address = address;
  auto backup = MakeAddress("backup", boost::none);
  backup->unknownFields = Extras({{"weight", Int(3)}, {"aaa", List({Str("deep")})}});
  record.backup = backup;
  auto mirror = MakeAddress("m1", 0);
  mirror->unknownFields =
      Extras({{"nested", Struct("x.y", {{"inner", Opt(Str("kept"))}})}, {"zz", Str("")}});
  record.mirrors = std::list<std::shared_ptr<Address const>>{mirror, MakeAddress("m2", 1)};
  record.note = std::string();  // set, but empty
  record.unknownFields = Extras({{"a_first", Int(1)}, {"zz_last", Opt(nullptr)}});
  return record;
}

// ---- Tests --------------------------------------------------------------------------------

TEST(ValueToNativeAdapter, RoundTripsEveryShape) {
  {
    SCOPED_TRACE("record");
    Record const record = FullRecord();
    Record back = FromValue<Record>(ToValue(record));
    ExpectSameRecord(&record, &back);
    EXPECT_EQ(back.color.unknownValue(), "PURPLE");
    // A structure received without extra fields stores none.
    EXPECT_EQ(back.mirrors->back()->unknownFields, nullptr);
  }
  {
    SCOPED_TRACE("record, defaults");
    Record record;
    record.address = std::make_shared<Address>();
    Record back = FromValue<Record>(ToValue(record));
    ExpectSameRecord(&record, &back);
    EXPECT_EQ(back.unknownFields, nullptr);
  }
  for (Color kind : {Color(Color::RED), Color(Color::GREEN), Color(Color::_UNKNOWN, "BLUE")}) {
    SCOPED_TRACE("variant " + ToDebugString(ToValue(kind)));
    Variant variant;
    variant.kind = kind;
    // The value engines leave the union to validation: a case for another tag is kept.
    variant.red_case = MakeAddress("r", 1);
    Variant back = FromValue<Variant>(ToValue(variant));
    EXPECT_EQ(back.kind, variant.kind);
    ExpectSameAddress(variant.red_case.get(), back.red_case.get());
  }
  {
    SCOPED_TRACE("node");
    Node root;
    root.name = "root";
    auto next = std::make_shared<Node>();
    next->name = "n1";
    auto grandchild = std::make_shared<Node>();
    grandchild->name = "g";
    grandchild->unknownFields = Extras({{"depth", Int(3)}});
    next->children = {grandchild};
    root.next = next;
    auto first = std::make_shared<Node>();
    first->name = "c0";
    auto second = std::make_shared<Node>();
    second->next = std::make_shared<Node>();
    root.children = {first, second};
    Node back = FromValue<Node>(ToValue(root));
    ExpectSameNode(&root, &back);
  }
  {
    SCOPED_TRACE("operation input");
    Shapes::Input input;
    input.target = "t";
    input.spec = MakeAddress("s", 9);
    input.filter = std::make_shared<Record>(FullRecord());
    Shapes::Input back = FromValue<Shapes::Input>(ToValue(input));
    EXPECT_EQ(back.opaque, nullptr);
    EXPECT_EQ(back.target, input.target);
    ExpectSameAddress(input.spec.get(), back.spec.get());
    ExpectSameRecord(input.filter.get(), back.filter.get());
  }
  {
    SCOPED_TRACE("empty");
    Empty empty;
    EXPECT_EQ(FromValue<Empty>(ToValue(empty)).unknownFields, nullptr);
    empty.unknownFields = Extras({{"only", Str("one")}});
    Empty back = FromValue<Empty>(ToValue(empty));
    ExpectSameUnknownFields(empty, back);
  }
}

TEST(ValueToNativeAdapter, UnknownFieldsShareTheReceivedValues) {
  DataValuePtr zone = Struct("z", {{"name", Str("eu")}});
  auto value = Struct("test.shapes.address", {{"host", Str("h")}, {"zone", zone}});
  Address address = FromValue<Address>(value);
  ASSERT_NE(address.unknownFields, nullptr);
  EXPECT_EQ(address.unknownFields->fields().size(), 1u);
  ASSERT_NE(address.unknownFields->FindField("zone"), nullptr);
  EXPECT_EQ(*address.unknownFields->FindField("zone"), zone);
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
  EXPECT_EQ(input.target, "t");
  EXPECT_EQ(input.opaque, nullptr);
  ASSERT_NE(input.filter, nullptr);
  ASSERT_NE(input.filter->unknownFields, nullptr);
  EXPECT_EQ(input.filter->unknownFields->fields().size(), 1u);
}

TEST(ValueToNativeAdapter, OptionalsArriveBareWrappedOrAsEmptyString) {
  struct PortCase {
    char const* what;
    DataValuePtr port;  // null: the field is absent
    boost::optional<long long> expected;
  };
  PortCase const ports[] = {
      {"absent", nullptr, boost::none},
      {"bare integer", Int(5), 5LL},
      {"wrapped integer", Opt(Int(5)), 5LL},
      {"empty optional", OptionalValue::GetInstance(), boost::none},
      {"empty string", Str(""), boost::none},
      {"decimal string", Str("8443"), 8443LL},
      {"wrapped decimal string", Opt(Str("-12")), -12LL},
  };
  for (auto const& c : ports) {
    SCOPED_TRACE(c.what);
    auto value = Struct("test.shapes.address", {{"host", Str("h")}});
    if (c.port) value->SetField("port", c.port);
    Address address = FromValue<Address>(value);
    EXPECT_EQ(address.host, "h");
    EXPECT_EQ(address.port, c.expected);
  }

  struct NoteCase {
    char const* what;
    DataValuePtr note;
    boost::optional<std::string> expected;
  };
  NoteCase const notes[] = {
      {"empty string", Str(""), boost::none},
      {"optional holding an empty string", Opt(Str("")), std::string()},
      {"bare string", Str("n"), std::string("n")},
      {"wrapped string", Opt(Str("n")), std::string("n")},
  };
  for (auto const& c : notes) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("note", c.note);
    EXPECT_EQ(FromValue<Record>(value).note, c.expected);
  }

  struct BackupCase {
    char const* what;
    DataValuePtr backup;
    char const* host;  // null: unset
  };
  BackupCase const backups[] = {
      {"empty string", Str(""), nullptr},
      {"empty optional", OptionalValue::GetInstance(), nullptr},
      {"optional holding an empty string", Opt(Str("")), ""},
      {"bare structure", Struct("a", {{"host", Str("b")}}), "b"},
  };
  for (auto const& c : backups) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("backup", c.backup);
    Record record = FromValue<Record>(value);
    if (!c.host) {
      EXPECT_EQ(record.backup, nullptr);
    } else {
      ASSERT_NE(record.backup, nullptr);
      EXPECT_EQ(record.backup->host, c.host);
    }
  }

  // A present optional structure is checked like any other.
  auto value = RecordValue();
  value->SetField("backup", Opt(DynamicStructValue::GetInstance("d")));
  Record record;
  BaseMessage const message = FailureOf(value, record);
  EXPECT_EQ(message.id(), MessageIds::kFieldMissing);
  EXPECT_EQ(message.args(), (Args{"host", "d"}));
}

TEST(ValueToNativeAdapter, PrimitivesAreReadOrParsed) {
  EXPECT_EQ(FromValue<long long>(Int(-7)), -7);
  EXPECT_EQ(FromValue<long long>(Str("42")), 42);
  EXPECT_TRUE(FromValue<bool>(Str("true")));
  EXPECT_FALSE(FromValue<bool>(BooleanValue::GetInstance(false)));
  EXPECT_EQ(FromValue<SecretString>(Str("plain")), SecretString("plain"));

  struct Failure {
    char const* what;
    DataValuePtr value;
    char const* id;
    Args args;
  };
  Failure const failures[] = {
      {"empty string", Str(""), MessageIds::kParseFailed, {"", "integer"}},
      {"boolean", BooleanValue::GetInstance(true), MessageIds::kWrongKind, {"integer", "boolean"}},
      {"optional", Opt(Int(1)), MessageIds::kWrongKind, {"integer", "optional"}},
      {"null", nullptr, MessageIds::kWrongKind, {"integer", "null"}},
  };
  for (auto const& c : failures) {
    SCOPED_TRACE(c.what);
    long long out = 99;
    BaseMessage const message = FailureOf(c.value, out);
    EXPECT_EQ(message.id(), c.id);
    EXPECT_EQ(message.args(), c.args);
  }
}

// The failing member is converted first (members run last to first); nothing is converted
// after it.
TEST(ValueToNativeAdapter, UnparsableIntegerStopsTheRun) {
  Address address;
  BaseMessage const message =
      FailureOf(Struct("test.shapes.address", {{"host", Str("h")}, {"port", Str("x8")}}), address);
  EXPECT_EQ(message.id(), MessageIds::kParseFailed);
  EXPECT_EQ(message.args(), (Args{"x8", "integer"}));
  EXPECT_EQ(address.host, "");
}

TEST(ValueToNativeAdapter, ListsFromListsOrStrings) {
  struct Case {
    char const* what;
    DataValuePtr tags;
    std::list<std::string> expected;
  };
  Case const accepted[] = {
      {"list", List({Str("x"), Str("y"), Str("x")}), {"x", "y", "x"}},
      {"empty list", List({}), {}},
      {"non-empty string", Str("only"), {"only"}},
      {"empty string", Str(""), {}},
  };
  for (auto const& c : accepted) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("tags", c.tags);
    Record record;
    record.tags = {"stale"};  // replaced, not appended to
    Messages messages;
    EXPECT_TRUE(FromValue(value, record, messages));
    EXPECT_EQ(record.tags, c.expected);
  }

  struct Failure {
    char const* what;
    DataValuePtr tags;
    char const* id;
    Args args;
  };
  Failure const failures[] = {
      {"integer", Int(3), MessageIds::kInvalidType, {}},
      {"optional", Opt(List({})), MessageIds::kInvalidType, {}},
      {"structure", Struct("s", {}), MessageIds::kInvalidType, {}},
      {"element of another kind",
       List({Str("a"), Int(1)}),
       MessageIds::kWrongKind,
       {"string", "integer"}},
  };
  for (auto const& c : failures) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("tags", c.tags);
    Record record;
    BaseMessage const message = FailureOf(value, record);
    EXPECT_EQ(message.id(), c.id);
    EXPECT_EQ(message.args(), c.args);
  }
}

TEST(ValueToNativeAdapter, SetsCollapseDuplicates) {
  struct Case {
    char const* what;
    DataValuePtr labels;
    std::set<std::string> expected;
  };
  Case const labels[] = {
      {"list with a duplicate", List({Str("a"), Str("b"), Str("a")}), {"a", "b"}},
      {"non-empty string", Str("z"), {"z"}},
      {"empty string", Str(""), {}},
  };
  for (auto const& c : labels) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("labels", c.labels);
    Record record;
    record.labels = {"stale"};
    Messages messages;
    EXPECT_TRUE(FromValue(value, record, messages));
    EXPECT_EQ(record.labels, c.expected);
  }

  struct ColorCase {
    char const* what;
    DataValuePtr colors;
    std::set<Color> expected;
  };
  ColorCase const colors[] = {
      {"list",
       Opt(List({Str("GREEN"), Str("BLUE"), Str("GREEN"), Str("BLUE")})),
       {Color::GREEN, Color(Color::_UNKNOWN, "BLUE")}},
      {"bare string", Str("RED"), {Color::RED}},
      {"wrapped string", Opt(Str("_UNKNOWN")), {Color()}},
  };
  for (auto const& c : colors) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("colors", c.colors);
    EXPECT_TRUE(FromValue<Record>(value).colors == c.expected);
  }

  struct Failure {
    char const* what;
    char const* field;
    DataValuePtr value;
    char const* id;
    Args args;
  };
  Failure const failures[] = {
      {"integer for a set", "labels", Int(1), MessageIds::kInvalidType, {}},
      {"bad string element",
       "labels",
       List({Str("a"), Int(5)}),
       MessageIds::kWrongKind,
       {"string", "integer"}},
      {"bad enumeration element",
       "colors",
       List({Str("RED"), BooleanValue::GetInstance(true)}),
       MessageIds::kWrongKind,
       {"string", "boolean"}},
  };
  for (auto const& c : failures) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField(c.field, c.value);
    value->SetField("id", Str("untouched"));
    Record record;
    BaseMessage const message = FailureOf(value, record);
    EXPECT_EQ(message.id(), c.id);
    EXPECT_EQ(message.args(), c.args);
    EXPECT_EQ(record.id, "");
  }
}

TEST(ValueToNativeAdapter, StructurePositions) {
  struct Failure {
    char const* what;
    DataValuePtr address;
    char const* id;
    Args args;
  };
  Failure const failures[] = {
      {"non-empty string", Str("abc"), MessageIds::kBadCast, {"abc"}},
      {"integer", Int(1), MessageIds::kInvalidType, {}},
      {"list", List({}), MessageIds::kInvalidType, {}},
      {"optional", Opt(Struct("a", {{"host", Str("h")}})), MessageIds::kInvalidType, {}},
      {"null", nullptr, MessageIds::kInvalidType, {}},
  };
  for (auto const& c : failures) {
    SCOPED_TRACE(c.what);
    auto value = RecordValue();
    value->SetField("address", c.address);
    Record record;
    BaseMessage const message = FailureOf(value, record);
    EXPECT_EQ(message.id(), c.id);
    EXPECT_EQ(message.args(), c.args);
  }

  // Any compound value is read as a structure.
  std::shared_ptr<CompoundValue> compounds[] = {DynamicStructValue::GetInstance("d"),
                                                ErrorValue::GetInstance("e")};
  for (auto const& compound : compounds) {
    SCOPED_TRACE(compound->name());
    compound->SetField("host", Str("from " + compound->name()));
    auto value = RecordValue();
    value->SetField("address", compound);
    Record record = FromValue<Record>(value);
    ASSERT_NE(record.address, nullptr);
    EXPECT_EQ(record.address->host, "from " + compound->name());
  }

  {
    SCOPED_TRACE("empty string at the root");
    Record record = FromValue<Record>(Str(""));
    ASSERT_NE(record.address, nullptr);
    EXPECT_EQ(record.address->host, "");
    EXPECT_EQ(record.address->port, boost::none);
    EXPECT_EQ(record.color, Color());
    EXPECT_EQ(record.backup, nullptr);
    EXPECT_FALSE(record.mirrors.has_value());
    EXPECT_EQ(record.unknownFields, nullptr);

    Variant variant = FromValue<Variant>(Str(""));
    EXPECT_EQ(variant.kind, Color());
    EXPECT_EQ(variant.red_case, nullptr);
  }
  {
    SCOPED_TRACE("empty string in a member");
    auto value = RecordValue();
    value->SetField("address", Str(""));
    Record record = FromValue<Record>(value);
    ASSERT_NE(record.address, nullptr);
    EXPECT_EQ(record.address->host, "");
  }
  {
    SCOPED_TRACE("string at the root");
    Node node;
    BaseMessage const message = FailureOf(Str("abc"), node);
    EXPECT_EQ(message.id(), MessageIds::kBadCast);
    EXPECT_EQ(message.args(), Args{"abc"});
  }
}

TEST(ValueToNativeAdapter, MissingRequiredFieldConvertsNothing) {
  for (char const* field :
       {"id", "count", "enabled", "key", "color", "tags", "labels", "address"}) {
    SCOPED_TRACE(field);
    auto value = RecordValue({field});
    value->SetField("note", Str("n"));
    value->SetField("backup", Struct("a", {{"host", Str("b")}}));
    value->SetField("extra", Str("x"));
    if (std::string(field) != "tags") value->SetField("tags", Str("t"));
    Record record;
    BaseMessage const message = FailureOf(value, record);
    EXPECT_EQ(message.id(), MessageIds::kFieldMissing);
    EXPECT_EQ(message.args(), (Args{field, "test.shapes.record"}));
    EXPECT_EQ(record.id, "");
    EXPECT_TRUE(record.tags.empty());
    EXPECT_EQ(record.address, nullptr);
    EXPECT_EQ(record.backup, nullptr);
    EXPECT_EQ(record.note, boost::none);
    EXPECT_EQ(record.unknownFields, nullptr);
  }
}

TEST(ValueToNativeAdapter, OrderOfChecks) {
  {
    SCOPED_TRACE("the first missing field in declaration order");
    auto value = RecordValue({"labels", "enabled"});
    Record record;
    EXPECT_EQ(FailureOf(value, record).args(), (Args{"enabled", "test.shapes.record"}));
  }
  {
    SCOPED_TRACE("presence before values");
    auto value = RecordValue({"labels"});
    value->SetField("count", Str("x8"));
    Record record;
    EXPECT_EQ(FailureOf(value, record).id(), MessageIds::kFieldMissing);
  }
  {
    SCOPED_TRACE("values from the last member to the first");
    auto value = RecordValue();
    value->SetField("count", Str("x8"));
    value->SetField("tags", Int(3));
    value->SetField("note", Str("converted"));
    Record record;
    BaseMessage const message = FailureOf(value, record);
    EXPECT_EQ(message.id(), MessageIds::kInvalidType);
    EXPECT_EQ(record.note, std::string("converted"));  // declared after tags
    EXPECT_EQ(record.count, 0);
    EXPECT_EQ(record.id, "");
  }
  {
    SCOPED_TRACE("a nested structure is finished before its earlier siblings");
    auto value = RecordValue();
    value->SetField("count", Str("x8"));
    value->SetField("address", Struct("a", {{"host", Str("h")}, {"port", Str("y9")}}));
    Record record;
    BaseMessage const message = FailureOf(value, record);
    EXPECT_EQ(message.args(), (Args{"y9", "integer"}));
  }
}

TEST(ValueToNativeAdapter, Enumerations) {
  struct Case {
    char const* wire;
    Color expected;
  };
  Case const cases[] = {
      {"RED", Color::RED},
      {"GREEN", Color::GREEN},
      {"_UNKNOWN", Color()},
      {"BLUE", Color(Color::_UNKNOWN, "BLUE")},
      {"red", Color(Color::_UNKNOWN, "red")},
      {"", Color()},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.wire);
    Color const color = FromValue<Color>(Str(c.wire));
    EXPECT_EQ(color.value(), c.expected.value());
    EXPECT_EQ(color.unknownValue(), c.expected.unknownValue());
  }

  {
    SCOPED_TRACE("a member");
    auto value = RecordValue();
    value->SetField("color", Str("FUTURE"));
    EXPECT_EQ(FromValue<Record>(value).color, Color(Color::_UNKNOWN, "FUTURE"));
  }

  DataValuePtr const wrongKinds[] = {Int(0), Opt(Str("RED")), nullptr};
  for (auto const& wrong : wrongKinds) {
    SCOPED_TRACE(ToDebugString(wrong));
    Color color;
    BaseMessage const message = FailureOf(wrong, color);
    EXPECT_EQ(message.id(), MessageIds::kWrongKind);
    EXPECT_EQ(message.args().front(), "string");
  }
}

TEST(ValueToNativeAdapter, EarlierMessagesDoNotMakeARunFail) {
  Messages messages{BaseMessage("earlier", "kept", {})};
  Address address;
  EXPECT_TRUE(FromValue(Struct("a", {{"host", Str("h")}}), address, messages));
  EXPECT_EQ(address.host, "h");
  EXPECT_EQ(messages.size(), 1u);

  // A set of enumerations converts its elements by runs of their own.
  auto value = RecordValue();
  value->SetField("colors", List({Str("RED")}));
  Record record;
  EXPECT_TRUE(FromValue(value, record, messages));
  EXPECT_TRUE(record.colors == (std::set<Color>{Color::RED}));

  EXPECT_FALSE(FromValue(Str("abc"), address, messages));
  EXPECT_EQ(messages.size(), 2u);
}

// A million-level value chain converts without exhausting the stack.
TEST(ValueToNativeAdapter, MillionLevelChain) {
  constexpr int kDepth = 1000000;
  DataValuePtr chain = Struct("n", {{"name", Str("bottom")}, {"children", Str("")}});
  for (int i = 1; i < kDepth; ++i) {
    chain =
        Struct("n", {{"name", Str("")}, {"next", Opt(std::move(chain))}, {"children", List({})}});
  }

  Node head = FromValue<Node>(chain);
  chain.reset();
  int depth = 1;
  Node const* at = &head;
  while (at->next) {
    at = at->next.get();
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(at->name, "bottom");

  // The native chain is ours: take it apart without recursion.
  std::shared_ptr<Node const> rest = head.next.shared();
  head.next.reset();
  while (rest) {
    std::shared_ptr<Node const> next = rest->next.shared();
    const_cast<Node&>(*rest).next.reset();
    rest = std::move(next);
  }
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
