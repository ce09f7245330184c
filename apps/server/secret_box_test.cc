#include "apps/server/secret_box.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tests/test_files.h"

namespace ServerApp {
namespace {

TEST(SecretBox, OpensOnlyWhatItSealedForTheSameBinding) {
  std::string error;
  auto box = SecretBox::WithRandomKey(error);
  auto other = SecretBox::WithRandomKey(error);
  ASSERT_TRUE(box && other) << error;
  for (std::string const& plaintext : {std::string(), std::string("k"), std::string(1000, 'z')}) {
    SCOPED_TRACE(plaintext.size());
    std::string sealed;
    std::string again;
    ASSERT_TRUE(box->Seal(plaintext, "provider:a", sealed, error)) << error;
    ASSERT_TRUE(box->Seal(plaintext, "provider:a", again, error)) << error;
    EXPECT_EQ(sealed.size(), SecretBox::kNonceSize + plaintext.size() + SecretBox::kTagSize);
    EXPECT_NE(sealed, again) << "each seal needs a fresh nonce";
    Tirn::SecretString opened;
    ASSERT_TRUE(box->Open(sealed, "provider:a", opened));
    EXPECT_EQ(opened.value(), plaintext);
    EXPECT_FALSE(box->Open(sealed, "provider:b", opened)) << "moved to another record";
    EXPECT_FALSE(other->Open(sealed, "provider:a", opened)) << "another key";
    std::string tampered = sealed;
    tampered[tampered.size() / 2] ^= 1;
    EXPECT_FALSE(box->Open(tampered, "provider:a", opened));
    EXPECT_FALSE(box->Open(sealed.substr(0, SecretBox::kNonceSize + SecretBox::kTagSize - 1),
                           "provider:a", opened));
  }
}

TEST(SecretBox, KeyFilesAreCreatedOnceAndReadInBothForms) {
  Testing::TempDir dir;
  std::string const created = dir.path + "/created.key";
  std::string error;
  auto box = SecretBox::CreateKeyFile(created, error);
  ASSERT_TRUE(box) << error;
  struct stat status {};
  ASSERT_EQ(stat(created.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_FALSE(SecretBox::CreateKeyFile(created, error)) << "an existing key is never replaced";
  // What it wrote opens the secrets again: SqliteFile.SecretsAreSealedWithAKeyFileMadeForThem.

  struct Case {
    char const* name;
    std::string content;
    bool valid;
  } const cases[] = {
      {"raw", std::string(32, '\x07'), true},
      {"hex", std::string(64, 'a'), true},
      {"hex with line end", std::string(64, 'F') + "\r\n", true},
      {"short hex", std::string(62, 'a') + "\n", false},
      {"not hex", std::string(63, 'a') + "g", false},
      {"too long", std::string(100, 'a'), false},
      {"empty", "", false},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::string const path = dir.path + "/case-" + std::to_string(&c - cases) + ".key";
    std::ofstream(path, std::ios::binary) << c.content;
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    error.clear();
    EXPECT_EQ(SecretBox::FromKeyFile(path, error) != nullptr, c.valid) << error;
    if (!c.valid) {
      EXPECT_NE(error.find(path), std::string::npos) << error;
    }
  }
  EXPECT_FALSE(SecretBox::FromKeyFile(dir.path + "/missing.key", error));
}

}  // namespace
}  // namespace ServerApp
