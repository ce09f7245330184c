#include "apps/common/suggest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Closest, FindsTheNameATypingMistakeMeant) {
  std::vector<std::string> const services = {"kms.providers", "kms.services",
                                             "attestation.services", "attestation.reports"};
  std::string const tooLong(100, 'k');
  struct Case {
    char const* wrong;
    char const* meant;  // empty: no suggestion
  } const cases[] = {
      {"kms.prodivers", "kms.providers"},         // two swapped
      {"KMS.Providers", ""},                      // the same name but for case: nothing to add
      {"attestation.report", "attestation.reports"},
      {"kms", ""},                                // too far from all of them
      {"frobnicate", ""},
      {"", ""},
      {tooLong.c_str(), ""},                      // longer than any name: not compared
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.wrong);
    EXPECT_EQ(Apps::Closest(c.wrong, services), c.meant);
  }
  // A one-letter name still allows one edit; nothing is said when nothing is close. (A missing
  // letter, the closest of several names and the words said: the tirn program's test.)
  EXPECT_EQ(Apps::Closest("x", {"y"}), "y");
  EXPECT_EQ(Apps::DidYouMean("zzz", {"list"}), "");
}

}  // namespace
