// escl-sim: runs the simulated scanner until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>

#include "announce_txt.h"
#include "avahi_announce.h"
#include "capabilities.h"
#include "simulator.h"

namespace {

// How long the daemon may take to establish the name (it probes first).
constexpr int kAnnounceMillis = 10000;

bool announce(const escl_sim::Config &cfg, uint16_t port, bbescl::discovery::Announcement &announcement) {
  escl_sim::DeviceModel model;
  std::string error;
  if (!escl_sim::load_device_model(cfg.profile, model, error) ||
      !announcement.start(cfg.announce, port, cfg.tls, escl_sim::announce_txt(model), kAnnounceMillis, error)) {
    std::fprintf(stderr, "escl-sim: cannot announce %s: %s\n", cfg.announce.c_str(), error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  escl_sim::Config cfg;
  std::string error;
  if (!escl_sim::parse_args(argc, argv, cfg, error)) {
    std::fprintf(stderr, "escl-sim: %s\nTry 'escl-sim --help'.\n", error.c_str());
    return 2;
  }
  if (cfg.help) {
    std::fputs(escl_sim::usage().c_str(), stdout);
    return 0;
  }
  // A long run would otherwise keep every page it ever sent.
  cfg.keep_pages = false;

  // The signals are taken by sigwait below; blocked before any thread starts
  // so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  escl_sim::Server server(cfg);
  if (!server.start(static_cast<uint16_t>(cfg.port))) {
    std::fprintf(stderr, "escl-sim: %s\n", server.last_error().c_str());
    return 1;
  }
  // Withdrawn when the program ends.
  bbescl::discovery::Announcement announcement;
  if (!cfg.announce.empty() && !announce(cfg, server.port(), announcement)) {
    server.stop();
    return 1;
  }
  std::printf("%s\n", server.base_url().c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&signals, &sig);
  server.stop();
  return 0;
}
