// For tests of the server program: a temporary directory that goes away with its object, a
// whole file read as bytes, and a file written with its mode.
#ifndef TESTS_TEST_FILES_H_
#define TESTS_TEST_FILES_H_

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace ServerApp {
namespace Testing {

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tirn-server-XXXXXX").string();
    path = mkdtemp(&pattern[0]) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  std::string path;
};

// The file's bytes; empty when it cannot be read.
inline std::string ReadAll(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// `text` in a file at `path` (made or emptied) with `mode`; its path.
inline std::string WriteFile(std::string const& path, std::string const& text, mode_t mode = 0600) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
  return path;
}

}  // namespace Testing
}  // namespace ServerApp

#endif  // TESTS_TEST_FILES_H_
