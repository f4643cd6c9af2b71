// Connecting within the connect time limit: the name lookup counts against
// it, and an address that never answers costs only its share of it, so the
// next address still gets its turn.  Names are resolved by a test resolver
// (the library's test seam); a "silent" address is a loopback listener
// whose accept queue is full, where the kernel drops further connection
// requests and the client waits in SYN retries, as with a device that is
// switched off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvchan.h"
#include "log_capture.h"
#include "name_lookup.h"
#include "tcp_socket.h"
#include "tcp_test_server.h"

namespace {

using kvchan::Clock;
using kvchan::DeviceAddress;
using kvchan::Endpoint;
using std::chrono::milliseconds;

// A listener on 127.0.0.1 that never completes another connection: its
// accept queue (backlog 0 holds one) is filled by a connection of its own.
class SilentAddress {
 public:
  SilentAddress() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    bind(listener_, reinterpret_cast<sockaddr *>(&a), len);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(listener_, 0);
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback(port_);
    connected_ = connect(filler_, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
  }
  ~SilentAddress() {
    close(filler_);
    close(listener_);
  }
  SilentAddress(const SilentAddress &) = delete;
  SilentAddress &operator=(const SilentAddress &) = delete;

  bool ready() const { return connected_; }
  uint16_t port() const { return port_; }

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }

 private:
  int listener_ = -1;
  int filler_ = -1;
  uint16_t port_ = 0;
  bool connected_ = false;
};

Endpoint loopback_endpoint(uint16_t port) {
  Endpoint e;
  sockaddr_in a = SilentAddress::loopback(port);
  memcpy(&e.address, &a, sizeof a);
  e.length = sizeof a;
  e.family = AF_INET;
  e.socktype = SOCK_STREAM;
  e.protocol = IPPROTO_TCP;
  return e;
}

// What the test resolver answers, and how it behaves.
struct ResolverScript {
  std::mutex mutex;
  std::vector<Endpoint> addresses;  // empty: the name is unknown
  bool hold = false;                // block until released
  std::atomic<int> calls{0};
  std::atomic<int> returned{0};
  std::atomic<bool> released{false};
};
ResolverScript g_script;

bool test_resolver(const DeviceAddress &address, std::vector<Endpoint> &found,
                   std::string &error) {
  ++g_script.calls;
  bool hold = false;
  {
    std::lock_guard lock(g_script.mutex);
    found = g_script.addresses;
    hold = g_script.hold;
  }
  // A resolver that hangs (an unreachable name server) until the test ends.
  while (hold && !g_script.released.load()) {
    poll(nullptr, 0, 10);
  }
  if (found.empty()) error = "cannot resolve " + address.host + ": Name or service not known";
  ++g_script.returned;
  return !found.empty();
}

class Connect : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(g_script.mutex);
      g_script.addresses.clear();
      g_script.hold = false;
    }
    g_script.calls = 0;
    g_script.returned = 0;
    g_script.released = false;
    kvchan::set_resolver_for_tests(test_resolver);
  }
  void TearDown() override {
    // A lookup the library gave up on ends here, before its script goes.
    g_script.released = true;
    auto until = Clock::now() + milliseconds(itest::kPeerWaitMs);
    while (g_script.returned.load() < g_script.calls.load() && Clock::now() < until) {
      poll(nullptr, 0, 10);
    }
    EXPECT_EQ(g_script.returned.load(), g_script.calls.load());
    kvchan::set_resolver_for_tests(nullptr);
  }

  static void resolve_to(std::vector<Endpoint> addresses, bool hold = false) {
    std::lock_guard lock(g_script.mutex);
    g_script.addresses = std::move(addresses);
    g_script.hold = hold;
  }

  // Connects to the name "scanner.test" within `limit`; returns whether it
  // connected, with the time taken and the error.
  static bool connect_within(milliseconds limit, milliseconds &took, std::string &error) {
    DeviceAddress address{"scanner.test", 8080};
    auto start = Clock::now();
    kvchan::Socket s = kvchan::connect_tcp(address, start + limit, error);
    took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return s.valid();
  }
};

// Bounds for "does not hang": the limit and a generous margin.
constexpr milliseconds kMargin{1500};

TEST_F(Connect, UnknownNameFailsAtOnceWithTheResolversReason) {
  std::string uri = "http://scanner.test:8080/";
  int dd = 0;
  ASSERT_EQ(kvchan_open_device(uri.c_str(), &dd), KVCHAN_OK);
  itest::clear_logs();
  int channel = 0;
  auto start = Clock::now();
  EXPECT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_E_CONNECT);
  EXPECT_LT(Clock::now() - start, kMargin);
  EXPECT_TRUE(itest::logged(LOG_ERR, "kvchan: connect to " + uri +
                                         " failed: cannot resolve scanner.test: Name or "
                                         "service not known"))
      << itest::last_logs(5);
  kvchan_close_device(dd);
}

