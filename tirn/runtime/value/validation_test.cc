#include "tirn/runtime/value/validation.h"

#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/logic/tribool.hpp>
#include <gtest/gtest.h>

#include "tests/convert.h"
#include "tirn/message/message_ids.h"

namespace Tirn {
namespace Data {
namespace {

using Args = std::list<std::string>;

// Each reported problem as its message id followed by its arguments.
using Problems = std::vector<std::string>;

std::string Problem(std::string id, Args const& args) {
  for (auto const& arg : args) id += "," + arg;
  return id;
}

Problems Check(DataDefinitionPtr const& definition, DataValuePtr const& value,
               ValidationOptions const& options = {}) {
  std::list<BaseMessage> messages;
  bool ok = Validate(definition, value, messages, options);
  EXPECT_EQ(ok, messages.empty());
  Problems problems;
  for (auto const& message : messages) problems.push_back(Problem(message.id(), message.args()));
  return problems;
}

std::string WrongKind(std::string path, std::string expected, std::string found) {
  return Problem(MessageIds::kValidationWrongKind, {path, expected, found});
}
std::string Missing(std::string path) {
  return Problem(MessageIds::kValidationMissingField, {path});
}
std::string Unexpected(std::string path) {
  return Problem(MessageIds::kValidationUnexpectedField, {path});
}

// Definitions.
DataDefinitionPtr Str() { return DataDefinition::Create<std::string>(); }
DataDefinitionPtr Int() { return DataDefinition::Create<long long>(); }
DataDefinitionPtr Secret() { return DataDefinition::Create<SecretString>(); }
DataDefinitionPtr Opt(DataDefinitionPtr inner) { return OptionalDefinition::GetInstance(inner); }
DataDefinitionPtr ListOf(DataDefinitionPtr element) { return ListDefinition::GetInstance(element); }
std::shared_ptr<StructDefinition const> Def(std::string name, DataDefinition::FieldMap fields) {
  return StructDefinition::GetInstance(name, fields);
}

// Values.
DataValuePtr S(std::string text) { return DataValue::Create<std::string>(text); }
DataValuePtr I(long long n) { return DataValue::Create<long long>(n); }
DataValuePtr B(bool b) { return DataValue::Create<bool>(b); }
DataValuePtr Sec(std::string text) { return DataValue::Create(SecretString(text)); }
DataValuePtr None() { return test_convert::Opt(); }
DataValuePtr Some(DataValuePtr content) { return test_convert::Opt(std::move(content)); }
DataValuePtr L(std::initializer_list<DataValuePtr> e) { return test_convert::List(e); }
constexpr auto V = &test_convert::Struct;

struct Case {
  char const* what;
  DataDefinitionPtr definition;
  DataValuePtr value;
  Problems expected;
  ValidationOptions options = {};
};

void RunCases(std::vector<Case> const& cases) {
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Check(c.definition, c.value, c.options), c.expected);
  }
}

TEST(ValidationTest, LenientWhereTheNativeSideIs) {
  auto host = Def("com.example.host", {{"name", Str()}});
  auto error = ErrorValue::GetInstance("com.example.host");
  error->SetField("name", S("a"));
  RunCases({
      {"optional bare", Opt(Int()), I(1), {}},
      {"optional wrapped", Opt(Int()), Some(I(1)), {}},
      {"optional as empty string", Opt(Int()), S(""), {}},
      {"empty optional", Opt(Int()), None(), {}},
      {"optional structure bare", Opt(host), V("com.example.host", {{"name", S("a")}}), {}},
      {"optional field absent", Def("s", {{"port", Opt(Int())}}), V("s", {}), {}},
      {"string for integer", Int(), S("x8"), {}},
      {"string for optional integer", Opt(Int()), Some(S("12")), {}},
      {"empty string for list", ListOf(Int()), S(""), {}},
      {"one string for a list", ListOf(Int()), S("7"), {}},
      {"empty string for a structure of optional fields",
       Def("com.example.tags", {{"color", Opt(Str())}}), S(""), {}},
      {"extra field", host, V("com.example.host", {{"name", S("a")}, {"extra", I(1)}}), {}},
      {"error value for structure", host, error, {}},
  });
}

// Where the native side cannot help, a value of another kind is refused; nulls and secrets
// as the rows below say.
TEST(ValidationTest, StrictWhereTheNativeSideCannotHelp) {
  auto host = Def("host", {{"name", Str()}});
  auto always = [](std::string const&) -> boost::logic::tribool { return true; };
  auto never = [](std::string const&) -> boost::logic::tribool { return false; };
  auto nullable = Def("s", {{"n", Opt(Int())},
                            {"h", Opt(host)},
                            {"l", Opt(ListOf(Str()))},
                            {"on", UnionCaseDefinition::GetInstance(host, "kind", always)},
                            {"off", UnionCaseDefinition::GetInstance(host, "kind", never)}});
  auto const good = V("host", {{"name", S("a")}});
  std::string const text = "s3cr3t-pa55phrase";
  auto secrets = Def("s", {{"password", Secret()}, {"user", Str()}, {"tags", ListOf(Str())}});
  RunCases({
      {"integer for string", Def("s", {{"name", Str()}}), V("s", {{"name", I(3)}}),
       {WrongKind("name", "string", "integer")}},
      {"boolean for integer", Def("s", {{"n", Int()}}), V("s", {{"n", B(true)}}),
       {WrongKind("n", "integer", "boolean")}},
      {"structure for list", Def("s", {{"l", ListOf(Str())}}), V("s", {{"l", V("t", {})}}),
       {WrongKind("l", "list", "structure")}},
      {"list for structure", Def("s", {{"t", Def("t", {})}}), V("s", {{"t", L({})}}),
       {WrongKind("t", "structure", "list")}},
      {"empty optional for required", Def("s", {{"n", Int()}}), V("s", {{"n", None()}}),
       {WrongKind("n", "integer", "optional")}},
      {"root of the wrong kind", Str(), I(1), {WrongKind("<root>", "string", "integer")}},
      {"missing root", Str(), nullptr, {WrongKind("<root>", "string", "null")}},
      {"required field missing", Def("s", {{"id", Str()}, {"name", Opt(Str())}}),
       V("s", {{"name", S("n")}}), {Missing("id")}},
      // The empty string stands for a structure without fields, not for its required ones.
      {"empty string for the whole input", Def("s", {{"id", Str()}, {"name", Opt(Str())}}),
       S(""), {Missing("id")}},
      {"empty string for a nested structure",
       Def("s", {{"t", Def("t", {{"cert_chain", ListOf(Str())}})}}), V("s", {{"t", S("")}}),
       {Missing("t.cert_chain")}},
      {"wrong kind inside an optional", Def("s", {{"n", Opt(Int())}}),
       V("s", {{"n", Some(B(false))}}), {WrongKind("n", "integer", "boolean")}},
      // A field that holds null, or an optional that holds null, is a value missing where one
      // belongs, not an absent optional: the native side refuses it, and so does validation.
      {"absent fields", nullable, V("s", {{"on", good}}), {}},
      {"null fields", nullable,
       V("s", {{"n", nullptr}, {"h", nullptr}, {"l", nullptr}, {"on", nullptr}, {"off", nullptr}}),
       // Problems found at the structure come first, then those of its fields, in field order.
       {Problem(MessageIds::kValidationUnionCaseUnexpected, {"off", "kind", ""}),
        WrongKind("h", "optional", "null"), WrongKind("l", "optional", "null"),
        WrongKind("n", "optional", "null"), WrongKind("on", "union case", "null")}},
      {"optionals holding null", nullable,
       V("s", {{"n", Some(nullptr)}, {"h", Some(nullptr)}, {"l", Some(nullptr)},
               {"on", Some(nullptr)}}),
       {WrongKind("h", "structure", "null"), WrongKind("l", "list", "null"),
        WrongKind("n", "integer", "null"), WrongKind("on", "structure", "null")}},
      {"null element of a list", ListOf(Opt(Int())), L({I(1), nullptr}),
       {WrongKind("[1]", "optional", "null")}},
      // A secret may arrive as plain text (the native side takes it as the secret); a string
      // must arrive as a string. The exact problems: none quotes the secret.
      {"secret as secret", secrets,
       V("s", {{"password", Sec(text)}, {"user", S("u")}, {"tags", S("")}}), {}},
      {"plain text for secret", secrets,
       V("s", {{"password", S(text)}, {"user", S("u")}, {"tags", S("")}}), {}},
      {"plain text for an optional secret", Opt(Secret()), Some(S(text)), {}},
      {"secret for string", secrets,
       V("s", {{"password", Sec(text)}, {"user", Sec(text)}, {"tags", L({S("a"), Sec(text)})}}),
       {WrongKind("tags[1]", "string", "secret"), WrongKind("user", "string", "secret")}},
      {"secret for integer", Int(), Sec(text), {WrongKind("<root>", "integer", "secret")}},
  });
}

// Paths name fields and elements from the top; a long path keeps its first and last eight
// steps, a long field name its first 64 bytes (whole characters).
TEST(ValidationTest, PathsNameNestedFieldsAndListIndexesAndLongOnesAreShortened) {
  auto const nested = [](int levels, DataDefinitionPtr definition, DataValuePtr value) {
    for (int i = 0; i < levels; ++i) {
      std::string const name = "f" + std::to_string(i);
      definition = Def("s", {{name, ListOf(definition)}});
      value = V("s", {{name, L({value})}});
    }
    return std::make_pair(definition, value);
  };
  auto const atSixteen = nested(8, Int(), B(true));  // 16 steps: all kept
  auto const atSeventeen = nested(8, Def("t", {{"x", Int()}}), V("t", {{"x", B(true)}}));
  // 67 bytes; the 65th continues a two-byte character, which is dropped whole.
  std::string const longName = std::string(63, 'n') + "\xc3\xa9\xc3\xa9";
  auto nativeSpec = Def("native", {{"key_id", Str()}, {"rotation", Opt(Int())}});
  auto spec = Def("spec", {{"native_spec", Opt(nativeSpec)}});
  auto address = Def("address", {{"hostname", Str()}, {"port", Opt(Int())}});
  auto def = Def("provider", {{"spec", spec}, {"address", ListOf(address)}});
  auto goodAddress = V("address", {{"hostname", S("a")}});
  RunCases({
      {"valid", def,
       V("provider",
         {{"spec", V("spec", {{"native_spec", Some(V("native", {{"key_id", S("k")}}))}})},
          {"address", L({goodAddress, goodAddress})}}),
       {}},
      {"nested wrong kind and list index", def,
       V("provider",
         {{"spec", V("spec", {{"native_spec", Some(V("native", {{"key_id", I(1)}}))}})},
          {"address", L({goodAddress, V("address", {{"hostname", B(true)}}),
                         V("address", {{"port", S("80")}})})}}),
       {WrongKind("address[1].hostname", "string", "boolean"), Missing("address[2].hostname"),
        WrongKind("spec.native_spec.key_id", "string", "integer")}},
      {"nested missing", def,
       V("provider", {{"spec", V("spec", {{"native_spec", V("native", {{"rotation", I(3)}})}})},
                      {"address", S("")}}),
       {Missing("spec.native_spec.key_id")}},
      {"list at the root", ListOf(Int()), L({I(1), S("2"), B(true)}),
       {WrongKind("[2]", "integer", "boolean")}},
      {"sixteen steps", atSixteen.first, atSixteen.second,
       {WrongKind("f7[0].f6[0].f5[0].f4[0].f3[0].f2[0].f1[0].f0[0]", "integer", "boolean")}},
      {"seventeen steps", atSeventeen.first, atSeventeen.second,
       {WrongKind("f7[0].f6[0].f5[0].f4[0]...[0].f2[0].f1[0].f0[0].x", "integer", "boolean")}},
      {"a long field name", Def("s", {{longName, Int()}}), V("s", {{longName, B(true)}}),
       {WrongKind(std::string(63, 'n') + "...", "integer", "boolean")}},
  });
}

TEST(ValidationTest, UnionCasesFollowTheirTag) {
  // kind: "HOST" activates "hostname", "PORT" activates "port"; an unknown kind leaves both
  // free.
  auto activeFor = [](std::string const& wanted) {
    return [wanted](std::string const& tag) -> boost::logic::tribool {
      if (tag == "HOST" || tag == "PORT") return tag == wanted;
      return boost::logic::indeterminate;
    };
  };
  auto def = Def("endpoint", {{"kind", Opt(Str())},
                              {"hostname", UnionCaseDefinition::GetInstance(Str(), "kind",
                                                                            activeFor("HOST"))},
                              {"port", UnionCaseDefinition::GetInstance(Int(), "kind",
                                                                        activeFor("PORT"))}});
  auto value = [](std::initializer_list<std::pair<std::string, DataValuePtr>> fields) {
    return V("endpoint", fields);
  };
  RunCases({
      {"active present", def, value({{"kind", S("HOST")}, {"hostname", S("h")}}), {}},
      {"active present wrapped", def, value({{"kind", S("PORT")}, {"port", Some(I(1))}}), {}},
      {"tag wrapped in an optional", def, value({{"kind", Some(S("HOST"))}, {"hostname", S("h")}}),
       {}},
      {"inactive empty optional", def,
       value({{"kind", S("HOST")}, {"hostname", S("h")}, {"port", None()}}), {}},
      {"inactive empty string", def,
       value({{"kind", S("HOST")}, {"hostname", S("h")}, {"port", S("")}}), {}},
      {"undecided tag leaves cases free", def,
       value({{"kind", S("OTHER")}, {"hostname", S("h")}}), {}},
      {"active missing", def, value({{"kind", S("PORT")}}),
       {Problem(MessageIds::kValidationUnionCaseMissing, {"port", "kind", "PORT"})}},
      {"active empty", def, value({{"kind", S("HOST")}, {"hostname", None()}}),
       {Problem(MessageIds::kValidationUnionCaseMissing, {"hostname", "kind", "HOST"})}},
      {"inactive present", def, value({{"kind", S("HOST")}, {"hostname", S("h")}, {"port", I(1)}}),
       {Problem(MessageIds::kValidationUnionCaseUnexpected, {"port", "kind", "HOST"})}},
      {"active of the wrong kind", def, value({{"kind", S("HOST")}, {"hostname", I(5)}}),
       {WrongKind("hostname", "string", "integer")}},
  });
}

TEST(ValidationTest, UnknownFieldsCanBeRejectedAtTheTopOrAtAnyDepth) {
  auto inner = Def("inner", {{"a", Str()}});
  auto def = Def("input", {{"inner", inner}, {"n", Opt(Int())}});
  auto listed = Def("input", {{"items", ListOf(inner)}, {"o", Opt(inner)}});
  auto const known = V("inner", {{"a", S("x")}});
  auto const extra = V("inner", {{"a", S("x")}, {"b", S("y")}});
  ValidationOptions const top{true};
  ValidationOptions anyDepth;
  anyDepth.rejectUnknownNestedFields = true;
  RunCases({
      {"known fields only", def, V("input", {{"inner", known}}), {}, top},
      {"extra nested field", def, V("input", {{"inner", extra}}), {}, top},
      {"extra top-level field", def, V("input", {{"inner", known}, {"bogus", I(1)}}),
       {Unexpected("bogus")}, top},
      {"extra top-level field kept by default", def,
       V("input", {{"inner", known}, {"bogus", I(1)}}), {}},
      {"extra fields at any depth", def, V("input", {{"inner", extra}, {"bogus", I(1)}}),
       {Unexpected("bogus"), Unexpected("inner.b")}, anyDepth},
      {"in a list and an optional", listed,
       V("input", {{"items", L({known, V("inner", {{"a", S("x")}, {"prot", I(5)}})})},
                   {"o", Some(V("inner", {{"a", S("x")}, {"c", I(1)}}))}}),
       {Unexpected("items[1].prot"), Unexpected("o.c")}, anyDepth},
  });
}

TEST(ValidationTest, StructureReferences) {
  // node { name: string, next: optional(ref(node)) }
  auto reference = StructRefDefinition::GetInstance("node");
  auto node = Def("node", {{"name", Str()}, {"next", Opt(reference)}});
  reference->SetTarget(node);

  // (A reference whose target is gone reads as one never bound.)
  auto unbound = Def("holder", {{"child", StructRefDefinition::GetInstance("missing")}});

  auto leaf = V("node", {{"name", S("c")}});
  RunCases({
      {"recursive value", node,
       V("node", {{"name", S("a")}, {"next", Some(V("node", {{"name", S("b")}, {"next", leaf}}))}}),
       {}},
      {"recursive value with a deep problem", node,
       V("node",
         {{"name", S("a")}, {"next", V("node", {{"name", S("b")}, {"next", V("node", {})}})}}),
       {Missing("next.next.name")}},
      {"reference at the root", reference, leaf, {}},
      {"unbound reference", unbound, V("holder", {{"child", leaf}}),
       {Problem(MessageIds::kValidationUnresolvedReference, {"child", "missing"})}},
      {"top level reached through a reference", reference,
       V("node", {{"name", S("a")}, {"x", I(1)}}), {Unexpected("x")}, ValidationOptions{true}},
  });
}

TEST(ValidationTest, MessagesAreCapped) {
  DataDefinition::FieldMap fields;
  for (int i = 0; i < 100; ++i) fields["f" + std::to_string(100 + i)] = Int();
  auto wrong = ListValue::GetInstance(ListValue::LIST);
  for (int i = 0; i < 100; ++i) wrong->Append(B(true));
  // What is refused, the definition, the value, and the id of every message.
  std::tuple<char const*, DataDefinitionPtr, DataValuePtr, char const*> const cases[] = {
      {"missing fields", Def("s", fields), V("s", {}), MessageIds::kValidationMissingField},
      {"wrong elements", ListOf(Int()), wrong, MessageIds::kValidationWrongKind},
  };
  for (auto const& [what, definition, value, id] : cases) {
    SCOPED_TRACE(what);
    std::list<BaseMessage> messages{BaseMessage("earlier", "Earlier", {})};
    EXPECT_FALSE(Validate(definition, value, messages));
    ASSERT_EQ(messages.size(), 1 + kMaxValidationMessages);
    messages.pop_front();
    for (auto const& message : messages) EXPECT_EQ(message.id(), id);
  }
  // Messages already in the list do not count as failures.
  std::list<BaseMessage> messages{BaseMessage("earlier", "Earlier", {})};
  EXPECT_TRUE(Validate(Int(), I(1), messages));
  EXPECT_EQ(messages.size(), 1u);
}

// A million-level recursive value against a recursive definition, on the default stack.
TEST(ValidationTest, MillionLevelRecursiveValue) {
  constexpr int kDeep = 1000000;
  auto reference = StructRefDefinition::GetInstance("node");
  auto node = Def("node", {{"id", Int()}, {"next", Opt(reference)}});
  reference->SetTarget(node);

  auto innermost = V("node", {{"id", I(0)}});
  DataValuePtr chain = innermost;
  for (int i = 1; i < kDeep; ++i) {
    // Alternate bare and wrapped optionals.
    DataValuePtr next = i % 2 ? Some(std::move(chain)) : std::move(chain);
    chain = V("node", {{"id", S("1")}, {"next", std::move(next)}});
  }
  EXPECT_EQ(Check(node, chain), Problems{});

  // The path of a problem a million levels down keeps its ends only.
  innermost->SetField("id", B(true));
  std::string const next8 = "next.next.next.next.next.next.next.next";
  EXPECT_EQ(Check(node, chain),
            Problems{WrongKind(next8 + "...next.next.next.next.next.next.next.id", "integer",
                               "boolean")});
}

// A value built into a loop is reported where the walk meets it again, instead of walking it
// forever; a subtree shared by several fields is no loop.
TEST(ValidationTest, AValueThatContainsItselfIsReported) {
  auto reference = StructRefDefinition::GetInstance("node");
  auto node = Def("node", {{"next", Opt(reference)}});
  reference->SetTarget(node);
  auto loop = V("node", {});
  auto next = OptionalValue::GetInstance();
  loop->SetField("next", next);
  DataValuePtr* slot = next->value(nullptr);
  *slot = loop;
  auto const shared = V("node", {});
  RunCases({
      // Found within one more turn of the loop.
      {"loop", node, loop, {Problem(MessageIds::kValidationContainsItself, {"next.next"})}},
      {"shared", Def("pair", {{"a", node}, {"b", node}, {"c", ListOf(node)}}),
       V("pair", {{"a", shared}, {"b", shared}, {"c", L({shared, shared})}}), {}},
  });
  *slot = nullptr;  // lets the loop be freed
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
