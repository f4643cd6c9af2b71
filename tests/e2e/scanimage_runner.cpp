#include "scanimage_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char **environ;

namespace e2e {

TempDir::TempDir() {
  char pattern[] = "/tmp/bbescl-e2e-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Scanimage::Scanimage(const std::vector<std::string> &device_uris) {
  std::filesystem::create_directories(config_dir());
  std::ofstream(config_dir() + "/dll.conf") << "bbescl\n";
  std::ofstream conf(config_dir() + "/bbescl.conf");
  conf << "# written by the end-to-end tests\n";
  for (const std::string &uri : device_uris) conf << uri << "\n";
  // The backend and the channel library by LD_LIBRARY_PATH, as the dll
  // meta-backend searches it; the plug-in by its soname there too.
  env_["SANE_CONFIG_DIR"] = config_dir();
  // Keys of TLS devices are remembered here, never in a real home.
  env_["XDG_STATE_HOME"] = dir_.file("state");
  env_["LD_LIBRARY_PATH"] = std::string(BBESCL_BACKEND_DIR) + ":" + BBESCL_KVCHAN_DIR + ":" + BBESCL_PLUGIN_DIR;
  // Sanitized copies of the libraries: scanimage itself is not built with
  // the runtimes, so they are preloaded.  It leaks on its own, hence no
  // leak check; any other report ends it and fails the test (see wait()).
  if (*BBESCL_SANITIZER_PRELOAD) {
    env_["LD_PRELOAD"] = BBESCL_SANITIZER_PRELOAD;
    env_["ASAN_OPTIONS"] = "detect_leaks=0:halt_on_error=1:exitcode=86:abort_on_error=0";
    env_["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1:exitcode=87";
  }
}

std::vector<std::string> environment_with(const std::map<std::string, std::string> &extra) {
  std::vector<std::string> env_text;
  for (char **e = environ; *e; ++e) {
    const std::string entry(*e);
    if (!extra.count(entry.substr(0, entry.find('=')))) env_text.push_back(entry);
  }
  for (const auto &[name, value] : extra) env_text.push_back(name + "=" + value);
  return env_text;
}

pid_t Scanimage::spawn(const std::vector<std::string> &args) {
  std::vector<std::string> env_text = environment_with(env_);

  std::vector<char *> argv{const_cast<char *>(SCANIMAGE_PATH)};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&files, dir_.path().c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, SCANIMAGE_PATH, &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  if (rc != 0) throw std::runtime_error("cannot start " SCANIMAGE_PATH);
  return pid;
}

RunResult Scanimage::wait(pid_t pid) {
  RunResult r;
  int status = 0;
  rusage usage{};
  // Bounded: a hung scan must not hang the suite.
  for (int waited_ms = 0;; waited_ms += 20) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (waited_ms > 120000) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      r.err = "[killed after 120 s]\n";
      break;
    }
    usleep(20000);
  }
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.peak_rss_kb = usage.ru_maxrss;
  r.out = read_file(dir_.file("stdout"));
  r.err += read_file(dir_.file("stderr"));
  // Tests that expect scanimage to fail would otherwise pass on a report.
  for (const char *report : {"ERROR: AddressSanitizer", "runtime error:", "SUMMARY: AddressSanitizer",
                             "SUMMARY: UndefinedBehaviorSanitizer"})
    if (r.err.find(report) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from scanimage:\n" << r.err;
      break;
    }
  return r;
}

RunResult Scanimage::run(const std::vector<std::string> &args) { return wait(spawn(args)); }

std::string Scanimage::stderr_so_far() const { return read_file(dir_.file("stderr")); }

}  // namespace e2e
