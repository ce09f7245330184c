// The compiled trusted-infrastructure package's table of operations: each operation's input,
// output and error definitions, with the canonical names of the structures they hold.
// (docs/examples/metadata.cc checks its metadata records.)
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/package_samples.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/std/localizable_message.h"
#include "tirn/std/operation_input.h"

namespace {

using namespace package_samples;
using Tirn::Data::DataDefinition;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DescribeType;
using Tirn::Data::StructDefinition;
using Tirn::Data::ToDebugString;
using Names = std::vector<std::string>;

// Expected definitions name other definitions "@key@": "@input@" is the operation input,
// "@message@" the localizable message, any other key a structure of the package.
std::string Expand(std::string text, std::map<std::string, std::string> const& texts) {
  for (std::size_t open; (open = text.find('@')) != std::string::npos;) {
    std::size_t const close = text.find('@', open + 1);
    auto const it = texts.find(text.substr(open + 1, close - open - 1));
    if (close == std::string::npos || it == texts.end()) {
      ADD_FAILURE() << "no expected text for " << text.substr(open);
      break;
    }
    text.replace(open, close - open + 1, it->second);
  }
  return text;
}

// The expected definitions of the package's structures, by canonical name after the package
// prefix, and of the standard structures they hold.
std::map<std::string, std::string> PackageTexts() {
  // Each structure's fields in name order.
  std::map<std::string, std::string> fields = {
      {"network_address", "hostname: string, port: optional(integer)"},
      {"x509_cert_chain", "cert_chain: list(string)"},
      {"kms.providers.native_provider_info", "key_id: string"},
      {"kms.providers.info",
       "native_info: union_case(type, @kms.providers.native_provider_info@), type: string"},
      {"kms.providers.summary",
       "available: boolean, details: list(@message@), provider: string, type: optional(string)"},
      {"kms.providers.filter_spec",
       "available: optional(boolean), providers: optional(set(string)), "
       "types: optional(set(string))"},
      {"kms.providers.native_provider_create_spec", "key_derivation_key: secret, key_id: string"},
      {"kms.providers.create_spec",
       "native_spec: optional(@kms.providers.native_provider_create_spec@), provider: string"},
      {"kms.providers.native_provider_update_spec", "key_id: optional(string)"},
      {"kms.providers.update_spec",
       "native_spec: optional(@kms.providers.native_provider_update_spec@)"},
      {"attestation.reports.reporting_jwt", "group: string, jwt: string, service: string"},
      {"attestation.reports.summary",
       "report: string, reporting_jwt: union_case(type, @attestation.reports.reporting_jwt@), "
       "type: string"},
  };
  // Key servers and attestation services have structures of the same shapes.
  for (std::string const s : {"kms.services", "attestation.services"}) {
    fields[s + ".summary"] = "address: @network_address@, group: string, service: string";
    fields[s + ".info"] = fields[s + ".create_spec"] =
        "address: @network_address@, group: string, trusted_CA: @x509_cert_chain@";
    fields[s + ".filter_spec"] =
        "address: optional(list(@network_address@)), group: optional(set(string)), "
        "services: optional(set(string))";
  }
  std::map<std::string, std::string> texts = {
      {"input", NameOf<Tirn::OperationInput>()},
      {"message", ToDebugString(DescribeType<Com::Ostrel::Tirn::Std::LocalizableMessage>())}};
  for (auto const& type : fields)
    texts[type.first] = kPackage + type.first + "{" + type.second + "}";
  return texts;
}

// An operation's expected definitions, by "service.operation".
struct Expected {
  std::string input;
  std::string output;
  Names errors;  // after "com.ostrel.tirn.std.errors."
};

std::map<std::string, Expected> ExpectedOperations() {
  std::string const p = "kms.providers.";
  Names const changeErrors = {"error",           "invalid_argument", "not_found",
                              "unauthenticated", "unauthorized",     "unsupported"};
  std::map<std::string, Expected> rows = {
      {p + "list",
       {"@input@{filter_spec: optional(@kms.providers.filter_spec@)}",
        "list(@kms.providers.summary@)",
        {"error", "unauthenticated", "unauthorized"}}},
      {p + "create",
       {"@input@{spec: @kms.providers.create_spec@}",
        "void",
        {"already_exists", "error", "invalid_argument", "unauthenticated", "unauthorized"}}},
      {p + "update",
       {"@input@{provider: string, spec: @kms.providers.update_spec@}", "void", changeErrors}},
      {p + "delete", {"@input@{provider: string}", "void", changeErrors}},
      {p + "get",
       {"@input@{provider: string}",
        "@kms.providers.info@",
        {"error", "invalid_argument", "not_found", "unauthenticated", "unauthorized"}}},
      {"attestation.reports.list",
       {"@input@{}",
        "list(@attestation.reports.summary@)",
        {"error", "not_allowed_in_current_state", "unauthenticated", "unauthorized"}}},
  };
  // The operations of key servers and attestation services differ only in their names.
  for (std::string const s : {"kms.services", "attestation.services"}) {
    Names const getDeleteErrors = {"not_found", "error", "unauthenticated"};
    rows[s + ".list"] = {"@input@{filter: optional(@" + s + ".filter_spec@)}",
                         "list(@" + s + ".summary@)",
                         {"error", "unauthenticated"}};
    rows[s + ".get"] = {"@input@{service: string}", "@" + s + ".info@", getDeleteErrors};
    rows[s + ".create"] = {"@input@{spec: @" + s + ".create_spec@}",
                           "string",
                           {"already_exists", "invalid_argument", "unable_to_allocate_resource",
                            "error", "unauthenticated"}};
    rows[s + ".delete"] = {"@input@{service: string}", "void", getDeleteErrors};
  }
  return rows;
}

// The names of error definitions, after "com.ostrel.tirn.std.errors.".
Names ErrorNames(std::list<DataDefinitionPtr> const& definitions) {
  std::string const prefix = "com.ostrel.tirn.std.errors.";
  Names names;
  for (DataDefinitionPtr const& definition : definitions) {
    auto const error = std::dynamic_pointer_cast<Tirn::Data::ErrorDefinition const>(definition);
    std::string const name = error ? error->name() : "<not an error definition>";
    names.push_back(name.compare(0, prefix.size(), prefix) ? name : name.substr(prefix.size()));
  }
  return names;
}

// The package's table lists every operation once, with the definitions its descriptor's
// functions build. (Finding them: OperationTableTest.FindsByEitherOwnerAndNameExactly.)
TEST(PackageTables, OperationDescriptors) {
  static_assert(std::is_same<Reports::ListMethod::Input, Tirn::OperationInput>::value,
                "the operation without parameters takes the operation input itself");
  auto const texts = PackageTexts();
  auto expected = ExpectedOperations();
  Tirn::Core::OperationTable const& table = TI::Operations();
  EXPECT_EQ(table.package(), "com.ostrel.nox.trusted_infrastructure");
  ASSERT_EQ(table.operations().size(), expected.size());
  for (Tirn::Core::OperationDescriptor const& operation : table.operations()) {
    std::string const label = std::string(operation.serviceName) + "." + operation.operationName;
    SCOPED_TRACE(label);
    auto const row = expected.find(label);  // each found once: rows found are taken out
    ASSERT_NE(row, expected.end());
    EXPECT_EQ(std::string(operation.interfaceName), kPackage + operation.serviceName);
    EXPECT_EQ(ToDebugString(operation.inputDefinition()), Expand(row->second.input, texts));
    EXPECT_EQ(ToDebugString(operation.outputDefinition()), Expand(row->second.output, texts));
    EXPECT_EQ(ErrorNames(operation.errorDefinitions()), row->second.errors);
    expected.erase(row);
  }
}

// Adds every node of a definition tree to `nodes`.
void CollectNodes(DataDefinition const* node, std::set<DataDefinition const*>& nodes) {
  if (!node || !nodes.insert(node).second) return;
  if (auto const* structure = dynamic_cast<StructDefinition const*>(node)) {
    for (auto const& field : structure->fields()) CollectNodes(field.second.get(), nodes);
  } else if (auto const* wrapping = dynamic_cast<Tirn::Data::WrappingDefinition const*>(node)) {
    CollectNodes(wrapping->element().get(), nodes);
  }
}

// True when the two trees have no node in common.
bool Disjoint(DataDefinitionPtr const& a, DataDefinitionPtr const& b) {
  std::set<DataDefinition const*> first, second;
  CollectNodes(a.get(), first);
  CollectNodes(b.get(), second);
  return std::none_of(second.begin(), second.end(), [&](auto node) { return first.count(node); });
}

TEST(PackageTables, DescriptorsBuildNewDefinitionsOnEveryCall) {
  for (Tirn::Core::OperationDescriptor const& operation : TI::Operations().operations()) {
    SCOPED_TRACE(std::string(operation.serviceName) + "." + operation.operationName);
    EXPECT_TRUE(Disjoint(operation.inputDefinition(), operation.inputDefinition()));
    EXPECT_TRUE(Disjoint(operation.outputDefinition(), operation.outputDefinition()));
    std::list<DataDefinitionPtr> const errors = operation.errorDefinitions();
    std::list<DataDefinitionPtr> const again = operation.errorDefinitions();
    ASSERT_EQ(errors.size(), again.size());
    EXPECT_TRUE(std::equal(errors.begin(), errors.end(), again.begin(), Disjoint));
  }
}

}  // namespace
