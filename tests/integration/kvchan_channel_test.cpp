// Channels against a real TCP server on 127.0.0.1: connecting, reads with
// time limits, writes, the reconnect after a server's close, and many
// channels and devices at once.
#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kvchan.h"
#include "log_capture.h"
#include "tcp_test_server.h"

namespace {

using itest::Peer;
using itest::TcpTestServer;

const std::string kStatusRequest = "GET /eSCL/ScannerStatus HTTP/1.1\r\nHOST: \r\n\r\n";

std::string answer(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// An open device and its channels, closed at the end of the test.
class OpenDevice {
 public:
  explicit OpenDevice(const std::string &uri) {
    EXPECT_EQ(kvchan_open_device(uri.c_str(), &dd_), KVCHAN_OK);
  }
  ~OpenDevice() {
    if (dd_ > 0) kvchan_close_device(dd_);
  }
  int dd() const { return dd_; }
  int open(const char *name = KVCHAN_CHANNEL_ESCL_SCAN) {
    int channel = 0;
    EXPECT_EQ(kvchan_open_channel(dd_, name, &channel), KVCHAN_OK);
    return channel;
  }
  int write(int channel, const std::string &bytes, int sectime = 5) {
    int written = -1;
    int rc = kvchan_write_channel(dd_, channel, bytes.data(), static_cast<int>(bytes.size()),
                                  sectime, &written);
    if (rc == KVCHAN_OK) {
      EXPECT_EQ(written, static_cast<int>(bytes.size()));
    }
    return rc;
  }
  // Reads until `count` bytes came, a read fails or one brings nothing in time.
  std::string read(int channel, size_t count, int sectime = 5, int *last_rc = nullptr) {
    std::string got;
    int rc = KVCHAN_OK;
    while (got.size() < count) {
      char buf[4096];
      int n = 0;
      int want = static_cast<int>(std::min(sizeof buf, count - got.size()));
      rc = kvchan_read_channel(dd_, channel, buf, want, sectime, &n);
      if (rc != KVCHAN_OK || n == 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    if (last_rc != nullptr) *last_rc = rc;
    return got;
  }
  int read_once(int channel, std::string &got, int sectime = 5) {
    char buf[4096];
    int n = -1;
    int rc = kvchan_read_channel(dd_, channel, buf, sizeof buf, sectime, &n);
    got.assign(buf, static_cast<size_t>(n > 0 ? n : 0));
    return rc;
  }

 private:
  int dd_ = 0;
};

// Answers every request on a connection until the client closes it.
void keep_alive_answers(Peer &peer) {
  for (;;) {
    std::string request = peer.read_request();
    if (request.empty()) return;
    peer.send(answer("<n>" + std::to_string(peer.index()) + "</n>"));
  }
}

// Answers every request with the same bytes until the client closes.
void same_answers(Peer &peer) {
  while (!peer.read_request().empty()) peer.send(answer("<ok/>"));
}

// Answers one request, then closes the connection, as servers that send
// "Connection: close" do.
void one_answer_then_close(Peer &peer) {
  if (!peer.read_request().empty()) peer.send(answer("<n>" + std::to_string(peer.index()) + "</n>"));
}

TEST(Channel, BothNamesOpenAConnectionEach) {
  TcpTestServer server(keep_alive_answers);
  OpenDevice device(server.uri());
  int scan = device.open(KVCHAN_CHANNEL_ESCL_SCAN);
  int ews = device.open(KVCHAN_CHANNEL_EWS_NDAT);
  EXPECT_GT(scan, 0);
  EXPECT_GT(ews, 0);
  EXPECT_NE(scan, ews);
  ASSERT_EQ(device.write(scan, kStatusRequest), KVCHAN_OK);
  ASSERT_EQ(device.write(ews, kStatusRequest), KVCHAN_OK);
  std::string a = device.read(scan, answer("<n>0</n>").size());
  std::string b = device.read(ews, answer("<n>1</n>").size());
  // Each channel got the answer of its own connection.
  EXPECT_NE(a, b);
  EXPECT_EQ(server.accepted(), 2);
}

TEST(Channel, UnknownNameIsRefusedWithoutConnecting) {
  TcpTestServer server(keep_alive_answers);
  OpenDevice device(server.uri());
  itest::clear_logs();
  int channel = 77;
  EXPECT_EQ(kvchan_open_channel(device.dd(), "KV-FAX-SEND", &channel), KVCHAN_E_UNKNOWN_NAME);
  EXPECT_EQ(channel, 0);
  EXPECT_TRUE(itest::logged(LOG_ERR, "kvchan: " + server.uri() +
                                         " offers no channel \"KV-FAX-SEND\""));
  EXPECT_EQ(server.accepted(), 0);
}

TEST(Channel, ConnectRefusedIsLoggedWithTheUri) {
  std::string uri = "http://127.0.0.1:" + std::to_string(itest::unused_port()) + "/";
  OpenDevice device(uri);
  itest::clear_logs();
  int channel = 0;
  EXPECT_EQ(kvchan_open_channel(device.dd(), KVCHAN_CHANNEL_ESCL_SCAN, &channel),
            KVCHAN_E_CONNECT);
  EXPECT_TRUE(itest::logged(LOG_ERR, "kvchan: connect to " + uri + " failed: Connection refused"))
      << itest::last_logs(5);
}

TEST(Channel, CallsOnUnknownDescriptorsAndChannelsFail) {
  TcpTestServer server(keep_alive_answers);
  OpenDevice device(server.uri());
  int channel = device.open();
  char buf[16];
  int n = 0;
  EXPECT_EQ(kvchan_read_channel(device.dd() + 1000, channel, buf, 16, 1, &n), KVCHAN_E_NO_DEVICE);
  EXPECT_EQ(kvchan_read_channel(device.dd(), channel + 1000, buf, 16, 1, &n), KVCHAN_E_NO_CHANNEL);
  EXPECT_EQ(kvchan_write_channel(device.dd(), channel + 1000, buf, 16, 1, &n),
            KVCHAN_E_NO_CHANNEL);
  EXPECT_EQ(kvchan_read_channel(device.dd(), channel, nullptr, 16, 1, &n), KVCHAN_E_INVALID);
  EXPECT_EQ(kvchan_read_channel(device.dd(), channel, buf, -1, 1, &n), KVCHAN_E_INVALID);
  EXPECT_EQ(kvchan_close_channel(device.dd(), channel), KVCHAN_OK);
  EXPECT_NE(kvchan_close_channel(device.dd(), channel), KVCHAN_OK);
  EXPECT_EQ(kvchan_read_channel(device.dd(), channel, buf, 16, 1, &n), KVCHAN_E_NO_CHANNEL);
}

TEST(Channel, ReadWithNothingInTimeGivesZeroBytes) {
  std::promise<void> done;
  TcpTestServer server([&](Peer &peer) {
    peer.read_request();  // and never answer
    done.get_future().wait();
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  std::string got = "x";
  EXPECT_EQ(device.read_once(channel, got, 1), KVCHAN_OK);
  EXPECT_EQ(got, "");
  EXPECT_EQ(device.read_once(channel, got, 0), KVCHAN_OK);
  EXPECT_EQ(got, "");
  done.set_value();
}

TEST(Channel, ReadBringsWhatArrivedAndTheRestLater) {
  std::promise<void> first_read;
  TcpTestServer server([&](Peer &peer) {
    peer.read_request();
    peer.send("HTTP/1.1 200 OK\r\n");
    first_read.get_future().wait();
    peer.send("Content-Length: 0\r\n\r\n");
    peer.wait_closed();
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  EXPECT_EQ(device.read(channel, 17), "HTTP/1.1 200 OK\r\n");
  first_read.set_value();
  EXPECT_EQ(device.read(channel, 21), "Content-Length: 0\r\n\r\n");
}

TEST(Channel, ServerClosingEachAnswerIsReconnectedForTheNextRequest) {
  // A status poll: the same request again and again on one channel.
  std::atomic<int> served{0};
  TcpTestServer server([&](Peer &peer) {
    one_answer_then_close(peer);
    served.fetch_add(1);
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
    std::string expected = answer("<n>" + std::to_string(i) + "</n>");
    ASSERT_EQ(device.read(channel, expected.size()), expected);
  }
  EXPECT_EQ(server.accepted(), 5);
}

TEST(Channel, JobCreationAfterAServersCloseGoesOutOnANewConnection) {
  // A request that is never sent twice still gets through: the close is
  // seen before the write.
  TcpTestServer server(one_answer_then_close);
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  ASSERT_EQ(device.read(channel, answer("<n>0</n>").size()), answer("<n>0</n>"));
  while (server.finished() < 1) std::this_thread::yield();
  ASSERT_EQ(device.write(channel, "POST /eSCL/ScanJobs HTTP/1.1\r\nHost: \r\n\r\n"), KVCHAN_OK);
  EXPECT_EQ(device.read(channel, answer("<n>1</n>").size()), answer("<n>1</n>"));
  EXPECT_EQ(server.accepted(), 2);
}

TEST(Channel, ReadingTheCloseThenWritingConnectsAgain) {
  TcpTestServer server(one_answer_then_close);
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  int rc = KVCHAN_OK;
  // A body ended by the close: read up to it.
  std::string first = device.read(channel, 1 << 20, 5, &rc);
  EXPECT_EQ(first, answer("<n>0</n>"));
  EXPECT_EQ(rc, KVCHAN_E_CLOSED);
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  EXPECT_EQ(device.read(channel, answer("<n>1</n>").size()), answer("<n>1</n>"));
}

TEST(Channel, RequestLostToAServersCloseIsSentAgain) {
  // The server answers once, reads the next request and closes without
  // answering it, as a server whose idle timer ran out at that moment.
  TcpTestServer server([](Peer &peer) {
    if (peer.index() == 0) {
      peer.read_request();
      peer.send(answer("<n>0</n>"));
      peer.read_request();
      return;
    }
    one_answer_then_close(peer);
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  ASSERT_EQ(device.read(channel, answer("<n>0</n>").size()), answer("<n>0</n>"));
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  EXPECT_EQ(device.read(channel, answer("<n>1</n>").size()), answer("<n>1</n>"));
  EXPECT_EQ(server.accepted(), 2);
}

TEST(Channel, JobCreationLostToAServersCloseIsNotRepeated) {
  std::atomic<int> posts{0};
  TcpTestServer server([&](Peer &peer) {
    for (;;) {
      std::string request = peer.read_request();
      if (request.empty()) return;
      if (request.starts_with("POST")) {
        posts.fetch_add(1);
        return;  // closes without answering
      }
      peer.send(answer("<n/>"));
    }
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  ASSERT_EQ(device.read(channel, answer("<n/>").size()), answer("<n/>"));
  ASSERT_EQ(device.write(channel, "POST /eSCL/ScanJobs HTTP/1.1\r\nHost: \r\n\r\n"), KVCHAN_OK);
  std::string got;
  EXPECT_EQ(device.read_once(channel, got), KVCHAN_E_CLOSED);
  EXPECT_EQ(server.accepted(), 1);
  EXPECT_EQ(posts.load(), 1);
}

TEST(Channel, CloseInTheMiddleOfAnAnswerIsAnErrorNotAReconnect) {
  TcpTestServer server([](Peer &peer) {
    peer.read_request();
    peer.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\nabc");
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  itest::clear_logs();
  int rc = KVCHAN_OK;
  std::string got = device.read(channel, 1 << 20, 5, &rc);
  EXPECT_TRUE(got.ends_with("1000\r\nabc"));
  EXPECT_EQ(rc, KVCHAN_E_CLOSED);
  // Every later read fails too, at once, rather than bringing 0 bytes forever.
  std::string more;
  EXPECT_EQ(device.read_once(channel, more, 5), KVCHAN_E_CLOSED);
  EXPECT_EQ(server.accepted(), 1);
  EXPECT_TRUE(itest::logged(LOG_ERR, "kvchan: " + server.uri() +
                                         " closed the connection of channel " +
                                         std::to_string(channel)))
      << itest::last_logs(5);
}

TEST(Channel, UnreadAnswerBytesKeepTheConnection) {
  // The server sends more than the client reads and then half-closes: the
  // bytes still waiting are answer data, so the next write must not move
  // to a new connection (which would lose them).
  std::promise<std::string> second_request;
  TcpTestServer server([&](Peer &peer) {
    peer.read_request();
    peer.send(answer("<n>0</n>") + "EXTRA");
    peer.shutdown_write();
    second_request.set_value(peer.read_request());
    peer.wait_closed();
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  ASSERT_EQ(device.read(channel, answer("<n>0</n>").size()), answer("<n>0</n>"));
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  EXPECT_EQ(second_request.get_future().get(), kStatusRequest);
  int rc = KVCHAN_OK;
  EXPECT_EQ(device.read(channel, 1 << 20, 5, &rc), "EXTRA");
  EXPECT_EQ(rc, KVCHAN_E_CLOSED);
  EXPECT_EQ(server.accepted(), 1);
}

TEST(Channel, LargeWriteGoesOutWhole) {
  const std::string big(8 << 20, 'z');
  std::promise<size_t> received;
  TcpTestServer server([&](Peer &peer) {
    std::string got = peer.read_until(std::string(1, '!'));
    received.set_value(got.size());
  });
  OpenDevice device(server.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, big + "!", 30), KVCHAN_OK);
  EXPECT_EQ(received.get_future().get(), big.size() + 1);
}

TEST(Channel, WriteToAServerThatDoesNotReadTimesOut) {
  std::promise<void> done;
  TcpTestServer server([&](Peer &) { done.get_future().wait(); });
  OpenDevice device(server.uri());
  int channel = device.open();
  const std::string huge(64 << 20, 'z');
  itest::clear_logs();
  int written = 0;
  EXPECT_EQ(kvchan_write_channel(device.dd(), channel, huge.data(), static_cast<int>(huge.size()),
                                 1, &written),
            KVCHAN_E_TIMEOUT);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int>(huge.size()));
  EXPECT_TRUE(itest::logged(LOG_ERR, "kvchan: write to " + server.uri() + " (channel " +
                                         std::to_string(channel) + ") timed out after "));
  done.set_value();
}

TEST(Channel, ManyChannelsOnManyDevicesAtOnce) {
  constexpr int kDevices = 4;
  constexpr int kChannelsPerDevice = 40;
  TcpTestServer server(same_answers);
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int d = 0; d < kDevices; ++d) {
    threads.emplace_back([&] {
      OpenDevice device(server.uri());
      std::vector<int> channels;
      for (int c = 0; c < kChannelsPerDevice; ++c) {
        channels.push_back(device.open(c % 2 ? KVCHAN_CHANNEL_EWS_NDAT : KVCHAN_CHANNEL_ESCL_SCAN));
      }
      for (int round = 0; round < 3; ++round) {
        for (int channel : channels) ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
        for (int channel : channels) {
          if (device.read(channel, answer("<ok/>").size()) == answer("<ok/>")) good.fetch_add(1);
        }
      }
      for (int channel : channels) EXPECT_EQ(kvchan_close_channel(device.dd(), channel), KVCHAN_OK);
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(good.load(), kDevices * kChannelsPerDevice * 3);
  EXPECT_EQ(server.accepted(), kDevices * kChannelsPerDevice);
}

TEST(Channel, CloseDeviceClosesItsChannels) {
  std::atomic<int> closed_by_client{0};
  TcpTestServer server([&](Peer &peer) {
    if (peer.wait_closed()) closed_by_client.fetch_add(1);
  });
  int dd = 0;
  ASSERT_EQ(kvchan_open_device(server.uri().c_str(), &dd), KVCHAN_OK);
  int channels[3] = {};
  for (int &c : channels) ASSERT_EQ(kvchan_open_channel(dd, KVCHAN_CHANNEL_ESCL_SCAN, &c), KVCHAN_OK);
  int count = 0;
  ASSERT_EQ(kvchan_channel_count(dd, &count), KVCHAN_OK);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(kvchan_close_channel(dd, channels[2]), KVCHAN_OK);
  ASSERT_EQ(kvchan_channel_count(dd, &count), KVCHAN_OK);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(kvchan_close_device(dd), KVCHAN_OK);
  EXPECT_EQ(kvchan_channel_count(dd, &count), KVCHAN_E_NO_DEVICE);
  // The server sees every connection closed.
  while (server.finished() < 3) std::this_thread::yield();
  EXPECT_EQ(closed_by_client.load(), 3);
  char buf[8];
  int n = 0;
  EXPECT_EQ(kvchan_read_channel(dd, channels[0], buf, 8, 1, &n), KVCHAN_E_NO_DEVICE);
  EXPECT_EQ(kvchan_close_channel(dd, channels[1]), KVCHAN_E_NO_DEVICE);
  EXPECT_EQ(kvchan_close_device(dd), KVCHAN_E_NO_DEVICE);
}

TEST(Channel, HostNameAndIpv6AddressesConnect) {
  TcpTestServer v4(keep_alive_answers);
  {
    OpenDevice device("http://localhost:" + std::to_string(v4.port()) + "/eSCL");
    int channel = device.open();
    ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
    EXPECT_EQ(device.read(channel, answer("<n>0</n>").size()), answer("<n>0</n>"));
  }
  TcpTestServer v6(keep_alive_answers, TcpTestServer::Family::ipv6);
  if (!v6.listening()) GTEST_SKIP() << "no IPv6 loopback here";
  OpenDevice device(v6.uri());
  int channel = device.open();
  ASSERT_EQ(device.write(channel, kStatusRequest), KVCHAN_OK);
  EXPECT_EQ(device.read(channel, answer("<n>0</n>").size()), answer("<n>0</n>"));
}

// kvchan_request: one request on a connection of its own, the answer read
// until the device closes, a text arrives, the room is full or time is up.
struct RequestCase {
  const char *name;
  std::string answer;  // what the server sends after the request
  bool close_after;    // the server closes then
  const char *enough;
  int room;
  std::string expected;
};

class Request : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Request, ReadsTheAnswerUntilItsEnd) {
  const RequestCase &c = GetParam();
  TcpTestServer server([&c](Peer &peer) {
    if (peer.read_request() != kStatusRequest) return;
    peer.send(c.answer);
    if (!c.close_after) peer.wait_closed();
  });
  std::vector<char> answer(static_cast<size_t>(c.room) + 1, '#');
  int length = -1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kvchan_request(server.uri().c_str(), kStatusRequest.data(), static_cast<int>(kStatusRequest.size()),
                           c.enough, 3000, answer.data(), c.room, &length),
            KVCHAN_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  ASSERT_GE(length, 0);
  EXPECT_EQ(std::string(answer.data(), static_cast<size_t>(length)), c.expected);
  EXPECT_EQ(answer[static_cast<size_t>(c.room)], '#');
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Request,
    ::testing::Values(RequestCase{"UntilTheDeviceCloses", answer("<doc/>"), true, nullptr, 4096, answer("<doc/>")},
                      RequestCase{"UntilTheTextArrives", answer("<doc/>"), false, "<doc/>", 4096, answer("<doc/>")},
                      RequestCase{"UntilTheHeadEnds", answer("<doc/>"), false, "\r\n\r\n", 4096, answer("<doc/>")},
                      RequestCase{"CutToTheRoom", answer("<doc/>"), false, "never", 8, "HTTP/1.1"}),
    [](const ::testing::TestParamInfo<RequestCase> &row) { return row.param.name; });

TEST(RequestFailures, RefusedUriAndUnreachableDeviceAreNotLogged) {
  struct Row {
    std::string uri;
    int result;
  };
  const Row rows[] = {
      {"ftp://127.0.0.1/", KVCHAN_E_INVALID},
      {"http://127.0.0.1:" + std::to_string(itest::unused_port()) + "/", KVCHAN_E_CONNECT},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.uri);
    itest::clear_logs();
    char answer[64];
    int length = -1;
    EXPECT_EQ(kvchan_request(row.uri.c_str(), "GET", 3, nullptr, 1000, answer, sizeof answer, &length), row.result);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(itest::captured_logs().empty()) << itest::last_logs(3);
  }
}

}  // namespace
