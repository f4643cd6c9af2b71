// Documents captured from real scanners live beside the repository, not in
// it: a clone on its own skips the tests that read them, and says so.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace captured {

// BBESCL_DEVICES_DIR when set, else the folder named at configure time.
inline std::string dir() {
  const char *env = getenv("BBESCL_DEVICES_DIR");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(BB_DEVICES_DIR);
}

inline std::string path(const std::string &file) { return dir() + "/" + file; }

// A file's bytes, empty when it cannot be read.
inline std::string read_file(const std::string &file_path) {
  std::ifstream in(file_path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline bool available() {
  struct stat st {};
  return stat(dir().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace captured

// At the top of a test that reads captured documents.
#define SKIP_WITHOUT_CAPTURED_DEVICES()                                                       \
  do {                                                                                        \
    if (!captured::available())                                                               \
      GTEST_SKIP() << "captured device documents not found in " << captured::dir()            \
                   << " (set BBESCL_DEVICES_DIR or configure with -DBB_DEVICES_DIR=FOLDER)"; \
  } while (0)