TEST_F(Connect, LookupThatHangsEndsWithTheLimit) {
  itest::TcpTestServer server([](itest::Peer &) {});
  resolve_to({loopback_endpoint(server.port())}, /*hold=*/true);
  milliseconds took{};
  std::string error;
  EXPECT_FALSE(connect_within(milliseconds(1000), took, error));
  EXPECT_EQ(error, "name lookup of scanner.test timed out");
  EXPECT_LT(took, milliseconds(1000) + kMargin);
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(Connect, NumericAddressesNeedNoLookup) {
  itest::TcpTestServer server([](itest::Peer &) {});
  std::string error;
  kvchan::Socket s = kvchan::connect_tcp(DeviceAddress{"127.0.0.1", server.port()},
                                         kvchan::deadline_after_seconds(5), error);
  EXPECT_TRUE(s.valid()) << error;
  EXPECT_EQ(g_script.calls.load(), 0);
}

TEST_F(Connect, NamesGoToTheSystemResolver) {
  kvchan::set_resolver_for_tests(nullptr);
  itest::TcpTestServer server([](itest::Peer &) {});
  std::string error;
  // "localhost" may come as ::1 first, where nothing listens: refused, the
  // IPv4 address is next.
  kvchan::Socket s = kvchan::connect_tcp(DeviceAddress{"localhost", server.port()},
                                         kvchan::deadline_after_seconds(5), error);
  EXPECT_TRUE(s.valid()) << error;
}

TEST_F(Connect, RefusedFirstAddressGoesOnToTheNext) {
  itest::TcpTestServer server([](itest::Peer &) {});
  resolve_to({loopback_endpoint(itest::unused_port()), loopback_endpoint(server.port())});
  milliseconds took{};
  std::string error;
  EXPECT_TRUE(connect_within(milliseconds(5000), took, error)) << error;
  EXPECT_LT(took, kMargin);
}

TEST_F(Connect, SilentFirstAddressLeavesTimeForTheNext) {
  SilentAddress silent;
  ASSERT_TRUE(silent.ready());
  itest::TcpTestServer server([](itest::Peer &) {});
  resolve_to({loopback_endpoint(silent.port()), loopback_endpoint(server.port())});
  milliseconds took{};
  std::string error;
  // Half of the limit for the silent address, the rest for the listener.
  EXPECT_TRUE(connect_within(milliseconds(2000), took, error)) << error;
  EXPECT_LT(took, milliseconds(2000));
}

TEST_F(Connect, AllAddressesSilentEndsWithinTheLimit) {
  SilentAddress first;
  SilentAddress second;
  ASSERT_TRUE(first.ready() && second.ready());
  resolve_to({loopback_endpoint(first.port()), loopback_endpoint(second.port())});
  milliseconds took{};
  std::string error;
  EXPECT_FALSE(connect_within(milliseconds(1500), took, error));
  EXPECT_EQ(error, "timed out (2 addresses tried)");
  EXPECT_LT(took, milliseconds(1500) + kMargin);
}

TEST_F(Connect, ChannelOpenConnectsThroughTheLookup) {
  itest::TcpTestServer server([](itest::Peer &) {});
  resolve_to({loopback_endpoint(server.port())});
  std::string uri = "http://scanner.test:" + std::to_string(server.port()) + "/";
  int dd = 0;
  ASSERT_EQ(kvchan_open_device(uri.c_str(), &dd), KVCHAN_OK);
  int channel = 0;
  EXPECT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK);
  EXPECT_EQ(g_script.calls.load(), 1);
  kvchan_close_device(dd);
}

// The host's wake-up descriptor: a wait of a device's channel that it
// ends returns KVCHAN_E_CANCELLED within a few milliseconds of the host's
// write to it, and logs the cancel at info level only.
enum class Blocked { read, connect, tls_handshake, lookup };

struct WakeCase {
  const char *name;
  Blocked blocked;
};

