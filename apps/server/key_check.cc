#include "apps/server/key_check.h"

#include "tirn/runtime/value/secret_string.h"

namespace ServerApp {
namespace KeyCheck {

namespace {

constexpr char kCheckText[] = "tirn-server records";

}  // namespace

bool Seal(SecretBox const& box, std::string& sealed, std::string& error) {
  return box.Seal(kCheckText, kCheckName, sealed, error);
}

bool Opens(SecretBox const& box, std::string const& sealed) {
  Tirn::SecretString opened;
  return box.Open(sealed, kCheckName, opened) && opened.value() == kCheckText;
}

Verdict Judge(SecretBox const& box, std::string const& fingerprint, Stored const& stored) {
  if (!stored.haveCheck) return Verdict::kSealNew;
  bool const opens = Opens(box, stored.sealed);
  bool const sameKey = stored.haveFingerprint && stored.fingerprint == fingerprint;
  if (opens) {
    if (sameKey) return Verdict::kMatches;
    return stored.haveFingerprint ? Verdict::kFingerprintDamaged : Verdict::kAddFingerprint;
  }
  if (sameKey) return Verdict::kCheckDamaged;
  return stored.haveFingerprint ? Verdict::kOtherKey : Verdict::kOtherKeyOrDamaged;
}

std::string DamageReport(Verdict verdict) {
  switch (verdict) {
    case Verdict::kFingerprintDamaged:
      return "the key fingerprint it holds does not match the key its check value opens with";
    case Verdict::kCheckDamaged:
      return "its key-check value does not open, though the key is the one it was written with";
    default:
      return {};
  }
}

std::string OtherKeyText(Verdict verdict, std::string const& store, std::string const& copy) {
  if (verdict == Verdict::kOtherKey) {
    return store +
           " was written with another key; start the server with the key file it was sealed "
           "with (after a tirn-server rekey, that is the new one: --key-file NEW)";
  }
  return store +
         " was written with another key, or its key-check value is damaged; start the server "
         "with the key file it was created with, or restore " + copy + " from a backup";
}

}  // namespace KeyCheck
}  // namespace ServerApp
