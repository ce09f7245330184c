// Resource metadata, as the guide shows it (docs/guide.md, "Resource metadata"): which resource
// the identifiers in a structure's fields name.
// [metadata-includes]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
// [metadata-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "metadata.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

}  // namespace

int main() {
  // [metadata-names]
  namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
  namespace Providers = Ti::Kms::ProvidersSvc;
  namespace Reports = Ti::Attestation::ReportsSvc;
  // [metadata-names]

  // [metadata]
  std::shared_ptr<Tirn::Metadata::StructInfo> info =
      Tirn::Metadata::StructInfo::Create<Providers::Summary>();
  // info->name == "com.ostrel.nox.trusted_infrastructure.kms.Providers.Summary"
  // info->fields.at("provider")->resourceType ==
  //   "com.ostrel.nox.trusted_infrastructure.kms.provider", as Providers::Constants::RESOURCE_TYPE

  auto jwt = Tirn::Metadata::StructInfo::Create<Reports::ReportingJwt>();
  // jwt->fields.at("service")->resourceType ==
  //   "com.ostrel.nox.trusted_infrastructure.attestation.service"
  // [metadata]
  CHECK(info->name == "com.ostrel.nox.trusted_infrastructure.kms.Providers.Summary");
  CHECK(info->fields.size() == 1);
  CHECK(info->fields.at("provider")->resourceType ==
        "com.ostrel.nox.trusted_infrastructure.kms.provider");
  CHECK(std::strcmp(Providers::Constants::RESOURCE_TYPE,
                    "com.ostrel.nox.trusted_infrastructure.kms.provider") == 0);
  CHECK(jwt->fields.at("service")->resourceType ==
        "com.ostrel.nox.trusted_infrastructure.attestation.service");
  auto report = Tirn::Metadata::StructInfo::Create<Reports::Summary>();
  CHECK(report->fields.at("report")->resourceType ==
        "com.ostrel.nox.trusted_infrastructure.attestation.report");
  auto filter = Tirn::Metadata::StructInfo::Create<Providers::FilterSpec>();
  CHECK(filter->fields.at("providers")->resourceType ==
        "com.ostrel.nox.trusted_infrastructure.kms.provider");

  if (failures == 0) std::printf("metadata: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
