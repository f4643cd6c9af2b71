// Runs Debian's scanimage against the backend through SANE's dll
// meta-backend, with its own SANE configuration directory.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// A directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int exit_code = -1;  // -1: killed by a signal
  std::string out;
  std::string err;
  long peak_rss_kb = 0;  // scanimage's peak resident memory
};

// This process's environment with `extra` set over it, as "NAME=VALUE"
// strings for posix_spawn.
std::vector<std::string> environment_with(const std::map<std::string, std::string> &extra);

class Scanimage {
 public:
  // A SANE configuration in its own directory: dll.conf naming bbescl,
  // bbescl.conf listing `device_uris`.
  explicit Scanimage(const std::vector<std::string> &device_uris);

  // Environment added to every run (BBESCL_PLUGIN, SANE_DEBUG_BBESCL...).
  void set_env(const std::string &name, const std::string &value) { env_[name] = value; }

  // Runs scanimage with `args` in the temporary directory and waits.
  RunResult run(const std::vector<std::string> &args);

  // Starts scanimage and returns at once; wait() collects it.
  pid_t spawn(const std::vector<std::string> &args);
  RunResult wait(pid_t pid);
  // What the running scanimage wrote to stderr so far.
  std::string stderr_so_far() const;

  const TempDir &dir() const { return dir_; }
  // The file where the channel library remembers TLS devices' keys.
  std::string known_devices() const { return dir_.file("state/bbescl/known-devices"); }
  std::string config_dir() const { return dir_.file("sane.d"); }

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
};

std::string read_file(const std::string &path);

}  // namespace e2e
