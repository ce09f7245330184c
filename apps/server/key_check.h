// The key check that both record stores keep in their meta table: a value sealed with the key
// the records are sealed with (under "key_check"), and that key's fingerprint beside it (under
// "key_fingerprint", SecretBox::Fingerprint). The check value opens only with the records' key;
// when it does not, the fingerprint tells a damaged check value (it is this key's) from another
// key (it is not). Stores written before the fingerprint was kept get it when next opened.
//
//   KeyCheck::Stored stored;                 // read from the meta table
//   switch (KeyCheck::Judge(box, box.Fingerprint(), stored)) {
//     case KeyCheck::Verdict::kSealNew: ...  // KeyCheck::Seal, then write both values
//     ...
//   }
//
// Free functions of a const SecretBox: as thread-safe as the box.
#ifndef APPS_SERVER_KEY_CHECK_H_
#define APPS_SERVER_KEY_CHECK_H_

#include <string>

#include "apps/server/secret_box.h"

namespace ServerApp {
namespace KeyCheck {

// The names of the two values in a store's meta table.
inline constexpr char kCheckName[] = "key_check";
inline constexpr char kFingerprintName[] = "key_fingerprint";

// The two values as a store read them.
struct Stored {
  bool haveCheck = false;
  std::string sealed;
  bool haveFingerprint = false;
  std::string fingerprint;
};

enum class Verdict {
  kSealNew,             // no check value yet: seal one with this key, and write the fingerprint
  kMatches,             // the records are sealed with this key
  kAddFingerprint,      // they are, and the fingerprint is missing: write it
  kFingerprintDamaged,  // the check value opens, but the fingerprint is another key's
  kCheckDamaged,        // the fingerprint is this key's, but the check value does not open
  kOtherKey,            // the records are another key's
  kOtherKeyOrDamaged,   // the check value does not open and no fingerprint tells why
};

// What `stored` says of `box`, whose fingerprint is `fingerprint`.
Verdict Judge(SecretBox const& box, std::string const& fingerprint, Stored const& stored);

// A new check value sealed with `box` into `sealed`; false with the reason.
bool Seal(SecretBox const& box, std::string& sealed, std::string& error);

// Whether `sealed` is a check value that opens with `box`.
bool Opens(SecretBox const& box, std::string const& sealed);

// For kFingerprintDamaged and kCheckDamaged, what is damaged; empty for the other verdicts.
std::string DamageReport(Verdict verdict);

// For kOtherKey and kOtherKeyOrDamaged, the refusal naming `store` ("the data file PATH"), and
// `copy` ("the file", "the database") as what a backup would restore.
std::string OtherKeyText(Verdict verdict, std::string const& store, std::string const& copy);

}  // namespace KeyCheck
}  // namespace ServerApp

#endif  // APPS_SERVER_KEY_CHECK_H_
