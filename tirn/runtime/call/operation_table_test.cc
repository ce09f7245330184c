#include "tirn/runtime/call/operation_table.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

namespace Tirn {
namespace Core {
namespace {

using Data::DataDefinition;
using Data::DataDefinitionPtr;
using Data::DefinitionAnnotations;
using Data::StructDefinition;

constexpr char kInput[] = "test.operation_input";

DataDefinitionPtr Text() { return DataDefinition::Create<std::string>(); }
DataDefinitionPtr Item() { return StructDefinition::GetInstance("test.item", {{"kind", Text()}}); }
DataDefinitionPtr Input() {
  return StructDefinition::GetInstance(kInput, {{"item", Item()}, {"mode", Text()}});
}
DataDefinitionPtr List() { return Data::ListDefinition::GetInstance(Item()); }
DataDefinitionPtr Nothing() { return DataDefinition::Create<Void>(); }
std::list<DataDefinitionPtr> Failed() {
  return {Data::ErrorDefinition::GetInstance("test.failed", {{"why", Text()}})};
}
std::list<DataDefinitionPtr> NoErrors() { return {}; }
Data::StructureAnnotations InputAnnotations() {
  Data::StructureAnnotations input;
  input.enumerations["mode"] = {"FAST", "SAFE"};
  input.fieldDescriptions["mode"] = "How to put it.";
  return input;
}

// An operation's annotations are the package's of the structures its definitions hold, and
// its input's own under the input's name; a structure it does not reach brings nothing.
TEST(OperationTableTest, GivesEachOperationTheAnnotationsOfWhatItHolds) {
  DefinitionAnnotations package;
  package.structures["test.item"].enumerations["kind"] = {"BOOK", "GAME"};
  package.structures["test.failed"].enumerations["why"] = {"BROKEN"};
  package.structures["test.elsewhere"].enumerations["x"] = {"X"};
  OperationTable const table(
      "test", {{"test.items", "items", "put", &Input, &Nothing, &Failed, &InputAnnotations},
               {"test.items", "items", "list", &Input, &List, &NoErrors},
               {"test.items", "items", "ping", &Nothing, &Nothing, &NoErrors, &InputAnnotations}},
      "", package);
  EXPECT_EQ(table.annotations(), package);

  // The operation, and the structures its annotations hold.
  std::tuple<char const*, std::vector<std::string>> const rows[] = {
      {"put", {"test.failed", "test.item", kInput}},
      {"list", {"test.item"}},
      // No structure for its input's annotations to belong to.
      {"ping", {}},
  };
  for (auto const& [name, structures] : rows) {
    SCOPED_TRACE(name);
    auto const* operation = table.FindByService("items", name);
    ASSERT_NE(operation, nullptr);
    ASSERT_NE(operation->annotations, nullptr);
    std::vector<std::string> names;
    for (auto const& structure : operation->annotations->structures) {
      names.push_back(structure.first);
      EXPECT_EQ(structure.second,
                structure.first == kInput ? InputAnnotations() : *package.Find(structure.first))
          << structure.first;
    }
    EXPECT_EQ(names, structures);
  }
}

// A table made from definitions keeps each operation's description with the names, which its
// descriptors point into, when it is moved.
TEST(OperationTableTest, KeepsEachOperationsDescription) {
  std::vector<OperationDefinitions> read(1);
  read[0].interfaceName = "test.items";
  read[0].serviceName = "items";
  read[0].operationName = "put";
  read[0].description = std::string("Puts it, ") + std::string(100, 'x');
  read[0].serviceDescription = "The items.";
  OperationTable const copy = [&] {
    OperationTable const made = OperationTable::FromDefinitions("test", std::move(read));
    return made;
  }();
  EXPECT_EQ(std::string(copy.FindByService("items", "put")->description),
            "Puts it, " + std::string(100, 'x'));
  EXPECT_STREQ(copy.Find("test.items", "put")->serviceDescription, "The items.");
}

// An operation is found by its interface or its service, with its own name; names that only
// share a prefix or belong to another owner find nothing; of two of one name, the first.
TEST(OperationTableTest, FindsByEitherOwnerAndNameExactly) {
  OperationTable const table(
      "test", {{"test.items", "items", "put", &Input, &Nothing, &Failed},
               {"test.items", "items", "list", &Input, &List, &NoErrors},
               {"test.orders", "orders", "put", &Input, &Nothing, &NoErrors},
               {"test.items", "items", "put", &Input, &List, &NoErrors}});
  // The owner and name asked for; the position found by interface, and by service (-1: none).
  std::tuple<char const*, char const*, int, int> const rows[] = {
      {"test.items", "put", 0, -1}, {"items", "put", -1, 0},      {"test.items", "list", 1, -1},
      {"test.orders", "put", 2, -1}, {"orders", "put", -1, 2},    {"orders", "list", -1, -1},
      {"test.item", "put", -1, -1},  {"test.items", "pu", -1, -1}, {"", "", -1, -1},
  };
  OperationTable const copy = table;
  for (auto const& [owner, operation, byInterface, byService] : rows) {
    SCOPED_TRACE(std::string(owner) + " " + operation);
    for (OperationTable const* one : {&table, &copy}) {
      auto const position = [one](OperationDescriptor const* found) {
        return found ? static_cast<int>(found - one->operations().data()) : -1;
      };
      EXPECT_EQ(position(one->Find(owner, operation)), byInterface);
      EXPECT_EQ(position(one->FindByService(owner, operation)), byService);
    }
  }
}

}  // namespace
}  // namespace Core
}  // namespace Tirn
