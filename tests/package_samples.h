// Samples of every structure of the package, for tests that convert them, and the names that
// the package tests share.
#ifndef TESTS_PACKAGE_SAMPLES_H_
#define TESTS_PACKAGE_SAMPLES_H_

#include <list>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/std/localizable_message.h"

namespace package_samples {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
namespace KmsServices = TI::Kms::ServicesSvc;
namespace AttServices = TI::Attestation::ServicesSvc;
namespace Reports = TI::Attestation::ReportsSvc;
using ProviderType = Providers::ProviderType;
using ReportType = Reports::ReportType;

std::string const kPackage = "com.ostrel.nox.trusted_infrastructure.";

template <class T>
std::string const& NameOf() {
  return Tirn::Data::TypeInfo<T>::name();
}

template <class T>
std::shared_ptr<T const> Ptr(T native) {
  return std::make_shared<T const>(std::move(native));
}

inline std::shared_ptr<TI::NetworkAddress const> Address(std::string host,
                                                         boost::optional<long long> port) {
  return Ptr(TI::NetworkAddress{{}, std::move(host), port});
}

inline std::shared_ptr<TI::X509CertChain const> Chain(std::list<std::string> certificates) {
  return Ptr(TI::X509CertChain{{}, std::move(certificates)});
}

// ---- Samples of every structure --------------------------------------------------------------

using Addresses = std::list<std::shared_ptr<TI::NetworkAddress const>>;
using Strings = std::set<std::string>;

// Key servers and attestation services have structures of the same shapes.
template <class Summary, class Info, class CreateSpec, class FilterSpec, class Check>
void ForEveryServicesStructure(Check const& check) {
  check(std::vector<Summary>{{{}, "svc-1", Address("kms.example", 5696LL), "host-group-7"},
                             {{}, "", Address("", boost::none), ""}});
  // Port 0 is a port, and certificates keep their order.
  check(std::vector<Info>{{{}, Address("attest.example", 0LL), Chain({"leaf", "mid", "root"}), "g"},
                          {{}, Address("h", boost::none), Chain({}), ""}});
  check(std::vector<CreateSpec>{{{}, Address("kms.example", 0LL), Chain({"z", "a"}), "g"},
                                {{}, Address("h", boost::none), Chain({}), ""}});
  check(std::vector<FilterSpec>{{{},
                                 Strings{"svc-2", "svc-1"},
                                 Addresses{Address("b", 443LL), Address("a", boost::none)},
                                 Strings{"g2", "g1"}},
                                {},
                                {{}, Strings{}, Addresses{}, Strings{}}});
}

// Calls `check` with samples of every structure of the package. The first sample of each
// differs from the second in every field.
template <class Check>
void ForEveryStructure(Check const& check) {
  check(std::vector<TI::NetworkAddress>{{{}, "kms.example", 0LL}, {{}, "", boost::none}});
  check(std::vector<TI::X509CertChain>{{{}, {"c", "a", "b"}}, {}});
  check(std::vector<Providers::NativeProviderInfo>{{{}, "key-1"}, {}});
  check(std::vector<Providers::Info>{
      {{}, ProviderType::NATIVE, Ptr(Providers::NativeProviderInfo{{}, "key-9"})},
      {{}, ProviderType(ProviderType::_UNKNOWN, "native"), nullptr},
      {{}, ProviderType::TRUST_AUTHORITY, nullptr}});
  check(std::vector<Providers::Summary>{
      {{},
       "provider-1",
       true,
       {Ptr(Com::Ostrel::Tirn::Std::LocalizableMessage{
           {}, "nox.kms.retry", "Retrying in {0} s", {"30"}, std::string("Nouvel essai")})},
       ProviderType(ProviderType::TRUST_AUTHORITY)},
      {{}, "", false, {}, boost::none}});
  check(std::vector<Providers::FilterSpec>{
      {{},
       Strings{"p-2", "p-1"},
       false,
       std::set<ProviderType>{ProviderType::TRUST_AUTHORITY, ProviderType::NATIVE,
                              ProviderType(ProviderType::_UNKNOWN, "native")}},
      {},
      {{}, Strings{}, boost::none, std::set<ProviderType>{}}});
  check(std::vector<Providers::NativeProviderCreateSpec>{
      {{}, "key-1", Tirn::SecretString("kdk-3e9a")}, {}});
  check(std::vector<Providers::CreateSpec>{
      {{},
       "provider-1",
       Ptr(Providers::NativeProviderCreateSpec{{}, "key-1", Tirn::SecretString("kdk-3e9a")})},
      {}});
  check(std::vector<Providers::NativeProviderUpdateSpec>{
      {{}, std::string("key-2")}, {}, {{}, std::string()}});
  check(std::vector<Providers::UpdateSpec>{
      {{}, Ptr(Providers::NativeProviderUpdateSpec{{}, std::string("key-2")})}, {}});
  ForEveryServicesStructure<KmsServices::Summary, KmsServices::Info, KmsServices::CreateSpec,
                            KmsServices::FilterSpec>(check);
  ForEveryServicesStructure<AttServices::Summary, AttServices::Info, AttServices::CreateSpec,
                            AttServices::FilterSpec>(check);
  check(std::vector<Reports::ReportingJwt>{{{}, "attestation-1", "g", "e30.c2ln"}, {}});
  check(std::vector<Reports::Summary>{
      {{}, "report-1", ReportType::REPORTING_JWT, Ptr(Reports::ReportingJwt{{}, "a-1", "", "e30"})},
      {{}, "", ReportType(ReportType::_UNKNOWN, "FUTURE_KIND"), nullptr}});
}

template <class Samples>
using SampleType = typename std::decay_t<Samples>::value_type;

}  // namespace package_samples

#endif  // TESTS_PACKAGE_SAMPLES_H_
