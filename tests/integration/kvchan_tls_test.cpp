// Channels to https devices: the TLS simulator on 127.0.0.1 answers through
// the layer, a channel connects again (with a new handshake) when the
// device closes, and a handshake that finds no TLS ends within the connect
// limit with the reason logged.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kvchan.h"
#include "log_capture.h"
#include "simulator.h"
#include "tcp_test_server.h"

namespace {

const std::string kStatusRequest = "GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: x\r\n\r\n";

std::string https_uri(uint16_t port) { return "https://127.0.0.1:" + std::to_string(port) + "/"; }

// Reads one answer to a status request: its head and a body of
// Content-Length bytes.
std::string read_answer(int dd, int channel) {
  std::string got;
  for (;;) {
    const size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      const size_t at = got.find("Content-Length: ");
      if (at != std::string::npos && got.size() >= end + 4 + std::stoul(got.substr(at + 16)))
        return got;
    }
    char buf[4096];
    int n = 0;
    if (kvchan_read_channel(dd, channel, buf, sizeof buf, 5, &n) != KVCHAN_OK || n == 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

bool logged_starting(int level, const std::string &start) {
  for (const itest::LogLine &line : itest::captured_logs())
    if (line.level == level && line.text.rfind(start, 0) == 0) return true;
  return false;
}

// Every test keeps its known devices in a folder of its own.
class TlsChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kvchan-tls-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    state_ = pattern;
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(state_);
  }
  std::string known_devices() const { return state_ + "/bbescl/known-devices"; }
  std::string known_devices_text() const {
    std::ifstream in(known_devices());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string state_;
};

struct ExchangeCase {
  const char *name;
  bool one_request_per_connection;
};

TEST_F(TlsChannel, RequestsAreAnsweredThroughTheLayerAndClosesReconnect) {
  for (const ExchangeCase &c : {ExchangeCase{"keep-alive", false}, ExchangeCase{"close each", true}}) {
    SCOPED_TRACE(c.name);
    escl_sim::Config cfg;
    cfg.tls = true;
    cfg.log_requests = false;
    // The channel layer is under test here, not the request's Host.
    cfg.lenient_host = true;
    cfg.one_request_per_connection = c.one_request_per_connection;
    escl_sim::Server sim(cfg);
    ASSERT_TRUE(sim.start(0)) << sim.last_error();
    int dd = 0;
    ASSERT_EQ(kvchan_open_device(https_uri(sim.port()).c_str(), &dd), KVCHAN_OK);
    int channel = 0;
    ASSERT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK)
        << itest::last_logs(3);
    for (int i = 0; i < 3; ++i) {
      int written = 0;
      ASSERT_EQ(kvchan_write_channel(dd, channel, kStatusRequest.data(),
                                     static_cast<int>(kStatusRequest.size()), 5, &written),
                KVCHAN_OK);
      const std::string answer = read_answer(dd, channel);
      EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << i;
      EXPECT_NE(answer.find("</scan:ScannerStatus>"), std::string::npos) << i;
    }
    EXPECT_EQ(sim.requests().size(), 3u);
    EXPECT_EQ(kvchan_close_device(dd), KVCHAN_OK);
  }
}

// The first key a device shows is remembered; the same device showing
// another key later (a new simulator on the same port) gets nothing.
TEST_F(TlsChannel, AChangedKeyIsRefusedBeforeAnythingIsSent) {
  escl_sim::Config cfg;
  cfg.tls = true;
  cfg.log_requests = false;
  auto first = std::make_unique<escl_sim::Server>(cfg);
  ASSERT_TRUE(first->start(0)) << first->last_error();
  const uint16_t port = first->port();
  const std::string uri = https_uri(port);
  int dd = 0;
  ASSERT_EQ(kvchan_open_device(uri.c_str(), &dd), KVCHAN_OK);
  int channel = 0;
  ASSERT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK);
  ASSERT_EQ(kvchan_close_channel(dd, channel), KVCHAN_OK);
  char refusal[512] = "unchanged";
  EXPECT_EQ(kvchan_key_refusal(dd, refusal, sizeof refusal), 0);
  EXPECT_STREQ(refusal, "");
  const std::string remembered = known_devices_text();
  ASSERT_EQ(remembered.rfind(uri + " sha256:", 0), 0u) << remembered;
  const std::string old_key = remembered.substr(uri.size() + 1, 7 + 64);
  // Seen again with the same key, under the same URI or another spelling
  // of it: nothing more is written.
  ASSERT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK);
  ASSERT_EQ(kvchan_close_channel(dd, channel), KVCHAN_OK);
  const std::string spelled = "HTTPS://127.0.0.1:" + std::to_string(port) + "/eSCL";
  int dd2 = 0;
  ASSERT_EQ(kvchan_open_device(spelled.c_str(), &dd2), KVCHAN_OK);
  ASSERT_EQ(kvchan_open_channel(dd2, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_OK);
  ASSERT_EQ(kvchan_close_channel(dd2, channel), KVCHAN_OK);
  EXPECT_EQ(known_devices_text(), remembered);
  first.reset();

  escl_sim::Server second(cfg);
  ASSERT_TRUE(second.start(port)) << second.last_error();
  itest::clear_logs();
  EXPECT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_E_CONNECT);
  EXPECT_TRUE(logged_starting(LOG_ERR, "kvchan: " + uri + " shows the key sha256:"))
      << itest::last_logs(3);
  EXPECT_TRUE(itest::logged(LOG_ERR, ", not the key " + old_key + " it showed before: refused"));
  EXPECT_TRUE(itest::logged(LOG_ERR, "remove its line from " + known_devices()));
  EXPECT_TRUE(second.requests().empty());
  EXPECT_EQ(known_devices_text(), remembered);
  // The host gets the refusal to show its user, cut to its buffer.
  ASSERT_EQ(kvchan_key_refusal(dd, refusal, sizeof refusal), 1);
  EXPECT_EQ(std::string(refusal).rfind(uri + " shows the key sha256:", 0), 0u) << refusal;
  EXPECT_NE(std::string(refusal).find(known_devices()), std::string::npos) << refusal;
  char cut[16];
  ASSERT_EQ(kvchan_key_refusal(dd, cut, sizeof cut), 1);
  EXPECT_EQ(std::string(cut), std::string(refusal).substr(0, sizeof cut - 1));
  EXPECT_EQ(kvchan_key_refusal(dd, nullptr, 10), -KVCHAN_E_INVALID);
  // The other spelling is the same device: refused too.
  EXPECT_EQ(kvchan_open_channel(dd2, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_E_CONNECT);
  kvchan_close_device(dd2);
  kvchan_close_device(dd);
  EXPECT_EQ(kvchan_key_refusal(dd, refusal, sizeof refusal), -KVCHAN_E_NO_DEVICE);
}

