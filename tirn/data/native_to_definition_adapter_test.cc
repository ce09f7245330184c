#include "tirn/data/native_to_definition_adapter.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/request_localizer.h"
#include "tirn/runtime/validation.h"

namespace Tirn {
namespace Data {
namespace {

using Shapes::Address;
using Shapes::Color;
using Shapes::Node;
using Shapes::Record;
using Shapes::Variant;
using Kinds = std::vector<DataType::Kind>;

template <class T>
DataDefinitionPtr Define() {
  DataDefinitionPtr definition;
  std::list<BaseMessage> const messages;
  NativeToDefinitionAdapter::Adapt(NativeToDefinitionAdapter::AdaptMethod<T>::Get(), &definition,
                                   messages);
  EXPECT_TRUE(messages.empty());
  return definition;
}

StructDefinition const& AsStruct(DataDefinitionPtr const& definition) {
  return dynamic_cast<StructDefinition const&>(*definition);
}

DataDefinitionPtr FieldOf(DataDefinitionPtr const& definition, std::string const& name) {
  auto const& fields = AsStruct(definition).fields();
  auto it = fields.find(name);
  return it == fields.end() ? nullptr : it->second;
}

DataDefinitionPtr ElementOf(DataDefinitionPtr const& definition) {
  return dynamic_cast<WrappingDefinition const&>(*definition).element();
}

// The kinds met going down through wrapping definitions (optional, list, union case).
Kinds KindsOf(DataDefinitionPtr definition) {
  Kinds kinds;
  while (definition) {
    kinds.push_back(definition->GetType().kind());
    auto const* wrapping = dynamic_cast<WrappingDefinition const*>(definition.get());
    definition = wrapping ? wrapping->element() : nullptr;
  }
  return kinds;
}

TEST(NativeToDefinitionAdapter, MemberShapes) {
  DataDefinitionPtr const record = Define<Record>();
  EXPECT_EQ(record->GetType().kind(), DataType::STRUCTURE);
  EXPECT_EQ(AsStruct(record).name(), "test.shapes.record");
  struct Case {
    char const* field;
    Kinds kinds;
  };
  Case const cases[] = {
      {"id", {DataType::STRING}},
      {"count", {DataType::INTEGER}},
      {"enabled", {DataType::BOOLEAN}},
      {"key", {DataType::SECRET}},
      {"color", {DataType::STRING}},
      {"tags", {DataType::LIST, DataType::STRING}},
      {"labels", {DataType::LIST, DataType::STRING}},
      {"colors", {DataType::OPTIONAL, DataType::LIST, DataType::STRING}},
      {"address", {DataType::STRUCTURE}},
      {"backup", {DataType::OPTIONAL, DataType::STRUCTURE}},
      {"mirrors", {DataType::OPTIONAL, DataType::LIST, DataType::STRUCTURE}},
      {"note", {DataType::OPTIONAL, DataType::STRING}},
  };
  EXPECT_EQ(AsStruct(record).fields().size(), std::size(cases));
  for (auto const& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(KindsOf(FieldOf(record, c.field)), c.kinds);
  }

  // Types other than structures describe themselves at the root too.
  EXPECT_EQ(KindsOf(Define<Color>()), Kinds{DataType::STRING});
  EXPECT_EQ(KindsOf(Define<std::set<Color>>()), (Kinds{DataType::LIST, DataType::STRING}));
  EXPECT_EQ(KindsOf(Define<boost::optional<std::set<std::string>>>()),
            (Kinds{DataType::OPTIONAL, DataType::LIST, DataType::STRING}));
  EXPECT_EQ(KindsOf(Define<Void>()), Kinds{DataType::VOID});
}

TEST(NativeToDefinitionAdapter, UnionCaseWrapsTheCaseStructureDirectly) {
  DataDefinitionPtr const variant = Define<Variant>();
  EXPECT_EQ(KindsOf(FieldOf(variant, "kind")), Kinds{DataType::STRING});
  auto const unionCase =
      std::dynamic_pointer_cast<UnionCaseDefinition const>(FieldOf(variant, "red_case"));
  ASSERT_NE(unionCase, nullptr);
  EXPECT_EQ(unionCase->tagName(), "kind");
  ASSERT_NE(unionCase->element(), nullptr);
  ASSERT_EQ(unionCase->element()->GetType().kind(), DataType::STRUCTURE);
  EXPECT_EQ(AsStruct(unionCase->element()).name(), "test.shapes.address");

  ASSERT_TRUE(unionCase->predicate());
  struct Case {
    char const* tag;
    bool active;
  };
  Case const cases[] = {{"RED", true}, {"GREEN", false}, {"_UNKNOWN", false},
                        {"", false},   {"red", false},   {"BLUE", false}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.tag);
    boost::logic::tribool const answer = unionCase->predicate()(c.tag);
    EXPECT_FALSE(boost::logic::indeterminate(answer));
    EXPECT_EQ(static_cast<bool>(answer), c.active);
  }
}

TEST(NativeToDefinitionAdapter, OneDefinitionPerStructureTypeInARun) {
  DataDefinitionPtr const record = Define<Record>();
  DataDefinitionPtr const address = FieldOf(record, "address");
  EXPECT_EQ(ElementOf(FieldOf(record, "backup")), address);
  EXPECT_EQ(ElementOf(ElementOf(FieldOf(record, "mirrors"))), address);

  // Across nesting levels too.
  DataDefinitionPtr const input = Define<Shapes::Input>();
  DataDefinitionPtr const filter = ElementOf(FieldOf(input, "filter"));
  EXPECT_EQ(FieldOf(filter, "address"), FieldOf(input, "spec"));

  // A new run builds everything anew.
  DataDefinitionPtr const again = Define<Record>();
  EXPECT_NE(again, record);
  EXPECT_NE(FieldOf(again, "address"), address);
  EXPECT_NE(FieldOf(again, "tags"), FieldOf(record, "tags"));
}

TEST(NativeToDefinitionAdapter, RecursiveStructureRefersToItself) {
  DataDefinitionPtr const node = Define<Node>();
  EXPECT_EQ(AsStruct(node).name(), "test.shapes.node");
  EXPECT_EQ(KindsOf(FieldOf(node, "name")), Kinds{DataType::STRING});

  struct Case {
    char const* field;
    DataType::Kind wrapper;
  };
  for (Case const c : {Case{"next", DataType::OPTIONAL}, Case{"children", DataType::LIST}}) {
    SCOPED_TRACE(c.field);
    DataDefinitionPtr const field = FieldOf(node, c.field);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->GetType().kind(), c.wrapper);
    auto const reference = std::dynamic_pointer_cast<StructRefDefinition const>(ElementOf(field));
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->name(), "test.shapes.node");
    EXPECT_EQ(reference->target(), node);
  }
}

