#include "tirn/json/definition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "tirn/runtime/value/equal.h"

namespace {

using Tirn::BaseMessage;
using Tirn::Data::DataDefinition;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataType;
using Tirn::Data::DefinitionAnnotations;
using Tirn::Data::ErrorDefinition;
using Tirn::Data::ListDefinition;
using Tirn::Data::OptionalDefinition;
using Tirn::Data::PrimitiveDefinition;
using Tirn::Data::StructDefinition;
using Tirn::Data::StructRefDefinition;
using Tirn::Data::UnionCaseDefinition;
using Messages = std::list<BaseMessage>;
namespace Ids = Tirn::Json::MessageIds;

DataDefinitionPtr String() { return DataDefinition::Create<std::string>(); }
DataDefinitionPtr Integer() { return DataDefinition::Create<long long>(); }
DataDefinitionPtr Optional(DataDefinitionPtr e) { return OptionalDefinition::GetInstance(e); }
DataDefinitionPtr List(DataDefinitionPtr e) { return ListDefinition::GetInstance(e); }
DataDefinitionPtr Set(DataDefinitionPtr e) { return ListDefinition::GetSetInstance(e); }

std::shared_ptr<StructDefinition const> Struct(std::string const& name,
                                               DataDefinition::FieldMap const& fields) {
  return StructDefinition::GetInstance(name, fields);
}

// A structure whose fields refer to it (`fields` gets the reference).
std::shared_ptr<StructDefinition const> Recursive(
    std::string const& name,
    std::function<DataDefinition::FieldMap(DataDefinitionPtr const&)> const& fields) {
  auto reference = StructRefDefinition::GetInstance(name);
  auto structure = Struct(name, fields(reference));
  reference->SetTarget(structure);
  return structure;
}

DataDefinitionPtr BookCase(std::vector<std::string> const& values) {
  return UnionCaseDefinition::GetInstance(
      Struct("t.book", {{"pages", Integer()}}), "kind",
      [values](std::string const& tag) -> boost::logic::tribool {
        return std::find(values.begin(), values.end(), tag) != values.end();
      });
}

std::string Encoded(DataDefinitionPtr const& definition, DefinitionAnnotations const& annotations) {
  std::string text;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::EncodeDefinition(definition, annotations, &text, messages));
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  return text;
}

struct Decoded {
  DataDefinitionPtr definition;
  DefinitionAnnotations annotations;
};

Decoded Decode(std::string const& text, Tirn::Json::DefinitionDecodeOptions const& options = {}) {
  Decoded decoded;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::DecodeDefinition(text, &decoded.definition, &decoded.annotations,
                                           messages, options));
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  return decoded;
}

// Whether `text` reads through `definition` (and so passes its validation).
bool Admits(DataDefinitionPtr const& definition, std::string const& text) {
  Tirn::Data::DataValuePtr value;
  Messages messages;
  return Tirn::Json::Decode(text, definition, &value, messages);
}

