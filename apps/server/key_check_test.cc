#include "apps/server/key_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using ServerApp::SecretBox;
namespace KeyCheck = ServerApp::KeyCheck;
using Verdict = KeyCheck::Verdict;

// Every combination of a check value (none, this key's, another key's, damaged) and a
// fingerprint (none, this key's, another key's) gets the verdict that the stores act on.
TEST(KeyCheck, JudgesEveryCombinationOfCheckValueAndFingerprint) {
  std::string error;
  std::unique_ptr<SecretBox> const ours = SecretBox::WithRandomKey(error);
  std::unique_ptr<SecretBox> const theirs = SecretBox::WithRandomKey(error);
  ASSERT_TRUE(ours && theirs) << error;
  std::string ourCheck, theirCheck;
  ASSERT_TRUE(KeyCheck::Seal(*ours, ourCheck, error)) << error;
  ASSERT_TRUE(KeyCheck::Seal(*theirs, theirCheck, error)) << error;
  std::string damaged = ourCheck;
  damaged.back() = static_cast<char>(damaged.back() ^ 1);

  std::string const ourPrint = ours->Fingerprint();
  std::string const theirPrint = theirs->Fingerprint();
  struct Row {
    char const* what;
    KeyCheck::Stored stored;
    Verdict verdict;
  } const rows[] = {
      {"nothing yet", {}, Verdict::kSealNew},
      {"ours, with our fingerprint", {true, ourCheck, true, ourPrint}, Verdict::kMatches},
      {"ours, from before fingerprints", {true, ourCheck, false, ""}, Verdict::kAddFingerprint},
      {"ours, beside their fingerprint", {true, ourCheck, true, theirPrint},
       Verdict::kFingerprintDamaged},
      {"damaged, beside our fingerprint", {true, damaged, true, ourPrint}, Verdict::kCheckDamaged},
      {"theirs, with their fingerprint", {true, theirCheck, true, theirPrint}, Verdict::kOtherKey},
      {"theirs, from before fingerprints", {true, theirCheck, false, ""},
       Verdict::kOtherKeyOrDamaged},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    Verdict const verdict = KeyCheck::Judge(*ours, ourPrint, row.stored);
    EXPECT_EQ(verdict, row.verdict);
    bool const damage = verdict == Verdict::kFingerprintDamaged || verdict == Verdict::kCheckDamaged;
    EXPECT_EQ(KeyCheck::DamageReport(verdict).empty(), !damage);
  }
  EXPECT_NE(KeyCheck::OtherKeyText(Verdict::kOtherKey, "the data file x.db", "the file")
                .find("--key-file NEW"),
            std::string::npos);
  EXPECT_NE(KeyCheck::OtherKeyText(Verdict::kOtherKeyOrDamaged, "the database d", "the database")
                .find("restore the database from a backup"),
            std::string::npos);
}

}  // namespace