// An eventfd the test writes from a thread of its own after a pause, as a
// host's cancel does.
class Waker {
 public:
  Waker() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Waker() {
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  Waker(const Waker &) = delete;
  Waker &operator=(const Waker &) = delete;

  int fd() const { return fd_; }
  void write_after(milliseconds pause) {
    thread_ = std::thread([this, pause] {
      std::this_thread::sleep_for(pause);
      written_at_ = Clock::now();
      const uint64_t one = 1;
      EXPECT_EQ(write(fd_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    });
  }
  Clock::time_point written_at() {
    if (thread_.joinable()) thread_.join();
    return written_at_;
  }

 private:
  int fd_;
  std::thread thread_;
  Clock::time_point written_at_{};
};

class WakeFd : public Connect, public ::testing::WithParamInterface<WakeCase> {};

constexpr milliseconds kWakePause{150};
constexpr milliseconds kWakeWithin{50};

TEST_P(WakeFd, EndsTheWaitAtOnce) {
  const WakeCase &c = GetParam();
  SilentAddress silent;
  ASSERT_TRUE(silent.ready());
  // A server that accepts and says nothing, not even its half of a TLS handshake.
  itest::TcpTestServer server([](itest::Peer &peer) { peer.wait_closed(); });
  std::string uri = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  if (c.blocked == Blocked::connect) uri = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
  if (c.blocked == Blocked::tls_handshake) uri = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
  if (c.blocked == Blocked::lookup) {
    resolve_to({loopback_endpoint(server.port())}, /*hold=*/true);
    uri = "http://scanner.test:" + std::to_string(server.port()) + "/";
  }
  int dd = 0;
  ASSERT_EQ(kvchan_open_device(uri.c_str(), &dd), KVCHAN_OK);
  Waker waker;
  ASSERT_EQ(kvchan_set_wake_fd(dd, waker.fd()), KVCHAN_OK);
  int channel = 0;
  if (c.blocked == Blocked::read) {
    ASSERT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK);
  }
  itest::clear_logs();
  waker.write_after(kWakePause);
  int rc = KVCHAN_OK;
  if (c.blocked == Blocked::read) {
    char buffer[64];
    int n = -1;
    rc = kvchan_read_channel(dd, channel, buffer, sizeof buffer, 10, &n);
    EXPECT_EQ(n, 0);
  } else {
    rc = kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel);
  }
  const Clock::time_point returned = Clock::now();
  EXPECT_EQ(rc, KVCHAN_E_CANCELLED);
  EXPECT_LT(returned - waker.written_at(), kWakeWithin);
  EXPECT_TRUE(itest::logged(LOG_INFO, "cancelled by the host")) << itest::last_logs(5);
  EXPECT_FALSE(itest::logged(LOG_ERR, "")) << itest::last_logs(5);
  kvchan_close_device(dd);
}

INSTANTIATE_TEST_SUITE_P(Waits, WakeFd,
                         ::testing::Values(WakeCase{"ReadFromASilentServer", Blocked::read},
                                           WakeCase{"ConnectToAnAddressThatNeverAnswers", Blocked::connect},
                                           WakeCase{"TlsHandshakeWithAServerThatSaysNothing", Blocked::tls_handshake},
                                           WakeCase{"NameLookupThatHangs", Blocked::lookup}),
                         [](const ::testing::TestParamInfo<WakeCase> &row) { return row.param.name; });

// A descriptor nobody writes, or one taken away again, changes nothing: a
// read gets what the device sends after a pause.
struct QuietCase {
  const char *name;
  bool written_then_removed;
};

class QuietWakeFd : public Connect, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(QuietWakeFd, ReadGetsTheAnswer) {
  itest::TcpTestServer server([](itest::Peer &peer) {
    poll(nullptr, 0, 100);
    peer.send("HTTP/1.1 200 OK\r\n");
    peer.wait_closed();
  });
  int dd = 0;
  ASSERT_EQ(kvchan_open_device(server.uri().c_str(), &dd), KVCHAN_OK);
  Waker waker;
  ASSERT_EQ(kvchan_set_wake_fd(dd, waker.fd()), KVCHAN_OK);
  if (GetParam().written_then_removed) {
    const uint64_t one = 1;
    ASSERT_EQ(write(waker.fd(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    ASSERT_EQ(kvchan_set_wake_fd(dd, -1), KVCHAN_OK);
  }
  int channel = 0;
  ASSERT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK);
  char buffer[64];
  int n = 0;
  EXPECT_EQ(kvchan_read_channel(dd, channel, buffer, sizeof buffer, 5, &n), KVCHAN_OK);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "HTTP/1.1 200 OK\r\n");
  kvchan_close_device(dd);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, QuietWakeFd,
                         ::testing::Values(QuietCase{"NeverWritten", false}, QuietCase{"WrittenThenRemoved", true}),
                         [](const ::testing::TestParamInfo<QuietCase> &row) { return row.param.name; });

TEST(WakeFdArguments, UnknownDeviceAndBadDescriptor) {
  EXPECT_EQ(kvchan_set_wake_fd(987654, -1), KVCHAN_E_NO_DEVICE);
  int dd = 0;
  ASSERT_EQ(kvchan_open_device("http://127.0.0.1:9/", &dd), KVCHAN_OK);
  EXPECT_EQ(kvchan_set_wake_fd(dd, -2), KVCHAN_E_INVALID);
  EXPECT_EQ(kvchan_set_wake_fd(dd, -1), KVCHAN_OK);
  kvchan_close_device(dd);
}

}  // namespace