TEST(DefinitionJson, TreesAndTheirAnnotationsReadBackEqual) {
  struct Case {
    char const* what;
    DataDefinitionPtr definition;
    DefinitionAnnotations annotations;
    std::vector<char const*> parts;  // of the text
  };
  std::vector<Case> cases;
  cases.push_back({"every leaf kind and wrapper",
                   Struct("t.all", {{"void", DataDefinition::Create<Tirn::Void>()},
                                    {"integer", Integer()},
                                    {"double", DataDefinition::Create<double>()},
                                    {"boolean", DataDefinition::Create<bool>()},
                                    {"blob", PrimitiveDefinition::GetInstance(DataType::BLOB)},
                                    {"secret", DataDefinition::Create<Tirn::SecretString>()},
                                    {"dynamic", PrimitiveDefinition::GetInstance(
                                                    DataType::DYNAMIC_STRUCTURE)},
                                    {"list", List(Integer())},
                                    {"set", Set(String())},
                                    {"nested", Optional(List(Optional(String())))}}),
                   {},
                   {R"("set":{"element":{"kind":"string"},"kind":"set"})",
                    R"("dynamic":{"kind":"dynamic_structure"})"}});
  cases.push_back({"a structure that holds itself",
                   Recursive("t.node",
                             [](DataDefinitionPtr const& self) -> DataDefinition::FieldMap {
                               return {{"children", List(self)}, {"name", String()}};
                             }),
                   {},
                   {R"("children":{"element":{"kind":"structure","name":"t.node"},"kind":"list"})"}});
  {
    // As the runtime builds it when it meets b first: c, built inside b, refers to b, and the
    // root shares that c, so the reference sits where b is no ancestor.
    auto b = Recursive("t.b", [](DataDefinitionPtr const& self) -> DataDefinition::FieldMap {
      return {{"c", Struct("t.c", {{"b", Optional(self)}})}};
    });
    cases.push_back({"a reference shared away from its structure",
                     Struct("t.a", {{"b", b}, {"c", b->fields().at("c")}}), {}, {}});
  }
  {
    DefinitionAnnotations annotations;
    auto& item = annotations.structures["t.item"];
    item.description = "An item.\n\nIts \"second\" paragraph.";
    item.fieldDescriptions["kinds"] = "What it is.";
    item.fieldDescriptions["book"] = "Its book.";
    item.enumerations["kind"] = {"GAME", "BOOK"};
    item.enumerations["kinds"] = {"BOOK", "GAME"};
    item.enumerationDescriptions["kinds"] = {{"GAME", "One to play."}};
    item.unionCases["book"] = {"kind", {"BOOK"}};
    cases.push_back({"enumerations, a union case, and descriptions of all three",
                     Struct("t.item", {{"kind", String()},
                                       {"kinds", Optional(Set(String()))},
                                       {"book", BookCase({"BOOK"})},
                                       {"count", Integer()}}),
                     annotations,
                     {R"("description":"An item.\n\nIts \"second\" paragraph.","fields")",
                      R"("kind":{"enumeration":["GAME","BOOK"],"kind":"string"})",
                      R"("kind":"union_case","tag":"kind","values":["BOOK"])",
                      R"("kinds":{"description":"What it is.","element":{"element":)",
                      R"("book":{"description":"Its book.","element")",
                      R"("enumeration":["BOOK","GAME"],"enumeration_descriptions":{"GAME":"One to play."})",
                      R"("count":{"kind":"integer"})"}});
  }
  cases.push_back({"an error whose messages share a structure",
                   ErrorDefinition::GetInstance(
                       "t.failed", {{"messages", List(Struct("t.message", {{"id", String()}}))}}),
                   {},
                   {R"("type":{"kind":"error","name":"t.failed"})"}});

  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    std::string const text = Encoded(c.definition, c.annotations);
    for (char const* part : c.parts) EXPECT_NE(text.find(part), std::string::npos) << text;
    Decoded const back = Decode(text);
    EXPECT_TRUE(Tirn::Data::Equal(c.definition, back.definition))
        << Tirn::Data::ToDebugString(back.definition);
    EXPECT_EQ(back.annotations, c.annotations);
    // Written again, the tree read back gives the same text.
    EXPECT_EQ(Encoded(back.definition, back.annotations), text);
  }
}

TEST(DefinitionJson, AUnionCaseReadBackIsPresentForItsValuesOnly) {
  DefinitionAnnotations annotations;
  annotations.structures["t.item"].unionCases["book"] = {"kind", {"BOOK", "COMIC"}};
  DataDefinitionPtr const original =
      Struct("t.item", {{"kind", String()}, {"book", BookCase({"BOOK", "COMIC"})}});
  DataDefinitionPtr const read = Decode(Encoded(original, annotations)).definition;
  // Without values the case's rule is unknown: the field is left free.
  DataDefinitionPtr const free = Decode(Encoded(original, {})).definition;
  // A value as JSON, and whether the original admits it.
  std::pair<char const*, bool> const rows[] = {
      {R"({"kind":"BOOK","book":{"pages":3}})", true},
      {R"({"kind":"COMIC","book":{"pages":3}})", true},
      {R"({"kind":"BOOK"})", false},
      {R"({"kind":"GAME","book":{"pages":3}})", false},
      {R"({"kind":"GAME"})", true},
  };
  for (auto const& [text, admitted] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Admits(original, text), admitted);
    EXPECT_EQ(Admits(read, text), admitted);
    EXPECT_TRUE(Admits(free, text));
  }
}

// A definition document: the type `type` beside the structure table `structures`.
std::string Document(std::string const& type, std::string const& structures = "{}") {
  return R"({"type":)" + type + R"(,"structures":)" + structures + "}";
}

// A document whose string type comes with one structure "s" of `members` beside its kind.
std::string WithStructure(std::string const& members) {
  return Document(R"({"kind":"string"})", R"({"s":{"kind":"structure")" + members + "}}");
}