TEST(NativeToDefinitionAdapter, StructuresWithoutUnknownFieldSteps) {
  DataDefinitionPtr const empty = Define<Shapes::Empty>();
  EXPECT_EQ(empty->GetType().kind(), DataType::STRUCTURE);
  EXPECT_EQ(AsStruct(empty).name(), "test.shapes.empty");
  EXPECT_TRUE(AsStruct(empty).fields().empty());

  DataDefinitionPtr const input = Define<Shapes::Input>();
  EXPECT_EQ(AsStruct(input).name(), "test.shapes.operation_input");
  std::vector<std::string> names;
  for (auto const& field : AsStruct(input).fields()) names.push_back(field.first);
  EXPECT_EQ(names, (std::vector<std::string>{"filter", "spec", "target"}));
}

// ---- The three engines together -----------------------------------------------------------

template <class T>
DataValuePtr ToValue(T const& native) {
  DataValuePtr value;
  std::list<BaseMessage> messages;
  EXPECT_TRUE(NativeToValueAdapter::Adapt(
      &native, NativeToValueAdapter::AdaptMethod<T>::Get(&native), &value, messages,
      L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer()));
  return value;
}

template <class T>
std::list<BaseMessage> Problems(T const& native) {
  std::list<BaseMessage> messages;
  bool const ok = Validate(Define<T>(), ToValue(native), messages);
  EXPECT_EQ(ok, messages.empty());
  return messages;
}

std::shared_ptr<Address> MakeAddress(std::string host) {
  auto address = std::make_shared<Address>();
  address->host = std::move(host);
  return address;
}

Variant MakeVariant(Color kind, bool withCase) {
  Variant variant;
  variant.kind = kind;
  if (withCase) variant.red_case = MakeAddress("r");
  return variant;
}

TEST(NativeToDefinitionAdapter, ValuesOfEveryShapeValidateAgainstTheirDefinitions) {
  Record record;
  record.key = SecretString("k");
  record.color = Color(Color::_UNKNOWN, "PURPLE");
  record.tags = {"a"};
  record.labels = {"l"};
  record.colors = std::set<Color>{Color::RED};
  record.address = MakeAddress("a");
  record.backup = MakeAddress("b");
  record.mirrors = std::list<std::shared_ptr<Address const>>{MakeAddress("m")};
  record.note = std::string();
  record.unknownFields = StructValue::GetInstance("unknownFields");
  record.unknownFields->SetField("extra", IntegerValue::GetInstance(1));
  Record minimal;
  minimal.address = MakeAddress("");

  Node node;
  auto child = std::make_shared<Node>();
  child->next = std::make_shared<Node>();
  node.children = {child, std::make_shared<Node>()};
  node.next = std::make_shared<Node>();

  Shapes::Input input;
  input.spec = MakeAddress("s");
  input.filter = std::make_shared<Record>(record);

  EXPECT_TRUE(Problems(record).empty());
  EXPECT_TRUE(Problems(minimal).empty());
  EXPECT_TRUE(Problems(node).empty());
  EXPECT_TRUE(Problems(input).empty());
  EXPECT_TRUE(Problems(*MakeAddress("x")).empty());
  EXPECT_TRUE(Problems(Shapes::Empty()).empty());
  EXPECT_TRUE(Problems(MakeVariant(Color::RED, true)).empty());
  EXPECT_TRUE(Problems(MakeVariant(Color::GREEN, false)).empty());
  EXPECT_TRUE(Problems(MakeVariant(Color(), false)).empty());
}

TEST(NativeToDefinitionAdapter, UnionCaseMustMatchItsTag) {
  struct Case {
    char const* what;
    Variant variant;
    char const* id;
    char const* tag;
  };
  Case const cases[] = {
      {"case for an inactive tag", MakeVariant(Color::GREEN, true),
       MessageIds::kValidationUnionCaseUnexpected, "GREEN"},
      {"case for an unknown tag", MakeVariant(Color(Color::_UNKNOWN, "BLUE"), true),
       MessageIds::kValidationUnionCaseUnexpected, "BLUE"},
      {"no case for the active tag", MakeVariant(Color::RED, false),
       MessageIds::kValidationUnionCaseMissing, "RED"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    std::list<BaseMessage> const problems = Problems(c.variant);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems.front().id(), c.id);
    EXPECT_EQ(problems.front().args(), (std::list<std::string>{"red_case", "kind", c.tag}));
  }
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
