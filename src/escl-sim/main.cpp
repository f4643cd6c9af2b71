// escl-sim: runs the simulated scanner until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>

#include "simulator.h"

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
  std::printf("%s\n", server.base_url().c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&signals, &sig);
  server.stop();
  return 0;
}
