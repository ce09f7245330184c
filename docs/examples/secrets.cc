// Secrets, as the guide shows them (docs/guide.md, "Secrets"): readable only through value(),
// printed as a mask, wiped when released.
// [secrets-includes]
#include <cstdio>
#include <list>
#include <memory>
#include <sstream>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/secret_string.h"
// [secrets-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "secrets.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

// [secrets-names]
namespace Providers = Com::Ostrel::Nox::TrustedInfrastructure::Kms::ProvidersSvc;
// [secrets-names]

}  // namespace

int main() {
  // [secrets]
  Tirn::SecretString key(std::string("correct horse battery staple"));  // the temporary is wiped
  std::ostringstream log;
  log << "key: " << key;  // "key: <secret>"
  auto spec = std::make_shared<Providers::NativeProviderCreateSpec>();
  spec->key_derivation_key = key;  // a copy; both are wiped when released

  std::string const& text = key.value();  // the one way to read it
  bool usable = text.size() == 28;
  key.clear();  // wiped now rather than at destruction
  // [secrets]
  spec->key_id = "key-1";
  Tirn::Data::DataValuePtr value;
  std::list<Tirn::BaseMessage> messages;
  bool converted = Tirn::Data::NativeToValueAdapter::Adapt(
      spec.get(),
      Tirn::Data::NativeToValueAdapter::AdaptMethod<Providers::NativeProviderCreateSpec>::Get(),
      &value, messages, Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
  std::string printed = Tirn::Data::ToDebugString(value);
  CHECK(log.str() == "key: <secret>");
  CHECK(converted);
  CHECK(printed ==
        "com.ostrel.nox.trusted_infrastructure.kms.providers.native_provider_create_spec{"
        "key_derivation_key: <secret>, key_id: \"key-1\"}");
  CHECK(printed.find("horse") == std::string::npos);
  CHECK(usable);
  CHECK(key.empty());
  CHECK(spec->key_derivation_key.value() == "correct horse battery staple");

  if (failures == 0) std::printf("secrets: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
