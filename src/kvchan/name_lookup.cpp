#include "name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kvchan {
namespace {

std::atomic<Resolver> g_test_resolver{nullptr};

// getaddrinfo's answer as endpoints; true when it found any.  On failure
// `rc` is getaddrinfo's result and `saved_errno` the errno it left.
bool resolve(const DeviceAddress &address, int flags, std::vector<Endpoint> &found, int &rc,
             int &saved_errno) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  addrinfo *list = nullptr;
  std::string port = std::to_string(address.port);
  rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &list);
  saved_errno = errno;
  if (rc != 0) return false;
  for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Endpoint e;
    memcpy(&e.address, ai->ai_addr, ai->ai_addrlen);
    e.length = ai->ai_addrlen;
    e.family = ai->ai_family;
    e.socktype = ai->ai_socktype;
    e.protocol = ai->ai_protocol;
    found.push_back(e);
  }
  freeaddrinfo(list);
  return !found.empty();
}

std::string lookup_error(const DeviceAddress &address, int rc, int saved_errno) {
  return "cannot resolve " + address.host + ": " +
         (rc == EAI_SYSTEM ? error_text(saved_errno) : gai_strerror(rc));
}

// What the lookup thread hands over; shared, so that whichever of the two
// sides is left last frees it.  The thread also makes `done_fd` readable
// when it is done, so that a caller can wait for it and for the host's
// wake-up descriptor in one poll.
struct PendingLookup {
  PendingLookup() : done_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~PendingLookup() {
    if (done_fd >= 0) close(done_fd);
  }
  PendingLookup(const PendingLookup &) = delete;
  PendingLookup &operator=(const PendingLookup &) = delete;

  const int done_fd;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool ok = false;
  std::vector<Endpoint> found;
  std::string error;
};

void run_lookup(const std::shared_ptr<PendingLookup> &pending, const DeviceAddress &address,
                Resolver resolver) {
  std::vector<Endpoint> found;
  std::string error;
  bool ok = false;
  if (resolver != nullptr) {
    ok = resolver(address, found, error);
  } else {
    int rc = 0;
    int saved_errno = 0;
    ok = resolve(address, 0, found, rc, saved_errno);
    if (!ok) error = rc == 0 ? "cannot resolve " + address.host + ": no address"
                             : lookup_error(address, rc, saved_errno);
  }
  std::lock_guard lock(pending->mutex);
  pending->ok = ok;
  pending->found = std::move(found);
  pending->error = std::move(error);
  pending->done = true;
  pending->finished.notify_all();
  if (pending->done_fd >= 0) {
    const uint64_t one = 1;
    // A full counter is readable all the same: nothing to do on failure.
    [[maybe_unused]] ssize_t ignored = write(pending->done_fd, &one, sizeof one);
  }
}

// Waits for the lookup thread until `deadline`, or until `wake_fd` is
// readable; true when the thread is done.
bool wait_for_lookup(PendingLookup &pending, Deadline deadline, int wake_fd, bool &woken) {
  if (wake_fd < 0 || pending.done_fd < 0) {
    std::unique_lock lock(pending.mutex);
    return pending.finished.wait_until(lock, deadline, [&] { return pending.done; });
  }
  for (;;) {
    {
      std::lock_guard lock(pending.mutex);
      if (pending.done) return true;
    }
    const int left = milliseconds_left(deadline);
    if (left == 0) return false;
    pollfd p[2] = {{pending.done_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int n = poll(p, 2, left);
    if (n > 0 && p[1].revents != 0) {
      woken = true;
      return false;
    }
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

void set_resolver_for_tests(Resolver resolver) { g_test_resolver.store(resolver); }

std::string endpoint_text(const Endpoint &endpoint) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (endpoint.family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(&endpoint.address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  } else if (endpoint.family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&endpoint.address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  }
  return text;
}

bool look_up(const DeviceAddress &address, Deadline deadline, std::vector<Endpoint> &found,
             std::string &error, int wake_fd, bool *woken) {
  bool ignored = false;
  bool &ended = woken != nullptr ? *woken : ignored;
  ended = false;
  found.clear();
  // A numeric address needs no resolver and cannot block.
  int rc = 0;
  int saved_errno = 0;
  if (resolve(address, AI_NUMERICHOST, found, rc, saved_errno)) return true;
  if (rc != EAI_NONAME) {
    error = lookup_error(address, rc, saved_errno);
    return false;
  }

  auto pending = std::make_shared<PendingLookup>();
  try {
    std::thread(run_lookup, pending, address, g_test_resolver.load()).detach();
  } catch (const std::system_error &e) {
    error = "cannot look up " + address.host + ": " + e.what();
    return false;
  }
  if (!wait_for_lookup(*pending, deadline, wake_fd, ended)) {
    error = ended ? "name lookup of " + address.host + " cancelled"
                  : "name lookup of " + address.host + " timed out";
    return false;
  }
  std::lock_guard lock(pending->mutex);
  if (!pending->ok) {
    error = pending->error;
    return false;
  }
  found = std::move(pending->found);
  return true;
}

}  // namespace kvchan
