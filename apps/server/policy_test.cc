#include "apps/server/policy.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/test_files.h"

namespace ServerApp {
namespace {

TEST(Policy, PatternsMatchAnyCharactersDotsIncluded) {
  struct Case {
    char const* pattern;
    char const* operation;
    bool matches;
  };
  Case const cases[] = {
      {"*", "kms.providers.list", true},
      {"*.list", "kms.providers.list", true},
      {"*.list", "kms.providers.get", false},
      {"kms.providers.*", "kms.providers.create", true},
      {"kms.providers.*", "kms.services.create", false},
      {"kms.*.get", "kms.providers.get", true},
      {"kms.*.get", "kms.providers.getall", false},
      {"kms.providers.get", "kms.providers.get", true},
      {"kms.providers.get", "kms.providers.ge", false},
      {"*s*s*", "attestation.services.list", true},
      {"a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(Matches(c.pattern, c.operation), c.matches) << c.pattern << " ~ " << c.operation;
  }
}

// A malformed file is refused naming the line, and the policy read before stays.
TEST(Policy, ACallerMayCallWhatAnyOfItsRulesAllows) {
  Testing::TempDir dir;
  std::string const path = dir.path + "/policy";
  std::ofstream(path) << "# who what\nalice *\nbob *.list   # reading only\nbob kms.providers.get\n"
                         "\n- attestation.reports.*\n";
  Policy policy;
  std::string error;
  ASSERT_TRUE(ReadPolicyFile(path, policy, error)) << error;
  auto const allows = policy.Authorizer();
  EXPECT_TRUE(allows("alice", "kms.providers.delete"));
  EXPECT_TRUE(allows("bob", "kms.services.list"));
  EXPECT_TRUE(allows("bob", "kms.providers.get"));
  EXPECT_FALSE(allows("bob", "kms.providers.delete"));
  EXPECT_TRUE(allows("-", "attestation.reports.summary"));
  EXPECT_FALSE(allows("-", "kms.providers.list"));
  EXPECT_FALSE(allows("carol", "kms.providers.list"));  // no rule: nothing

  std::ofstream(path) << "alice *\nbob\n";
  EXPECT_FALSE(ReadPolicyFile(path, policy, error));
  EXPECT_EQ(error, path + ":2: a rule is '<caller> <pattern>'");
  EXPECT_TRUE(policy.Allows("bob", "kms.providers.get"));
  EXPECT_FALSE(ReadPolicyFile(dir.path + "/absent", policy, error));
}

// What is legal but surely not meant is said, with the line: a rule no operation matches, and
// a file without rules, which denies every call.
TEST(Policy, RulesThatMatchNothingAndEmptyFilesAreSaid) {
  Testing::TempDir dir;
  std::string const path = dir.path + "/policy";
  std::vector<std::string> const operations = {"kms.providers.list", "kms.providers.get"};
  struct Case {
    char const* text;
    std::vector<std::string> said;  // the start of each warning, after the path
  } const cases[] = {
      {"alice *\nbob *.list\n", {}},
      {"alice *\nbob kms.provider.*\nbob *.lst\n", {":2: the rule 'bob kms.provider.*' matches no operation", ":3: the rule 'bob *.lst'"}},
      {"", {" holds no rule: it denies every call"}},
      {"# nobody yet\n\n", {" holds no rule: it denies every call"}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(path) << c.text;
    Policy policy;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(ReadPolicyFile(path, policy, error, operations, &warnings)) << error;
    ASSERT_EQ(warnings.size(), c.said.size());
    for (std::size_t i = 0; i < warnings.size(); ++i) {
      EXPECT_NE(warnings[i].find(path + c.said[i]), std::string::npos) << warnings[i];
    }
  }
}

}  // namespace
}  // namespace ServerApp
