#include "private_network.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "avahi_browse.h"

extern char **environ;

namespace e2e {

namespace {

constexpr const char *kInsideMark = "BBESCL_E2E_PRIVATE_NETWORK";

std::string &refusal() {
  static std::string text;
  return text;
}

long long now_millis() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int run_quietly(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()); }

const char kBusConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// Only the namespace's loopback; nothing published of the machine itself.
const char kAvahiConfig[] = R"([server]
use-ipv4=yes
use-ipv6=yes
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
)";

std::string replace_dir(std::string text, const std::string &dir) {
  const size_t at = text.find("@DIR@");
  if (at != std::string::npos) text.replace(at, 5, dir);
  return text;
}

}  // namespace

void enter_private_network(int argc, char **argv) {
  if (getenv(kInsideMark)) {
    // Inside: a /run of our own (the daemon's pid file and socket), lo up.
    if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
      refusal() = std::string("cannot mount a private /run: ") + strerror(errno);
      return;
    }
    mkdir("/run/avahi-daemon", 0755);
    if (run_quietly("ip link set lo up") != 0 || run_quietly("ip link set lo multicast on") != 0)
      refusal() = "cannot bring the namespace's loopback up (ip from iproute2)";
    return;
  }
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) return;
  if (geteuid() != 0) {
    refusal() = "needs root to make a private network namespace (unshare --net)";
    return;
  }
  if (run_quietly("unshare --net --mount true") != 0) {
    refusal() = "unshare --net --mount is refused here";
    return;
  }
  setenv(kInsideMark, "1", 1);
  std::vector<char *> args{const_cast<char *>("unshare"), const_cast<char *>("--net"),
                           const_cast<char *>("--mount"), const_cast<char *>("--")};
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execvp("unshare", args.data());
  refusal() = std::string("cannot run unshare: ") + strerror(errno);
}

const std::string &unshare_refusal() { return refusal(); }

Child::Child(const std::vector<std::string> &argv) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    // Ends with the test even when the test dies without stopping it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(pipe_fds[1], STDOUT_FILENO);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  out_ = pipe_fds[0];
  pid_ = pid;
}

Child::~Child() {
  stop();
  if (out_ >= 0) close(out_);
}

std::string Child::first_line(int millis) {
  const long long deadline = now_millis() + millis;
  while (pending_.find('\n') == std::string::npos) {
    const long long left = deadline - now_millis();
    pollfd p{out_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return {};
    char buffer[512];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<size_t>(n));
  }
  const size_t end = pending_.find('\n');
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

std::string Child::rest_of_output() {
  char buffer[4096];
  ssize_t n;
  while ((n = read(out_, buffer, sizeof buffer)) > 0) pending_.append(buffer, static_cast<size_t>(n));
  std::string all;
  all.swap(pending_);
  return all;
}

int Child::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Child::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    usleep(50000);
  }
  kill(pid_, SIGKILL);
  return wait();
}

PrivateAvahi::PrivateAvahi() {
  // The namespace's own /run; one path for every test of the process, as
  // the D-Bus library reads the bus address only once.
  dir_ = "/run/bbescl-e2e";
  if (mkdir(dir_.c_str(), 0755) != 0 && errno != EEXIST) {
    error_ = "cannot make " + dir_;
    return;
  }
  std::ofstream(dir_ + "/bus.conf") << replace_dir(kBusConfig, dir_);
  std::ofstream(dir_ + "/avahi-daemon.conf") << kAvahiConfig;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_ + "/bus").c_str(), 1);
  bus_ = new Child({"dbus-daemon", "--nofork", "--print-address", "--config-file=" + dir_ + "/bus.conf"});
  if (bus_->first_line(10000).empty()) {
    error_ = "the D-Bus daemon did not start";
    return;
  }
  avahi_ = new Child({"avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "-f",
                      dir_ + "/avahi-daemon.conf"});
  const long long deadline = now_millis() + 10000;
  while (!bbescl::discovery::browse(0).daemon_running) {
    if (now_millis() > deadline) {
      error_ = "the Avahi daemon did not answer within 10 s";
      return;
    }
    usleep(50000);
  }
}

void PrivateAvahi::stop_daemon() {
  delete avahi_;
  avahi_ = nullptr;
}

PrivateAvahi::~PrivateAvahi() {
  stop_daemon();
  delete bus_;
  unlink((dir_ + "/bus").c_str());
}

}  // namespace e2e