struct ModeCase {
  const char *name;
  int mode;
  int open_result;
  int level;
  const char *logged;  // a line of `level` containing this
};

// A device whose remembered key is another one, under each mode.
TEST_F(TlsChannel, EachVerifyModeTrustsItsOwnWay) {
  const std::vector<ModeCase> cases = {
      {"pin", KVCHAN_TLS_PIN, KVCHAN_E_CONNECT, LOG_ERR, "it showed before: refused"},
      {"system", KVCHAN_TLS_SYSTEM, KVCHAN_E_CONNECT, LOG_ERR,
       "failed: certificate not trusted: self-signed certificate"},
      {"off", KVCHAN_TLS_OFF, KVCHAN_OK, LOG_DEBUG, "certificate accepted without a check"},
  };
  escl_sim::Config cfg;
  cfg.tls = true;
  cfg.log_requests = false;
  escl_sim::Server sim(cfg);
  ASSERT_TRUE(sim.start(0)) << sim.last_error();
  const std::string uri = https_uri(sim.port());
  std::filesystem::create_directories(state_ + "/bbescl");
  const std::string other_key = uri + " sha256:" + std::string(64, '0') + " 2026-01-01\n";
  std::ofstream(known_devices()) << other_key;
  for (const ModeCase &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(kvchan_set_tls_verify(c.mode), KVCHAN_OK);
    itest::clear_logs();
    int dd = 0;
    ASSERT_EQ(kvchan_open_device(uri.c_str(), &dd), KVCHAN_OK);
    int channel = 0;
    EXPECT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), c.open_result);
    EXPECT_TRUE(itest::logged(c.level, c.logged)) << itest::last_logs(3);
    kvchan_close_device(dd);
  }
  kvchan_set_tls_verify(KVCHAN_TLS_PIN);
  EXPECT_TRUE(sim.requests().empty());
  EXPECT_EQ(known_devices_text(), other_key);
  EXPECT_EQ(kvchan_set_tls_verify(3), KVCHAN_E_INVALID);
}

struct SilentCase {
  const char *name;
  bool answers_in_plain;  // a plain HTTP server, else one that says nothing at all
  const char *reason;
};

// Each case waits at most the connect limit (10 s); the bound leaves room
// for a loaded machine.
TEST_F(TlsChannel, HandshakeWithoutTlsFailsWithinTheLimit) {
  const std::vector<SilentCase> cases = {
      {"never answers", false, "TLS handshake timed out"},
      {"plain HTTP", true, ""},
  };
  for (const SilentCase &c : cases) {
    SCOPED_TRACE(c.name);
    itest::TcpTestServer server([&](itest::Peer &peer) {
      // A plain server answers the ClientHello as the bad request it is.
      if (c.answers_in_plain) {
        peer.send("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
        peer.shutdown_write();
      }
      // A silent device stays silent past the client's 10 s limit: one wait
      // of the test server's is exactly as long, and closing then would race
      // the client's time-out.
      if (!peer.wait_closed()) peer.wait_closed();
    });
    itest::clear_logs();
    int dd = 0;
    ASSERT_EQ(kvchan_open_device(https_uri(server.port()).c_str(), &dd), KVCHAN_OK);
    int channel = 0;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &channel), KVCHAN_E_CONNECT);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    const std::string expected = "kvchan: connect to " + https_uri(server.port()) + " failed: " + c.reason;
    EXPECT_TRUE(logged_starting(LOG_ERR, expected)) << itest::last_logs(5);
    kvchan_close_device(dd);
  }
}

}  // namespace
