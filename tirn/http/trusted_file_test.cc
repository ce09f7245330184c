#include "tirn/http/trusted_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_files.h"

namespace {

using Folder = ServerApp::Testing::TempDir;

std::string Write(std::string const& path, std::string const& text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
  return path;
}

Tirn::Http::TrustedFile Rule(std::size_t maxSize = std::size_t(1) << 20, bool secret = false,
                             bool warnIfReadable = false) {
  Tirn::Http::TrustedFile rule;
  rule.what = "the test file";
  rule.maxSize = maxSize;
  rule.secret = secret;
  rule.warnIfReadable = warnIfReadable;
  return rule;
}

struct Case {
  char const* name;
  // A regular file holding `text`, made with `mode`: what a read gives.
  char const* text;
  mode_t mode;
  Tirn::Http::TrustedFile rule;
  // Empty: read; otherwise a part of the error.
  char const* refusal;
  // Read with a warning that holds this and the path; empty: without one.
  char const* warning = "";
  // Makes a file of another kind in `folder` and returns its path.
  std::function<std::string(std::string const& folder)> make = nullptr;
};

TEST(TrustedFile, OnlyARegularFileKeptAsTheRuleSaysIsRead) {
  std::vector<Case> const cases = {
      {"plain", "x 1\n", 0644, Rule(), ""},
      {"empty", "", 0600, Rule(), ""},
      {"at the bound", "12345", 0600, Rule(5), ""},
      {"past the bound", "123456", 0600, Rule(5), "is larger than 5 bytes"},
      {"missing", "", 0, Rule(), "cannot open the test file", "", [](auto& f) { return f + "/x"; }},
      {"a directory", "", 0, Rule(), "is a directory", "", [](auto& f) { return f; }},
      {"a device", "", 0, Rule(), "is a device", "",
       [](auto&) { return std::string("/dev/zero"); }},
      {"a FIFO nobody writes", "", 0, Rule(), "is a FIFO", "",
       [](auto& f) {
         ::mkfifo((f + "/fifo").c_str(), 0600);
         return f + "/fifo";
       }},
      {"others may write", "x", 0646, Rule(), "can be written by others"},
      {"a secret", "key", 0600, Rule(64, true), ""},
      {"a secret its group may read", "key", 0640, Rule(64, true), "can be read by its group"},
      {"a secret its group may write", "key", 0620, Rule(64, true), "can be written by its group"},
      {"a secret others may read", "key", 0604, Rule(64, true), "can be read by others"},
      // A file its group or others may read, read with a warning when the rule asks for one.
      {"a token", "token", 0600, Rule(64, false, true), ""},
      {"a token its group may read", "token", 0640, Rule(64, false, true), "", "chmod 600 "},
      {"a token others may read", "token", 0644, Rule(64, false, true), "", "chmod 600 "},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    Folder folder;
    ASSERT_FALSE(folder.path.empty());
    std::string const path =
        c.make ? c.make(folder.path) : Write(folder.path + "/f", c.text, c.mode);
    std::string text = "what was there before";
    std::string error;
    std::string warning = "stale";
    auto const began = std::chrono::steady_clock::now();
    bool const read = c.rule.warnIfReadable
                          ? Tirn::Http::ReadTrustedFile(path, c.rule, text, error, &warning)
                          : Tirn::Http::ReadTrustedFile(path, c.rule, text, error);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    if (*c.refusal == '\0') {
      EXPECT_TRUE(read) << error;
      EXPECT_EQ(text, c.text);
      if (c.rule.warnIfReadable) {
        EXPECT_EQ(warning.empty(), *c.warning == '\0') << warning;
        EXPECT_NE(warning.find(*c.warning ? c.warning + path : ""), std::string::npos) << warning;
      }
    } else {
      EXPECT_FALSE(read);
      EXPECT_EQ(text, "");
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
      EXPECT_NE(error.find(path), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
  }
}

TEST(TrustedFile, AFileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  Folder folder;
  std::string const path = Write(folder.path + "/a", "x", 0644);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  std::string text;
  std::string error;
  EXPECT_FALSE(Tirn::Http::ReadTrustedFile(path, Rule(), text, error));
  EXPECT_NE(error.find("belongs to user 65534"), std::string::npos) << error;
}

}  // namespace
