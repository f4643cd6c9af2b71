#include "host_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

extern char **environ;

namespace host {

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

Environment backend_environment(const std::string &state_dir) {
  return {
      {"LD_LIBRARY_PATH", std::string(BBESCL_BACKEND_DIR) + ":" + BBESCL_KVCHAN_DIR + ":" + BBESCL_PLUGIN_DIR},
      {"BBESCL_PLUGIN", BBESCL_PLUGIN_PATH},
      {"XDG_STATE_HOME", state_dir},
  };
}

Environment sanitizer_environment() {
  if (!*BBESCL_SANITIZER_PRELOAD) return {};
  // The host program leaks on its own, hence no leak check; any other
  // report ends it with an exit code of its own and is found in its output.
  return {
      {"LD_PRELOAD", BBESCL_SANITIZER_PRELOAD},
      {"ASAN_OPTIONS", "detect_leaks=0:halt_on_error=1:exitcode=86:abort_on_error=0"},
      {"UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1:exitcode=87"},
  };
}

std::string sanitizer_report(const std::string &output) {
  for (const char *report : {"ERROR: AddressSanitizer", "runtime error:", "SUMMARY: AddressSanitizer",
                             "SUMMARY: UndefinedBehaviorSanitizer"}) {
    const size_t at = output.find(report);
    if (at != std::string::npos) return output.substr(at, 4000);
  }
  return {};
}

std::unique_ptr<escl_sim::Server> start_simulator(escl_sim::Config cfg) {
  cfg.log_requests = false;
  cfg.keep_pages = false;
  auto sim = std::make_unique<escl_sim::Server>(cfg);
  if (!sim->start(0)) throw std::runtime_error("the simulator does not start: " + sim->last_error());
  return sim;
}

void write_backend_config(const std::string &dir, const std::string &url) {
  write_file(dir + "/bbescl.conf", "# written by the host-program tests\ndiscovery = off\n" + url + "\n");
}

Child::Child(const std::vector<std::string> &argv, const Environment &extra, const std::string &out_path,
             const std::string &err_path) {
  std::vector<std::string> env_text = e2e::environment_with(extra);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A group of its own, so that what it forks (saned a process a client
  // and one for DNS-SD) ends with it; and those it leaves behind come to
  // this process to be reaped, not to an init that may never reap them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  if (posix_spawn(&pid_, args[0], &files, &attributes, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
}

Child::~Child() { stop(); }

bool Child::ended_within(int timeout_ms) {
  for (double deadline = now_ms() + timeout_ms;;) {
    // WNOWAIT: the program stays a zombie, so its pid, the group's id, is
    // no one else's until it is reaped.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_)
      return true;
    if (timeout_ms >= 0 && now_ms() > deadline) return false;
    usleep(10000);
  }
}

void Child::reap() {
  kill(-pid_, SIGKILL);  // what the program left running
  int status = 0;
  waitpid(pid_, &status, 0);
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  while (waitpid(-pid_, nullptr, 0) > 0) {
  }
  pid_ = -1;
}

bool Child::wait_for(int timeout_ms) {
  if (pid_ <= 0) return true;
  if (!ended_within(timeout_ms)) return false;
  reap();
  return true;
}

void Child::stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  if (!ended_within(3000)) {
    kill(-pid_, SIGKILL);
    ended_within(-1);
  }
  reap();
}

int run_program(const std::vector<std::string> &argv, const Environment &extra, int timeout_ms) {
  Child child(argv, extra, "/dev/null", "/dev/null");
  if (!child.started()) return -1;
  return child.wait_for(timeout_ms) ? child.exit_code() : -1;
}

bool private_mounts_allowed() {
  static const bool allowed =
      *UNSHARE_PATH && run_program({UNSHARE_PATH, "--mount", "--propagation", "private", "/bin/true"}, {}, 10000) == 0;
  return allowed;
}

}  // namespace host
