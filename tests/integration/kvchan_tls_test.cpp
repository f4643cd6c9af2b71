// Channels to https devices: the TLS simulator on 127.0.0.1 answers through
// the layer, a channel connects again (with a new handshake) when the
// device closes, and a handshake that finds no TLS ends within the connect
// limit with the reason logged.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
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

struct ExchangeCase {
  const char *name;
  bool one_request_per_connection;
};

TEST(TlsChannel, RequestsAreAnsweredThroughTheLayerAndClosesReconnect) {
  for (const ExchangeCase &c : {ExchangeCase{"keep-alive", false}, ExchangeCase{"close each", true}}) {
    SCOPED_TRACE(c.name);
    escl_sim::Config cfg;
    cfg.tls = true;
    cfg.log_requests = false;
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

struct SilentCase {
  const char *name;
  bool answers_in_plain;  // a plain HTTP server, else one that says nothing at all
  const char *reason;
};

// Each case waits at most the connect limit (10 s); the bound leaves room
// for a loaded machine.
TEST(TlsChannel, HandshakeWithoutTlsFailsWithinTheLimit) {
  const std::vector<SilentCase> cases = {
      {"never answers", false, "TLS handshake timed out"},
      {"plain HTTP", true, ""},
  };
  for (const SilentCase &c : cases) {
    SCOPED_TRACE(c.name);
    itest::TcpTestServer server([&](itest::Peer &peer) {
      if (c.answers_in_plain) {
        peer.read_until("\r\n");
        peer.send("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
        peer.shutdown_write();
      }
      peer.wait_closed();
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
