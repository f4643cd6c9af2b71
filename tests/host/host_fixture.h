// What the host-program tests share: the environment in which a host
// program loads the backend from the build, child processes whose waits are
// bounded, and the simulator with a device that names it.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scanimage_runner.h"
#include "simulator.h"

namespace host {

using Environment = std::map<std::string, std::string>;

double now_ms();  // monotonic
void write_file(const std::string &path, const std::string &text);

// LD_LIBRARY_PATH and the plug-in for a host program that loads the backend
// as built, the channel library's memory of TLS keys under state_dir.  SANE's
// dll meta-backend searches LD_LIBRARY_PATH for the backend; the dynamic
// loader reads it for the channel library only when the program starts.
Environment backend_environment(const std::string &state_dir);

// A program not built with the sanitizers (saned) needs their runtimes
// preloaded to load the sanitized copies of the backend; empty otherwise.
Environment sanitizer_environment();

// The first sanitizer report in a program's output, or empty.
std::string sanitizer_report(const std::string &output);

// The simulator on a free loopback port.
std::unique_ptr<escl_sim::Server> start_simulator(escl_sim::Config cfg);

// The backend's configuration in `dir`: the simulator's URL, and no DNS-SD
// browsing (no Avahi daemon answers on a test machine).
void write_backend_config(const std::string &dir, const std::string &url);

// A program started with `argv` (argv[0] a path), its environment this
// process's with `extra` over it, standard input from /dev/null and its
// output into out_path and err_path, in a process group of its own.  When
// it ends, what it left running of its group is killed; when the object
// goes, the group is stopped with SIGTERM, then SIGKILL.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const Environment &extra, const std::string &out_path,
        const std::string &err_path);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return pid_ > 0; }
  // Waits up to timeout_ms for the program to end; false while it runs.
  bool wait_for(int timeout_ms);
  // SIGTERM and a bounded wait, then SIGKILL.
  void stop();
  int exit_code() const { return exit_code_; }  // -1: killed by a signal, or still running

 private:
  bool ended_within(int timeout_ms);  // -1: as long as it takes
  void reap();

  pid_t pid_ = -1;
  int exit_code_ = -1;
};

// Runs a program to its end (at most timeout_ms) and returns its exit code,
// -1 when it was killed or ran too long.
int run_program(const std::vector<std::string> &argv, const Environment &extra, int timeout_ms);

// Whether this process may make private mount namespaces (root, or
// CAP_SYS_ADMIN): `unshare --mount` is tried once.
bool private_mounts_allowed();

}  // namespace host