TEST(DefinitionJson, HostileTextsAreRefusedWithMessages) {
  std::string deepWrappers;
  for (int i = 0; i < 100000; ++i) deepWrappers += R"({"kind":"optional","element":)";
  deepWrappers = R"({"structures":{},"type":)" + deepWrappers + R"({"kind":"string"})" +
                 std::string(100000, '}') + "}";
  std::string wide;
  for (int i = 0; i < 50; ++i) {
    wide += (i ? ",\"f" : "\"f") + std::to_string(i) + R"(":{"kind":"string"})";
  }
  wide = Document(R"({"kind":"structure","name":"w"})",
                  R"({"w":{"kind":"structure","fields":{)" + wide + "}}}");
  Tirn::Json::DefinitionDecodeOptions few;
  few.maxDefinitions = 20;
  struct Row {
    char const* what;
    std::string text;
    char const* id;
    char const* path;
    Tirn::Json::DefinitionDecodeOptions options = {};
  } const rows[] = {
      {"not JSON", "{", Ids::kSyntax, "<root>"},
      {"a hundred thousand wrappers", deepWrappers, Ids::kTooDeep, "type.element.element"},
      {"a million arrays", std::string(1000000, '['), Ids::kTooDeep, ""},
      {"no object", "[]", Ids::kDefinitionShape, "<root>"},
      {"no type", R"({"structures":{}})", Ids::kDefinitionShape, "<root>"},
      {"a table that is no object", Document(R"({"kind":"string"})", "[]"),
       Ids::kDefinitionShape, "structures"},
      {"an unknown kind", Document(R"({"kind":"map","element":{"kind":"string"}})"),
       Ids::kDefinitionUnknownKind, "type"},
      {"an unknown kind in a field",
       WithStructure(R"(,"fields":{"f":{"kind":"list","element":{"kind":"tuple"}}})"),
       Ids::kDefinitionUnknownKind, "structures.s.fields.f.element"},
      {"a kind that is no string", Document(R"({"kind":5})"), Ids::kDefinitionShape, "type"},
      {"a reference to a missing structure", Document(R"({"kind":"structure","name":"nowhere"})"),
       Ids::kDefinitionUnknownStructure, "type"},
      {"a field naming a missing structure",
       WithStructure(
           R"(,"fields":{"f":{"kind":"optional","element":{"kind":"structure","name":"gone"}}})"),
       Ids::kDefinitionUnknownStructure, "structures.s.fields.f.element"},
      {"an error named as a structure",
       Document(R"({"kind":"structure","name":"e"})", R"({"e":{"kind":"error","fields":{}}})"),
       Ids::kDefinitionShape, "type"},
      {"a wrapper without its element", Document(R"({"kind":"set"})"), Ids::kDefinitionShape,
       "type"},
      {"a union case without its tag",
       Document(R"({"kind":"union_case","element":{"kind":"string"}})"), Ids::kDefinitionShape,
       "type"},
      {"names that are no strings", Document(R"({"kind":"string","enumeration":["A",1]})"),
       Ids::kDefinitionShape, "type"},
      {"a structure without fields", WithStructure(""), Ids::kDefinitionShape, "structures.s"},
      {"a structure's description that is no string",
       WithStructure(R"(,"description":1,"fields":{})"), Ids::kDefinitionShape, "structures.s"},
      {"a field's description that is no string",
       WithStructure(R"(,"fields":{"f":{"kind":"string","description":["x"]}})"),
       Ids::kDefinitionShape, "structures.s.fields.f"},
      {"meanings that are no strings",
       Document(R"({"kind":"string","enumeration":["A"],"enumeration_descriptions":{"A":1}})"),
       Ids::kDefinitionShape, "type"},
      {"the meaning of a name the enumeration does not list",
       Document(R"({"kind":"string","enumeration":["A"],"enumeration_descriptions":{"B":"b"}})"),
       Ids::kDefinitionShape, "type"},
      {"meanings without names",
       Document(R"({"kind":"string","enumeration_descriptions":{"A":"a"}})"),
       Ids::kDefinitionShape, "type"},
      {"more definitions than allowed", wide, Ids::kDefinitionTooLarge, "type", few},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    DataDefinitionPtr out = String();
    DataDefinitionPtr const before = out;
    DefinitionAnnotations annotations;
    annotations.structures["kept"].enumerations["f"] = {"A"};
    Messages messages;
    EXPECT_FALSE(Tirn::Json::DecodeDefinition(row.text, &out, &annotations, messages, row.options));
    EXPECT_EQ(out, before);
    EXPECT_EQ(annotations.structures.count("kept"), 1u);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().id(), row.id) << messages.front().defaultMessage();
    ASSERT_FALSE(messages.front().args().empty());
    EXPECT_EQ(messages.front().args().front().rfind(row.path, 0), 0u)
        << messages.front().defaultMessage();
  }
}

