// The compiled trusted-infrastructure package against its naming tables: canonical names,
// interface identifiers, resource types, metadata records, field lists, definitions,
// operation descriptors, enumeration and union tables.
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/logic/tribool.hpp>

#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/runtime/data_definition.h"
#include "tirn/std/errors.h"
#include "tirn/std/localizable_message.h"
#include "tirn/std/operation_input.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
namespace KmsServices = TI::Kms::ServicesSvc;
namespace AttServices = TI::Attestation::ServicesSvc;
namespace Reports = TI::Attestation::ReportsSvc;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;

using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataType;
using Tirn::Data::DescribeType;
using Tirn::Data::ToDebugString;
using Tirn::Data::TypeInfo;
using Tirn::Metadata::StructInfo;
using Names = std::vector<std::string>;

template <class T>
std::string const& NameOf() {
  return TypeInfo<T>::name();
}

TEST(PackageTables, CanonicalNames) {
  struct Row {
    std::string actual;
    char const* expected;
  };
  Row const rows[] = {
      {NameOf<TI::NetworkAddress>(), "com.ostrel.nox.trusted_infrastructure.network_address"},
      {NameOf<TI::X509CertChain>(), "com.ostrel.nox.trusted_infrastructure.x509_cert_chain"},
      // Key providers.
      {NameOf<Providers::AsyncServiceInterface>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers"},
      {NameOf<Providers::ProviderType>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.provider_type"},
      {NameOf<Providers::NativeProviderInfo>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_info"},
      {NameOf<Providers::Info>(), "com.ostrel.nox.trusted_infrastructure.kms.providers.info"},
      {NameOf<Providers::Summary>(), "com.ostrel.nox.trusted_infrastructure.kms.providers.summary"},
      {NameOf<Providers::FilterSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.filter_spec"},
      {NameOf<Providers::NativeProviderCreateSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_create_spec"},
      {NameOf<Providers::CreateSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.create_spec"},
      {NameOf<Providers::NativeProviderUpdateSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_update_spec"},
      {NameOf<Providers::UpdateSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.providers.update_spec"},
      // Key servers.
      {NameOf<KmsServices::AsyncServiceInterface>(),
       "com.ostrel.nox.trusted_infrastructure.kms.services"},
      {NameOf<KmsServices::Summary>(),
       "com.ostrel.nox.trusted_infrastructure.kms.services.summary"},
      {NameOf<KmsServices::Info>(), "com.ostrel.nox.trusted_infrastructure.kms.services.info"},
      {NameOf<KmsServices::CreateSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.services.create_spec"},
      {NameOf<KmsServices::FilterSpec>(),
       "com.ostrel.nox.trusted_infrastructure.kms.services.filter_spec"},
      // Attestation services.
      {NameOf<AttServices::AsyncServiceInterface>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.services"},
      {NameOf<AttServices::Summary>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.services.summary"},
      {NameOf<AttServices::Info>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.services.info"},
      {NameOf<AttServices::CreateSpec>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.services.create_spec"},
      {NameOf<AttServices::FilterSpec>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.services.filter_spec"},
      // Attestation reports.
      {NameOf<Reports::AsyncServiceInterface>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.reports"},
      {NameOf<Reports::ReportType>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.reports.report_type"},
      {NameOf<Reports::ReportingJwt>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.reports.reporting_jwt"},
      {NameOf<Reports::Summary>(),
       "com.ostrel.nox.trusted_infrastructure.attestation.reports.summary"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(row.actual, row.expected);
  }
}

TEST(PackageTables, OperationInputsTravelUnderTheOperationInputName) {
  std::string const& inputName = NameOf<Tirn::OperationInput>();
  ASSERT_FALSE(inputName.empty());
  std::string const rows[] = {
      NameOf<Providers::ListMethod::Input>(),   NameOf<Providers::CreateMethod::Input>(),
      NameOf<Providers::UpdateMethod::Input>(), NameOf<Providers::DeleteMethod::Input>(),
      NameOf<Providers::GetMethod::Input>(),    NameOf<KmsServices::ListMethod::Input>(),
      NameOf<KmsServices::GetMethod::Input>(),  NameOf<KmsServices::CreateMethod::Input>(),
      NameOf<KmsServices::DeleteMethod::Input>(), NameOf<AttServices::ListMethod::Input>(),
      NameOf<AttServices::GetMethod::Input>(),  NameOf<AttServices::CreateMethod::Input>(),
      NameOf<AttServices::DeleteMethod::Input>(),
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i], inputName);
  }
  static_assert(std::is_same<Reports::ListMethod::Input, Tirn::OperationInput>::value,
                "the operation without parameters takes the operation input itself");
}

TEST(PackageTables, ResourceTypeConstants) {
  struct Row {
    std::string actual;
    char const* expected;
  };
  Row const rows[] = {
      {Providers::Constants::RESOURCE_TYPE, "com.ostrel.nox.trusted_infrastructure.kms.provider"},
      {KmsServices::Constants::RESOURCE_TYPE, "com.ostrel.nox.trusted_infrastructure.kms.service"},
      {AttServices::Constants::RESOURCE_TYPE,
       "com.ostrel.nox.trusted_infrastructure.attestation.service"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(row.actual, row.expected);
  }
}

TEST(PackageTables, MetadataRecords) {
  struct Row {
    std::shared_ptr<StructInfo> (*create)();
    char const* name;
    char const* field;
    char const* resourceType;
  };
  Row const rows[] = {
      {&StructInfo::Create<Providers::Summary>,
       "com.ostrel.nox.trusted_infrastructure.kms.Providers.Summary", "provider",
       "com.ostrel.nox.trusted_infrastructure.kms.provider"},
      {&StructInfo::Create<Providers::CreateSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.Providers.CreateSpec", "provider",
       "com.ostrel.nox.trusted_infrastructure.kms.provider"},
      {&StructInfo::Create<Providers::FilterSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.Providers.FilterSpec", "providers",
       "com.ostrel.nox.trusted_infrastructure.kms.provider"},
      {&StructInfo::Create<KmsServices::Summary>,
       "com.ostrel.nox.trusted_infrastructure.kms.Services.Summary", "service",
       "com.ostrel.nox.trusted_infrastructure.kms.service"},
      {&StructInfo::Create<KmsServices::FilterSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.Services.FilterSpec", "services",
       "com.ostrel.nox.trusted_infrastructure.kms.service"},
      {&StructInfo::Create<AttServices::Summary>,
       "com.ostrel.nox.trusted_infrastructure.attestation.Services.Summary", "service",
       "com.ostrel.nox.trusted_infrastructure.attestation.service"},
      {&StructInfo::Create<AttServices::FilterSpec>,
       "com.ostrel.nox.trusted_infrastructure.attestation.Services.FilterSpec", "services",
       "com.ostrel.nox.trusted_infrastructure.attestation.service"},
      {&StructInfo::Create<Reports::Summary>,
       "com.ostrel.nox.trusted_infrastructure.attestation.Reports.Summary", "report",
       "com.ostrel.nox.trusted_infrastructure.attestation.report"},
      {&StructInfo::Create<Reports::ReportingJwt>,
       "com.ostrel.nox.trusted_infrastructure.attestation.Reports.ReportingJwt", "service",
       "com.ostrel.nox.trusted_infrastructure.attestation.service"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.name);
    std::shared_ptr<StructInfo> const first = row.create();
    std::shared_ptr<StructInfo> const second = row.create();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);

    for (StructInfo const* record : {first.get(), second.get()}) {
      EXPECT_EQ(record->id, 0);
      EXPECT_EQ(record->name, row.name);
      EXPECT_FALSE(record->documentation);
      ASSERT_EQ(record->fields.size(), 1u);
      EXPECT_EQ(record->fields.begin()->first, row.field);
      auto const& field = record->fields.begin()->second;
      ASSERT_NE(field, nullptr);
      EXPECT_EQ(field->id, 0);
      EXPECT_FALSE(field->flag);
      EXPECT_EQ(field->resourceType, row.resourceType);
      EXPECT_TRUE(field->fields.empty());
      EXPECT_FALSE(field->documentation);
    }
    EXPECT_NE(first->fields.begin()->second, second->fields.begin()->second);
  }
}

// Records the order in which a structure's field visitor names its members; a union case is
// recorded as "case|tag".
struct FieldRecorder {
  Names visited;

  template <class S, class C, class M>
  void Field(char const* name, S*, M C::*) {
    visited.emplace_back(name);
  }
  template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
  void UnionCase(char const* name, S*, M C::*) {
    visited.push_back(std::string(name) + "|" + Tags::Strings::values[Index]);
  }
};

template <class T>
Names VisitedFields() {
  FieldRecorder recorder;
  T native;
  T::AdapterHelper::AddFields(recorder, &native);
  return recorder.visited;
}

template <class T>
Names KnownNames() {
  return Names(std::begin(T::AdapterHelper::knownNames), std::end(T::AdapterHelper::knownNames));
}

TEST(PackageTables, FieldListsInDeclarationOrder) {
  struct Row {
    char const* label;
    Names (*visited)();
    Names (*known)();  // null for operation inputs, which keep no unknown fields
    Names expected;
  };
  Names const addressChainGroup = {"address", "trusted_CA", "group"};
  Names const filter = {"services", "address", "group"};
  Row const rows[] = {
      {"NetworkAddress", &VisitedFields<TI::NetworkAddress>, &KnownNames<TI::NetworkAddress>,
       {"hostname", "port"}},
      {"X509CertChain", &VisitedFields<TI::X509CertChain>, &KnownNames<TI::X509CertChain>,
       {"cert_chain"}},
      {"providers.NativeProviderInfo", &VisitedFields<Providers::NativeProviderInfo>,
       &KnownNames<Providers::NativeProviderInfo>, {"key_id"}},
      {"providers.Info", &VisitedFields<Providers::Info>, &KnownNames<Providers::Info>,
       {"type", "native_info|type"}},
      {"providers.Summary", &VisitedFields<Providers::Summary>, &KnownNames<Providers::Summary>,
       {"provider", "available", "details", "type"}},
      {"providers.FilterSpec", &VisitedFields<Providers::FilterSpec>,
       &KnownNames<Providers::FilterSpec>, {"providers", "available", "types"}},
      {"providers.NativeProviderCreateSpec", &VisitedFields<Providers::NativeProviderCreateSpec>,
       &KnownNames<Providers::NativeProviderCreateSpec>, {"key_id", "key_derivation_key"}},
      {"providers.CreateSpec", &VisitedFields<Providers::CreateSpec>,
       &KnownNames<Providers::CreateSpec>, {"provider", "native_spec"}},
      {"providers.NativeProviderUpdateSpec", &VisitedFields<Providers::NativeProviderUpdateSpec>,
       &KnownNames<Providers::NativeProviderUpdateSpec>, {"key_id"}},
      {"providers.UpdateSpec", &VisitedFields<Providers::UpdateSpec>,
       &KnownNames<Providers::UpdateSpec>, {"native_spec"}},
      {"kms.services.Summary", &VisitedFields<KmsServices::Summary>,
       &KnownNames<KmsServices::Summary>, {"service", "address", "group"}},
      {"kms.services.Info", &VisitedFields<KmsServices::Info>, &KnownNames<KmsServices::Info>,
       addressChainGroup},
      {"kms.services.CreateSpec", &VisitedFields<KmsServices::CreateSpec>,
       &KnownNames<KmsServices::CreateSpec>, addressChainGroup},
      {"kms.services.FilterSpec", &VisitedFields<KmsServices::FilterSpec>,
       &KnownNames<KmsServices::FilterSpec>, filter},
      {"attestation.services.Summary", &VisitedFields<AttServices::Summary>,
       &KnownNames<AttServices::Summary>, {"service", "address", "group"}},
      {"attestation.services.Info", &VisitedFields<AttServices::Info>,
       &KnownNames<AttServices::Info>, addressChainGroup},
      {"attestation.services.CreateSpec", &VisitedFields<AttServices::CreateSpec>,
       &KnownNames<AttServices::CreateSpec>, addressChainGroup},
      {"attestation.services.FilterSpec", &VisitedFields<AttServices::FilterSpec>,
       &KnownNames<AttServices::FilterSpec>, filter},
      {"reports.ReportingJwt", &VisitedFields<Reports::ReportingJwt>,
       &KnownNames<Reports::ReportingJwt>, {"service", "group", "jwt"}},
      {"reports.Summary", &VisitedFields<Reports::Summary>, &KnownNames<Reports::Summary>,
       {"report", "type", "reporting_jwt|type"}},
      // Operation inputs: the parameters in parameter order.
      {"providers.list", &VisitedFields<Providers::ListMethod::Input>, nullptr, {"filter_spec"}},
      {"providers.create", &VisitedFields<Providers::CreateMethod::Input>, nullptr, {"spec"}},
      {"providers.update", &VisitedFields<Providers::UpdateMethod::Input>, nullptr,
       {"provider", "spec"}},
      {"providers.delete", &VisitedFields<Providers::DeleteMethod::Input>, nullptr, {"provider"}},
      {"providers.get", &VisitedFields<Providers::GetMethod::Input>, nullptr, {"provider"}},
      {"kms.services.list", &VisitedFields<KmsServices::ListMethod::Input>, nullptr, {"filter"}},
      {"kms.services.get", &VisitedFields<KmsServices::GetMethod::Input>, nullptr, {"service"}},
      {"kms.services.create", &VisitedFields<KmsServices::CreateMethod::Input>, nullptr, {"spec"}},
      {"kms.services.delete", &VisitedFields<KmsServices::DeleteMethod::Input>, nullptr,
       {"service"}},
      {"attestation.services.list", &VisitedFields<AttServices::ListMethod::Input>, nullptr,
       {"filter"}},
      {"attestation.services.get", &VisitedFields<AttServices::GetMethod::Input>, nullptr,
       {"service"}},
      {"attestation.services.create", &VisitedFields<AttServices::CreateMethod::Input>, nullptr,
       {"spec"}},
      {"attestation.services.delete", &VisitedFields<AttServices::DeleteMethod::Input>, nullptr,
       {"service"}},
      {"attestation.reports.list", &VisitedFields<Reports::ListMethod::Input>, nullptr, {}},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.visited(), row.expected);
    if (!row.known) continue;
    // The names that separate unknown fields: every wire name, in ascending byte order.
    Names sorted;
    for (std::string const& name : row.expected) sorted.push_back(name.substr(0, name.find('|')));
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(row.known(), sorted);
  }
}

// Expected definitions are written with placeholders "@key@": "@input@" is the operation
// input name, "@message@" the localizable message's definition, and any other key a row of
// the structure table below.
class Expander {
 public:
  void Define(std::string key, std::string text) { texts_[std::move(key)] = std::move(text); }

  std::string Expand(std::string text) const {
    for (std::size_t open; (open = text.find('@')) != std::string::npos;) {
      std::size_t const close = text.find('@', open + 1);
      if (close == std::string::npos) break;
      std::string const key = text.substr(open + 1, close - open - 1);
      auto const it = texts_.find(key);
      if (it == texts_.end()) {
        ADD_FAILURE() << "no expected text for @" << key << "@";
        break;
      }
      text.replace(open, close - open + 1, it->second);
    }
    return text;
  }

 private:
  std::map<std::string, std::string> texts_;
};

struct DefinitionRow {
  char const* key;
  DataDefinitionPtr (*describe)();
  char const* expected;
};

// The structures and enumerations of the package, keyed by their wire name without the
// package prefix.
std::vector<DefinitionRow> const& TypeDefinitionRows() {
  static std::vector<DefinitionRow> const rows = {
      {"network_address", &DescribeType<TI::NetworkAddress>,
       "com.ostrel.nox.trusted_infrastructure.network_address{hostname: string, "
       "port: optional(integer)}"},
      {"x509_cert_chain", &DescribeType<TI::X509CertChain>,
       "com.ostrel.nox.trusted_infrastructure.x509_cert_chain{cert_chain: list(string)}"},

      {"kms.providers.provider_type", &DescribeType<Providers::ProviderType>, "string"},
      {"kms.providers.native_provider_info", &DescribeType<Providers::NativeProviderInfo>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_info{key_id: string}"},
      {"kms.providers.info", &DescribeType<Providers::Info>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.info{"
       "native_info: union_case(type, @kms.providers.native_provider_info@), type: string}"},
      {"kms.providers.summary", &DescribeType<Providers::Summary>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.summary{available: boolean, "
       "details: list(@message@), provider: string, type: optional(string)}"},
      {"kms.providers.filter_spec", &DescribeType<Providers::FilterSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.filter_spec{"
       "available: optional(boolean), providers: optional(list(string)), "
       "types: optional(list(string))}"},
      {"kms.providers.native_provider_create_spec",
       &DescribeType<Providers::NativeProviderCreateSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_create_spec{"
       "key_derivation_key: secret, key_id: string}"},
      {"kms.providers.create_spec", &DescribeType<Providers::CreateSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.create_spec{"
       "native_spec: optional(@kms.providers.native_provider_create_spec@), provider: string}"},
      {"kms.providers.native_provider_update_spec",
       &DescribeType<Providers::NativeProviderUpdateSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_update_spec{"
       "key_id: optional(string)}"},
      {"kms.providers.update_spec", &DescribeType<Providers::UpdateSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.providers.update_spec{"
       "native_spec: optional(@kms.providers.native_provider_update_spec@)}"},

      {"kms.services.summary", &DescribeType<KmsServices::Summary>,
       "com.ostrel.nox.trusted_infrastructure.kms.services.summary{"
       "address: @network_address@, group: string, service: string}"},
      {"kms.services.info", &DescribeType<KmsServices::Info>,
       "com.ostrel.nox.trusted_infrastructure.kms.services.info{"
       "address: @network_address@, group: string, trusted_CA: @x509_cert_chain@}"},
      {"kms.services.create_spec", &DescribeType<KmsServices::CreateSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.services.create_spec{"
       "address: @network_address@, group: string, trusted_CA: @x509_cert_chain@}"},
      {"kms.services.filter_spec", &DescribeType<KmsServices::FilterSpec>,
       "com.ostrel.nox.trusted_infrastructure.kms.services.filter_spec{"
       "address: optional(list(@network_address@)), group: optional(list(string)), "
       "services: optional(list(string))}"},

      {"attestation.services.summary", &DescribeType<AttServices::Summary>,
       "com.ostrel.nox.trusted_infrastructure.attestation.services.summary{"
       "address: @network_address@, group: string, service: string}"},
      {"attestation.services.info", &DescribeType<AttServices::Info>,
       "com.ostrel.nox.trusted_infrastructure.attestation.services.info{"
       "address: @network_address@, group: string, trusted_CA: @x509_cert_chain@}"},
      {"attestation.services.create_spec", &DescribeType<AttServices::CreateSpec>,
       "com.ostrel.nox.trusted_infrastructure.attestation.services.create_spec{"
       "address: @network_address@, group: string, trusted_CA: @x509_cert_chain@}"},
      {"attestation.services.filter_spec", &DescribeType<AttServices::FilterSpec>,
       "com.ostrel.nox.trusted_infrastructure.attestation.services.filter_spec{"
       "address: optional(list(@network_address@)), group: optional(list(string)), "
       "services: optional(list(string))}"},

      {"attestation.reports.report_type", &DescribeType<Reports::ReportType>, "string"},
      {"attestation.reports.reporting_jwt", &DescribeType<Reports::ReportingJwt>,
       "com.ostrel.nox.trusted_infrastructure.attestation.reports.reporting_jwt{"
       "group: string, jwt: string, service: string}"},
      {"attestation.reports.summary", &DescribeType<Reports::Summary>,
       "com.ostrel.nox.trusted_infrastructure.attestation.reports.summary{report: string, "
       "reporting_jwt: union_case(type, @attestation.reports.reporting_jwt@), type: string}"},
  };
  return rows;
}

Expander PackageExpander() {
  Expander expander;
  expander.Define("input", NameOf<Tirn::OperationInput>());
  expander.Define("message",
                  ToDebugString(DescribeType<Com::Ostrel::Tirn::Std::LocalizableMessage>()));
  for (DefinitionRow const& row : TypeDefinitionRows()) expander.Define(row.key, row.expected);
  return expander;
}

TEST(PackageTables, TypeDefinitions) {
  Expander const expander = PackageExpander();
  for (DefinitionRow const& row : TypeDefinitionRows()) {
    SCOPED_TRACE(row.key);
    DataDefinitionPtr const definition = row.describe();
    ASSERT_NE(definition, nullptr);
    EXPECT_EQ(ToDebugString(definition), expander.Expand(row.expected));
  }
}

struct OperationRow {
  char const* label;
  std::string (*methodName)();
  DataDefinitionPtr (*inputDef)();
  DataDefinitionPtr (*outputDef)();
  std::list<DataDefinitionPtr> (*errorDefs)();
  char const* name;
  char const* input;
  char const* output;
  Names errors;
};

template <class M>
OperationRow Operation(char const* label, char const* name, char const* input, char const* output,
                       Names errors) {
  return {label, &M::methodName, &M::inputDef, &M::outputDef, &M::errorDefs,
          name,  input,          output,       std::move(errors)};
}

std::vector<OperationRow> OperationRows() {
  std::string const error = NameOf<Errors::Error>();
  std::string const alreadyExists = NameOf<Errors::AlreadyExists>();
  std::string const invalidArgument = NameOf<Errors::InvalidArgument>();
  std::string const notAllowed = NameOf<Errors::NotAllowedInCurrentState>();
  std::string const notFound = NameOf<Errors::NotFound>();
  std::string const unableToAllocate = NameOf<Errors::UnableToAllocateResource>();
  std::string const unauthenticated = NameOf<Errors::Unauthenticated>();
  std::string const unauthorized = NameOf<Errors::Unauthorized>();
  std::string const unsupported = NameOf<Errors::Unsupported>();
  Names const listErrors = {error, unauthenticated};
  Names const getDeleteErrors = {notFound, error, unauthenticated};
  Names const createErrors = {alreadyExists, invalidArgument, unableToAllocate, error,
                              unauthenticated};
  return {
      Operation<Providers::ListMethod>(
          "kms.providers.list", "list",
          "@input@{filter_spec: optional(@kms.providers.filter_spec@)}",
          "list(@kms.providers.summary@)", {error, unauthenticated, unauthorized}),
      Operation<Providers::CreateMethod>(
          "kms.providers.create", "create", "@input@{spec: @kms.providers.create_spec@}", "void",
          {alreadyExists, error, invalidArgument, unauthenticated, unauthorized}),
      Operation<Providers::UpdateMethod>(
          "kms.providers.update", "update",
          "@input@{provider: string, spec: @kms.providers.update_spec@}", "void",
          {error, invalidArgument, notFound, unauthenticated, unauthorized, unsupported}),
      Operation<Providers::DeleteMethod>(
          "kms.providers.delete", "delete", "@input@{provider: string}", "void",
          {error, invalidArgument, notFound, unauthenticated, unauthorized, unsupported}),
      Operation<Providers::GetMethod>(
          "kms.providers.get", "get", "@input@{provider: string}", "@kms.providers.info@",
          {error, invalidArgument, notFound, unauthenticated, unauthorized}),

      Operation<KmsServices::ListMethod>(
          "kms.services.list", "list", "@input@{filter: optional(@kms.services.filter_spec@)}",
          "list(@kms.services.summary@)", listErrors),
      Operation<KmsServices::GetMethod>("kms.services.get", "get", "@input@{service: string}",
                                        "@kms.services.info@", getDeleteErrors),
      Operation<KmsServices::CreateMethod>("kms.services.create", "create",
                                           "@input@{spec: @kms.services.create_spec@}", "string",
                                           createErrors),
      Operation<KmsServices::DeleteMethod>("kms.services.delete", "delete",
                                           "@input@{service: string}", "void", getDeleteErrors),

      Operation<AttServices::ListMethod>(
          "attestation.services.list", "list",
          "@input@{filter: optional(@attestation.services.filter_spec@)}",
          "list(@attestation.services.summary@)", listErrors),
      Operation<AttServices::GetMethod>("attestation.services.get", "get",
                                        "@input@{service: string}",
                                        "@attestation.services.info@", getDeleteErrors),
      Operation<AttServices::CreateMethod>("attestation.services.create", "create",
                                           "@input@{spec: @attestation.services.create_spec@}",
                                           "string", createErrors),
      Operation<AttServices::DeleteMethod>("attestation.services.delete", "delete",
                                           "@input@{service: string}", "void", getDeleteErrors),

      Operation<Reports::ListMethod>("attestation.reports.list", "list", "@input@{}",
                                     "list(@attestation.reports.summary@)",
                                     {error, notAllowed, unauthenticated, unauthorized}),
  };
}

Names ErrorNames(std::list<DataDefinitionPtr> const& definitions) {
  Names names;
  for (DataDefinitionPtr const& definition : definitions) {
    auto const error = std::dynamic_pointer_cast<Tirn::Data::ErrorDefinition const>(definition);
    if (!error) {
      names.push_back(definition ? "<not an error definition>" : "<null>");
      continue;
    }
    EXPECT_EQ(error->GetType().kind(), DataType::ERROR);
    names.push_back(error->name());
  }
  return names;
}

TEST(PackageTables, OperationDescriptors) {
  Expander const expander = PackageExpander();
  for (OperationRow const& row : OperationRows()) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.methodName(), row.name);

    DataDefinitionPtr const input = row.inputDef();
    ASSERT_NE(input, nullptr);
    ASSERT_EQ(input->GetType().kind(), DataType::STRUCTURE);
    EXPECT_EQ(static_cast<Tirn::Data::StructDefinition const&>(*input).name(),
              NameOf<Tirn::OperationInput>());
    EXPECT_EQ(ToDebugString(input), expander.Expand(row.input));

    EXPECT_EQ(ToDebugString(row.outputDef()), expander.Expand(row.output));
    EXPECT_EQ(ErrorNames(row.errorDefs()), row.errors);
  }

  // The operation without parameters is described by the operation input itself.
  EXPECT_EQ(ToDebugString(Reports::ListMethod::inputDef()),
            ToDebugString(DescribeType<Tirn::OperationInput>()));
  // Updating and deleting a key provider can fail in the same six ways.
  Names const updateErrors = ErrorNames(Providers::UpdateMethod::errorDefs());
  EXPECT_EQ(updateErrors.size(), 6u);
  EXPECT_EQ(ErrorNames(Providers::DeleteMethod::errorDefs()), updateErrors);
}

// Every node of a definition tree, references and shared subtrees included once.
std::set<Tirn::Data::DataDefinition const*> NodesOf(DataDefinitionPtr const& root) {
  std::set<Tirn::Data::DataDefinition const*> nodes;
  std::vector<Tirn::Data::DataDefinition const*> pending{root.get()};
  while (!pending.empty()) {
    Tirn::Data::DataDefinition const* node = pending.back();
    pending.pop_back();
    if (!node || !nodes.insert(node).second) continue;
    if (auto const* structure = dynamic_cast<Tirn::Data::StructDefinition const*>(node)) {
      for (auto const& field : structure->fields()) pending.push_back(field.second.get());
    } else if (auto const* wrapping = dynamic_cast<Tirn::Data::WrappingDefinition const*>(node)) {
      pending.push_back(wrapping->element().get());
    }
  }
  return nodes;
}

// True when the two trees have no node in common.
bool Disjoint(DataDefinitionPtr const& a, DataDefinitionPtr const& b) {
  auto const first = NodesOf(a);
  for (auto const* node : NodesOf(b)) {
    if (first.count(node)) return false;
  }
  return true;
}

TEST(PackageTables, DescriptorsBuildNewDefinitionsOnEveryCall) {
  for (OperationRow const& row : OperationRows()) {
    SCOPED_TRACE(row.label);
    DataDefinitionPtr const input = row.inputDef();
    DataDefinitionPtr const inputAgain = row.inputDef();
    EXPECT_TRUE(Disjoint(input, inputAgain));
    EXPECT_EQ(ToDebugString(input), ToDebugString(inputAgain));

    EXPECT_TRUE(Disjoint(row.outputDef(), row.outputDef()));

    std::list<DataDefinitionPtr> const errors = row.errorDefs();
    std::list<DataDefinitionPtr> const errorsAgain = row.errorDefs();
    ASSERT_EQ(errors.size(), errorsAgain.size());
    for (auto i = errors.begin(), j = errorsAgain.begin(); i != errors.end(); ++i, ++j) {
      EXPECT_TRUE(Disjoint(*i, *j));
    }
  }
}

// The entries of a null-terminated string table.
Names TableOf(char const* const* values) {
  Names entries;
  for (; *values; ++values) entries.emplace_back(*values);
  return entries;
}

TEST(PackageTables, EnumerationAndUnionTables) {
  struct Row {
    char const* label;
    char const* const* values;
    Names expected;
  };
  Row const rows[] = {
      {"ProviderType", Providers::ProviderType::Strings::values,
       {"NATIVE", "TRUST_AUTHORITY", "_UNKNOWN"}},
      {"ReportType", Reports::ReportType::Strings::values, {"REPORTING_JWT", "_UNKNOWN"}},
      {"InfoAnnotations::UnionTags", Providers::InfoAnnotations::UnionTags::Strings::values,
       {"type", "_UNKNOWN"}},
      {"InfoAnnotations::NativeInfoUnionCases",
       Providers::InfoAnnotations::NativeInfoUnionCases::Strings::values, {"NATIVE", "_UNKNOWN"}},
      {"SummaryAnnotations::UnionTags", Reports::SummaryAnnotations::UnionTags::Strings::values,
       {"type", "_UNKNOWN"}},
      {"SummaryAnnotations::ReportingJwtUnionCases",
       Reports::SummaryAnnotations::ReportingJwtUnionCases::Strings::values,
       {"REPORTING_JWT", "_UNKNOWN"}},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(TableOf(row.values), row.expected);
  }

  // An enumerator's number indexes its wire string.
  struct Enumerator {
    int value;
    char const* const* values;
    char const* wire;
  };
  Enumerator const enumerators[] = {
      {Providers::ProviderType::NATIVE, Providers::ProviderType::Strings::values, "NATIVE"},
      {Providers::ProviderType::TRUST_AUTHORITY, Providers::ProviderType::Strings::values,
       "TRUST_AUTHORITY"},
      {Providers::ProviderType::_UNKNOWN, Providers::ProviderType::Strings::values, "_UNKNOWN"},
      {Reports::ReportType::REPORTING_JWT, Reports::ReportType::Strings::values, "REPORTING_JWT"},
      {Reports::ReportType::_UNKNOWN, Reports::ReportType::Strings::values, "_UNKNOWN"},
  };
  for (auto const& e : enumerators) {
    SCOPED_TRACE(e.wire);
    EXPECT_STREQ(e.values[e.value], e.wire);
  }
}

TEST(PackageTables, UnionCasePredicates) {
  struct Row {
    DataDefinitionPtr (*describe)();
    char const* caseField;
    char const* tagValue;
    bool active;
  };
  Row const rows[] = {
      {&DescribeType<Providers::Info>, "native_info", "NATIVE", true},
      {&DescribeType<Providers::Info>, "native_info", "TRUST_AUTHORITY", false},
      {&DescribeType<Providers::Info>, "native_info", "_UNKNOWN", false},
      {&DescribeType<Providers::Info>, "native_info", "", false},
      {&DescribeType<Providers::Info>, "native_info", "native", false},
      {&DescribeType<Reports::Summary>, "reporting_jwt", "REPORTING_JWT", true},
      {&DescribeType<Reports::Summary>, "reporting_jwt", "_UNKNOWN", false},
      {&DescribeType<Reports::Summary>, "reporting_jwt", "", false},
      {&DescribeType<Reports::Summary>, "reporting_jwt", "FUTURE_KIND", false},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(std::string(row.caseField) + " for \"" + row.tagValue + "\"");
    auto const structure =
        std::dynamic_pointer_cast<Tirn::Data::StructDefinition const>(row.describe());
    ASSERT_NE(structure, nullptr);
    auto const field = structure->fields().find(row.caseField);
    ASSERT_NE(field, structure->fields().end());
    auto const unionCase =
        std::dynamic_pointer_cast<Tirn::Data::UnionCaseDefinition const>(field->second);
    ASSERT_NE(unionCase, nullptr);
    EXPECT_EQ(unionCase->tagName(), "type");
    ASSERT_TRUE(unionCase->predicate());
    boost::logic::tribool const answer = unionCase->predicate()(row.tagValue);
    EXPECT_FALSE(boost::logic::indeterminate(answer));
    EXPECT_EQ(static_cast<bool>(answer), row.active);
  }
}

}  // namespace
