// The compiled trusted-infrastructure package against its operation descriptors: each
// operation's input, output and error definitions, with the canonical names of the structures
// they hold, and the package's table. (docs/examples/metadata.cc checks its metadata records.)
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
// "@message@" the localizable message, any other key a row of the type table.
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

struct TypeRow {
  std::string key;  // the canonical name after the package prefix
  std::string expected;
};

// A structure, described by its fields in name order.
TypeRow Struct(std::string key, std::string const& fields) {
  std::string expected = kPackage + key + "{" + fields + "}";
  return {std::move(key), std::move(expected)};
}

// Key servers and attestation services have structures of the same shapes.
void AddServicesTypes(std::vector<TypeRow>& rows, std::string const& service) {
  std::string const info =
      "address: @network_address@, group: string, trusted_CA: @x509_cert_chain@";
  rows.push_back(
      Struct(service + ".summary", "address: @network_address@, group: string, service: string"));
  rows.push_back(Struct(service + ".info", info));
  rows.push_back(Struct(service + ".create_spec", info));
  rows.push_back(Struct(service + ".filter_spec",
                        "address: optional(list(@network_address@)), "
                        "group: optional(set(string)), services: optional(set(string))"));
}

std::vector<TypeRow> TypeRows() {
  std::vector<TypeRow> rows = {
      Struct("network_address", "hostname: string, port: optional(integer)"),
      Struct("x509_cert_chain", "cert_chain: list(string)"),

      Struct("kms.providers.native_provider_info", "key_id: string"),
      Struct("kms.providers.info",
             "native_info: union_case(type, @kms.providers.native_provider_info@), type: string"),
      Struct("kms.providers.summary",
             "available: boolean, details: list(@message@), "
             "provider: string, type: optional(string)"),
      Struct("kms.providers.filter_spec",
             "available: optional(boolean), "
             "providers: optional(set(string)), "
             "types: optional(set(string))"),
      Struct("kms.providers.native_provider_create_spec",
             "key_derivation_key: secret, key_id: string"),
      Struct(
          "kms.providers.create_spec",
          "native_spec: optional(@kms.providers.native_provider_create_spec@), provider: string"),
      Struct("kms.providers.native_provider_update_spec", "key_id: optional(string)"),
      Struct("kms.providers.update_spec",
             "native_spec: optional(@kms.providers.native_provider_update_spec@)"),

      Struct("attestation.reports.reporting_jwt", "group: string, jwt: string, service: string"),
      Struct("attestation.reports.summary",
             "report: string, reporting_jwt: union_case(type, "
             "@attestation.reports.reporting_jwt@), type: string"),
  };
  AddServicesTypes(rows, "kms.services");
  AddServicesTypes(rows, "attestation.services");
  return rows;
}

std::map<std::string, std::string> PackageTexts() {
  std::map<std::string, std::string> texts = {
      {"input", NameOf<Tirn::OperationInput>()},
      {"message", ToDebugString(DescribeType<Com::Ostrel::Tirn::Std::LocalizableMessage>())}};
  for (TypeRow const& row : TypeRows()) texts[row.key] = row.expected;
  return texts;
}

struct OperationRow {
  std::string label;  // "service.operation"
  std::string methodName;
  std::string inputName;
  DataDefinitionPtr (*inputDef)();
  DataDefinitionPtr (*outputDef)();
  std::list<DataDefinitionPtr> (*errorDefs)();
  std::string input;  // the expected definitions
  std::string output;
  Names errors;  // after "com.ostrel.tirn.std.errors."
};

template <class M>
OperationRow Operation(std::string const& service, std::string const& name, std::string input,
                       std::string output, Names errors) {
  return {service + "." + name, M::methodName(),   NameOf<typename M::Input>(),
          &M::inputDef,         &M::outputDef,     &M::errorDefs,
          std::move(input),     std::move(output), std::move(errors)};
}

// The operations of key servers and attestation services differ only in their names.
template <class List, class Get, class Create, class Delete>
void AddServicesOperations(std::vector<OperationRow>& rows, std::string const& s) {
  Names const getDeleteErrors = {"not_found", "error", "unauthenticated"};
  rows.push_back(Operation<List>(s, "list", "@input@{filter: optional(@" + s + ".filter_spec@)}",
                                 "list(@" + s + ".summary@)", {"error", "unauthenticated"}));
  rows.push_back(
      Operation<Get>(s, "get", "@input@{service: string}", "@" + s + ".info@", getDeleteErrors));
  rows.push_back(Operation<Create>(s, "create", "@input@{spec: @" + s + ".create_spec@}", "string",
                                   {"already_exists", "invalid_argument",
                                    "unable_to_allocate_resource", "error", "unauthenticated"}));
  rows.push_back(
      Operation<Delete>(s, "delete", "@input@{service: string}", "void", getDeleteErrors));
}