TEST(DefinitionJson, WritingRefusesWhatTheFormCannotSay) {
  // The annotations of "t.s" as `edit` leaves them.
  auto const of = [](std::function<void(Tirn::Data::StructureAnnotations&)> const& edit) {
    DefinitionAnnotations annotations;
    edit(annotations.structures["t.s"]);
    return annotations;
  };
  using S = Tirn::Data::StructureAnnotations;
  struct Row {
    char const* what;
    DataDefinitionPtr definition;
    DefinitionAnnotations annotations;
    char const* id;
    char const* path;
  } const rows[] = {
      {"a missing definition", Struct("t.s", {{"f", nullptr}}), {}, Ids::kDefinitionMissing,
       "t.s.f"},
      {"an unbound reference", Struct("t.s", {{"f", StructRefDefinition::GetInstance("t.gone")}}),
       {}, Ids::kDefinitionUnbound, "t.s.f"},
      {"two structures of one name",
       Struct("t.s", {{"a", Struct("t.x", {{"f", Integer()}})},
                      {"b", Struct("t.x", {{"f", String()}})}}),
       {}, Ids::kDefinitionConflict, "t.s."},
      {"names of a field that is not there", Struct("t.s", {{"count", Integer()}}),
       of([](S& s) { s.enumerations["kind"] = {"A"}; }), Ids::kDefinitionAnnotation, "<root>"},
      {"names on an integer", Struct("t.s", {{"count", Optional(Integer())}}),
       of([](S& s) { s.enumerations["count"] = {"A"}; }), Ids::kDefinitionAnnotation,
       "t.s.count"},
      {"a case's values on a plain field", Struct("t.s", {{"count", Integer()}}),
       of([](S& s) { s.unionCases["count"] = {"kind", {"BOOK"}}; }), Ids::kDefinitionAnnotation,
       "t.s.count"},
      {"a case's values for another tag", Struct("t.s", {{"book", BookCase({"BOOK"})}}),
       of([](S& s) { s.unionCases["book"] = {"type", {"BOOK"}}; }), Ids::kDefinitionAnnotation,
       "t.s.book"},
      {"a description of a field that is not there", Struct("t.s", {{"count", Integer()}}),
       of([](S& s) { s.fieldDescriptions["size"] = "How big."; }), Ids::kDefinitionAnnotation,
       "<root>"},
      {"the meaning of a name the field does not list", Struct("t.s", {{"kind", String()}}),
       of([](S& s) {
         s.enumerations["kind"] = {"A"};
         s.enumerationDescriptions["kind"] = {{"B", "Not listed."}};
       }),
       Ids::kDefinitionAnnotation, "<root>"},
      {"meanings of a field without names", Struct("t.s", {{"kind", String()}}),
       of([](S& s) { s.enumerationDescriptions["kind"] = {{"A", "No names at all."}}; }),
       Ids::kDefinitionAnnotation, "<root>"},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    std::string text = "untouched";
    Messages messages;
    EXPECT_FALSE(Tirn::Json::EncodeDefinition(row.definition, row.annotations, &text, messages));
    EXPECT_EQ(text, "untouched");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().id(), row.id) << messages.front().defaultMessage();
    EXPECT_EQ(messages.front().args().front().rfind(row.path, 0), 0u)
        << messages.front().defaultMessage();
  }
}

TEST(DefinitionJson, DeepChainsGoBothWaysWithoutRecursing) {
  DataDefinitionPtr chain = String();
  for (int i = 0; i < 200000; ++i) chain = i % 2 ? Optional(chain) : List(chain);
  DataDefinitionPtr const definition = Struct("t.deep", {{"f", chain}});
  std::string const text = Encoded(definition, {});
  Tirn::Json::DefinitionDecodeOptions unlimited;
  unlimited.maxDepth = 0;
  EXPECT_TRUE(Tirn::Data::Equal(Decode(text, unlimited).definition, definition));
}

}  // namespace