std::vector<OperationRow> OperationRows() {
  std::string const p = "kms.providers";
  Names const changeErrors = {"error",           "invalid_argument", "not_found",
                              "unauthenticated", "unauthorized",     "unsupported"};
  std::vector<OperationRow> rows = {
      Operation<Providers::ListMethod>(
          p, "list", "@input@{filter_spec: optional(@kms.providers.filter_spec@)}",
          "list(@kms.providers.summary@)", {"error", "unauthenticated", "unauthorized"}),
      Operation<Providers::CreateMethod>(
          p, "create", "@input@{spec: @kms.providers.create_spec@}", "void",
          {"already_exists", "error", "invalid_argument", "unauthenticated", "unauthorized"}),
      Operation<Providers::UpdateMethod>(
          p, "update", "@input@{provider: string, spec: @kms.providers.update_spec@}", "void",
          changeErrors),
      Operation<Providers::DeleteMethod>(p, "delete", "@input@{provider: string}", "void",
                                         changeErrors),
      Operation<Providers::GetMethod>(
          p, "get", "@input@{provider: string}", "@kms.providers.info@",
          {"error", "invalid_argument", "not_found", "unauthenticated", "unauthorized"}),
      Operation<Reports::ListMethod>(
          "attestation.reports", "list", "@input@{}", "list(@attestation.reports.summary@)",
          {"error", "not_allowed_in_current_state", "unauthenticated", "unauthorized"}),
  };
  AddServicesOperations<KmsServices::ListMethod, KmsServices::GetMethod, KmsServices::CreateMethod,
                        KmsServices::DeleteMethod>(rows, "kms.services");
  AddServicesOperations<AttServices::ListMethod, AttServices::GetMethod, AttServices::CreateMethod,
                        AttServices::DeleteMethod>(rows, "attestation.services");
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

TEST(PackageTables, OperationDescriptors) {
  static_assert(std::is_same<Reports::ListMethod::Input, Tirn::OperationInput>::value,
                "the operation without parameters takes the operation input itself");
  auto const texts = PackageTexts();
  auto const rows = OperationRows();
  ASSERT_EQ(rows.size(), 14u);
  for (OperationRow const& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.methodName, row.label.substr(row.label.rfind('.') + 1));
    // Inputs travel under the operation-input name.
    EXPECT_EQ(row.inputName, NameOf<Tirn::OperationInput>());
    EXPECT_EQ(ToDebugString(row.inputDef()), Expand(row.input, texts));
    EXPECT_EQ(ToDebugString(row.outputDef()), Expand(row.output, texts));
    EXPECT_EQ(ErrorNames(row.errorDefs()), row.errors);
  }
  // The package's table lists the same operations with the same descriptors, each once.
  Tirn::Core::OperationTable const& table = TI::Operations();
  EXPECT_EQ(table.package(), "com.ostrel.nox.trusted_infrastructure");
  ASSERT_EQ(table.operations().size(), rows.size());
  std::set<std::string> seen;
  for (Tirn::Core::OperationDescriptor const& operation : table.operations()) {
    std::string const label = std::string(operation.serviceName) + "." + operation.operationName;
    SCOPED_TRACE(label);
    EXPECT_TRUE(seen.insert(label).second);
    auto row = std::find_if(rows.begin(), rows.end(),
                            [&](OperationRow const& r) { return r.label == label; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ(std::string(operation.interfaceName), kPackage + operation.serviceName);
    EXPECT_EQ(operation.inputDefinition, row->inputDef);
    EXPECT_EQ(operation.outputDefinition, row->outputDef);
    EXPECT_EQ(operation.errorDefinitions, row->errorDefs);
    EXPECT_EQ(table.Find(operation.interfaceName, operation.operationName), &operation);
    EXPECT_EQ(table.FindByService(operation.serviceName, operation.operationName), &operation);
  }
  EXPECT_EQ(table.Find("com.ostrel.nox.trusted_infrastructure.kms.providers", "gets"), nullptr);
  EXPECT_EQ(table.FindByService("kms", "get"), nullptr);
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
  for (OperationRow const& row : OperationRows()) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(Disjoint(row.inputDef(), row.inputDef()));
    EXPECT_TRUE(Disjoint(row.outputDef(), row.outputDef()));
    std::list<DataDefinitionPtr> const errors = row.errorDefs();
    std::list<DataDefinitionPtr> const again = row.errorDefs();
    ASSERT_EQ(errors.size(), again.size());
    for (auto i = errors.begin(), j = again.begin(); i != errors.end(); ++i, ++j) {
      EXPECT_TRUE(Disjoint(*i, *j));
    }
  }
}

}  // namespace
