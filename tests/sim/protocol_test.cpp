// HTTP/1.1 as the simulator speaks it: connections, framing, device header
// quirks, and what it does with requests it cannot serve.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class Protocol : public SimTest {};

TEST_F(Protocol, KeepAliveServesManyRequestsOnOneConnection) {
  start();
  RawClient c(port());
  // The status poll writes the same request again and again on one channel.
  for (int i = 0; i < 5; ++i) {
    Answer a = c.exchange("GET /eSCL/ScannerStatus HTTP/1.1\r\nHOST: 127.0.0.1:1\r\n\r\n");
    ASSERT_EQ(a.status, 200) << i;
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.header("Connection"), "");
  }
  EXPECT_EQ(server().requests().size(), 5u);
}

TEST_F(Protocol, OneRequestPerConnectionClosesAfterEachAnswer) {
  Config cfg;
  cfg.one_request_per_connection = true;
  start(cfg);
  RawClient c(port());
  Answer a = c.exchange(get("/eSCL/ScannerStatus"));
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.header("Connection"), "close");
  EXPECT_TRUE(c.closed_by_peer());
}

TEST_F(Protocol, ClientAskingForCloseGetsIt) {
  start();
  RawClient c(port());
  Answer a = c.exchange("GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: x:80\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(a.header("Connection"), "close");
  EXPECT_TRUE(c.closed_by_peer());
  RawClient old(port());
  EXPECT_EQ(old.exchange("GET /eSCL/ScannerStatus HTTP/1.0\r\nHost: x:80\r\n\r\n").status, 200);
  EXPECT_TRUE(old.closed_by_peer());
}

TEST_F(Protocol, BodyFramingOfCapabilitiesAndStatus) {
  for (Framing f : {Framing::kContentLength, Framing::kChunked, Framing::kClose}) {
    SCOPED_TRACE(static_cast<int>(f));
    Config cfg;
    cfg.framing = f;
    start(cfg);
    for (const char *path : {"/eSCL/ScannerCapabilities", "/eSCL/ScannerStatus"}) {
      RawClient c(port());
      Answer a = c.exchange(get(path));
      ASSERT_EQ(a.status, 200);
      EXPECT_TRUE(a.complete);
      EXPECT_THAT(a.body, StartsWith("<?xml"));
      EXPECT_THAT(a.body, HasSubstr("</scan:Scanner"));
      EXPECT_EQ(a.chunked, f == Framing::kChunked);
      EXPECT_EQ(a.header("Content-Length").empty(), f != Framing::kContentLength);
      if (f == Framing::kClose) {
        EXPECT_EQ(a.header("Connection"), "close");
      } else {
        EXPECT_EQ(c.exchange(get(path)).status, 200);  // still open
      }
    }
    server().stop();
  }
}

TEST_F(Protocol, ChunkedStatusEndsWithTheLastChunk) {
  Config cfg;
  cfg.status_chunked = true;
  start(cfg);
  RawClient c(port());
  Answer a = c.exchange(get("/eSCL/ScannerStatus"));
  EXPECT_TRUE(a.chunked);
  EXPECT_TRUE(a.complete);
  EXPECT_THAT(a.raw, testing::EndsWith("</scan:ScannerStatus>\n\r\n0\r\n\r\n"));
  // The capabilities keep their length.
  EXPECT_FALSE(c.exchange(get("/eSCL/ScannerCapabilities")).chunked);
}

TEST_F(Protocol, PageChunksHaveTheConfiguredSize) {
  Config cfg;
  cfg.chunk_size = 1000;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  Answer a = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  ASSERT_TRUE(a.complete);
  ASSERT_GT(a.body.size(), 1000u);
  EXPECT_THAT(a.raw.substr(a.head.size()), StartsWith("3e8\r\n"));
  size_t last = a.body.size() % 1000;
  char tail[32];
  std::snprintf(tail, sizeof tail, "\r\n%zx\r\n", last);
  EXPECT_THAT(a.raw, HasSubstr(tail));
}

TEST_F(Protocol, LowercaseHeaderNames) {
  Config cfg;
  cfg.lowercase_headers = true;
  start(cfg);
  RawClient c(port());
  Answer status = c.exchange(get("/eSCL/ScannerStatus"));
  EXPECT_THAT(status.head, HasSubstr("\r\ncontent-length: "));
  EXPECT_THAT(status.head, Not(HasSubstr("Content-Length")));
  Answer created = c.exchange(post_scan_job(scan_settings({})));
  EXPECT_THAT(created.head, HasSubstr("\r\nlocation: http://"));
  Answer page = c.exchange(get("/eSCL/ScanJobs/" + job_id_of(created.header("location")) + "/NextDocument"));
  EXPECT_THAT(page.head, HasSubstr("\r\ntransfer-encoding: chunked\r\n"));
}

TEST_F(Protocol, LocationStyles) {
  struct Row {
    LocationStyle style;
    std::string prefix, suffix;
  };
  for (const Row &r : {Row{LocationStyle::kRelative, "/eSCL/ScanJobs/", ""},
                       Row{LocationStyle::kTrailingSlash, "http://127.0.0.1:", "/"}}) {
    Config cfg;
    cfg.location_style = r.style;
    start(cfg);
    RawClient c(port());
    std::string location = c.exchange(post_scan_job(scan_settings({}))).header("Location");
    EXPECT_THAT(location, StartsWith(r.prefix));
    EXPECT_THAT(location, testing::EndsWith(job_id_of(location) + r.suffix));
    // Every style names the same job path.
    EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs/" + job_id_of(location) + "/NextDocument")).status, 200);
    server().stop();
  }
}

TEST_F(Protocol, RequestArrivingByteByByte) {
  start();
  RawClient c(port());
  std::string request = post_scan_job(scan_settings({}));
  for (char ch : request) ASSERT_TRUE(c.send(std::string(1, ch)));
  EXPECT_EQ(c.read_answer().status, 201);
}

TEST_F(Protocol, HeaderAndBodyInSeparateWrites) {
  start();
  RawClient c(port());
  std::string body = scan_settings({});
  ASSERT_TRUE(c.send("POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\nHOST: 127.0.0.1:1\r\n\r\n"));
  ASSERT_TRUE(c.send(body));
  EXPECT_EQ(c.read_answer().status, 201);
}

TEST_F(Protocol, PipelinedRequestsAnsweredInOrder) {
  start();
  RawClient c(port());
  ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus") + get("/eSCL/nonesuch") + get("/eSCL/ScannerCapabilities")));
  EXPECT_EQ(c.read_answer().status, 200);
  EXPECT_EQ(c.read_answer().status, 404);
  Answer caps = c.read_answer();
  EXPECT_EQ(caps.status, 200);
  EXPECT_THAT(caps.body, HasSubstr("ScannerCapabilities"));
}

TEST_F(Protocol, ChunkedRequestBodyAndExpectContinue) {
  start();
  RawClient c(port());
  std::string body = scan_settings({});
  ASSERT_TRUE(c.send("POST /eSCL/ScanJobs HTTP/1.1\r\nHost: x:80\r\nTransfer-Encoding: chunked\r\n\r\n"));
  ASSERT_TRUE(c.send(chunk_of(body.substr(0, 10)) + chunk_of(body.substr(10)) + "0\r\n\r\n"));
  EXPECT_EQ(c.read_answer().status, 201);

  ASSERT_TRUE(c.send("POST /eSCL/ScanJobs HTTP/1.1\r\nHost: x:80\r\nExpect: 100-continue\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n"));
  EXPECT_EQ(c.read_answer().status, 100);
  ASSERT_TRUE(c.send(body));
  EXPECT_EQ(c.read_answer().status, 201);
}

TEST_F(Protocol, AbsoluteFormTargetAndQueryAreAccepted) {
  start();
  RawClient c(port());
  EXPECT_EQ(c.exchange("GET http://127.0.0.1/eSCL/ScannerStatus?x=1 HTTP/1.1\r\nHost: x:80\r\n\r\n").status, 200);
}

TEST_F(Protocol, UnknownPathsAnswer404AndWrongMethods405) {
  start();
  RawClient c(port());
  for (const char *path : {"/", "/eSCL", "/eSCL/Nonesuch", "/eSCL/ScanJobs/abc/Other", "/eSCL/ScanJobs/abc/NextDocument"})
    EXPECT_EQ(c.exchange(get(path)).status, 404) << path;
  Answer a = c.exchange(del("/eSCL/ScannerStatus"));
  EXPECT_EQ(a.status, 405);
  EXPECT_EQ(a.header("Allow"), "GET");
  EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs")).status, 405);
  EXPECT_EQ(c.exchange(get("/eSCL/ScannerStatus")).status, 200);  // connection still serves
}

TEST_F(Protocol, MalformedRequestsGet400AndTheConnectionCloses) {
  const char *requests[] = {
      "GARBAGE\r\n\r\n",
      "GET /eSCL/ScannerStatus\r\n\r\n",
      "GET /eSCL/ScannerStatus HTTP/2.0\r\n\r\n",
      "GET eSCL/ScannerStatus HTTP/1.1\r\n\r\n",
      "GET /eSCL/ScannerStatus HTTP/1.1\r\nNo colon here\r\n\r\n",
      "G(T /eSCL/ScannerStatus HTTP/1.1\r\n\r\n",
      "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Length: abc\r\n\r\n",
      "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef",
      "POST /eSCL/ScanJobs HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",
      "POST /eSCL/ScanJobs HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
  };
  start();
  for (const char *request : requests) {
    RawClient c(port());
    Answer a = c.exchange(request);
    EXPECT_EQ(a.status, 400) << request;
    EXPECT_EQ(a.header("Connection"), "close");
    EXPECT_TRUE(c.closed_by_peer()) << request;
  }
  EXPECT_EQ(server().jobs_alive(), 0);
}

TEST_F(Protocol, OversizedRequestsAreRefused) {
  start();
  {
    RawClient c(port());
    std::string huge = "GET /eSCL/ScannerStatus HTTP/1.1\r\nX-Filler: " + std::string(70000, 'a') + "\r\n\r\n";
    c.send(huge);
    EXPECT_EQ(c.read_answer().status, 431);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    RawClient c(port());
    // Refused on the header alone: the body is never waited for.
    EXPECT_EQ(c.exchange("POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Length: 100000\r\n\r\n").status, 413);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    RawClient c(port());
    std::string big(70000, 'x');
    c.send("POST /eSCL/ScanJobs HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk_of(big));
    EXPECT_EQ(c.read_answer().status, 413);
  }
}

TEST_F(Protocol, ConcurrentConnectionsAreServedTogether) {
  start();
  // An open connection in the middle of a request must not hold up others.
  RawClient idle(port());
  ASSERT_TRUE(idle.send("GET /eSCL/ScannerStatus HTTP/1.1\r\n"));
  constexpr int kClients = 8;
  std::vector<std::thread> threads;
  std::vector<int> ok(kClients, 0);
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      RawClient c(port());
      for (int n = 0; n < 10; ++n) ok[i] += c.exchange(get("/eSCL/ScannerStatus")).status == 200;
      std::string id;
      Answer created = c.exchange(post_scan_job(scan_settings({})));
      ok[i] += c.exchange(get("/eSCL/ScanJobs/" + job_id_of(created.header("Location")) + "/NextDocument")).status == 200;
    });
  }
  for (auto &t : threads) t.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(ok[i], 11) << i;
  EXPECT_EQ(server().pages_sent().size(), static_cast<size_t>(kClients));
  ASSERT_TRUE(idle.send("Host: x:80\r\n\r\n"));
  EXPECT_EQ(idle.read_answer().status, 200);
}

TEST_F(Protocol, StopClosesOpenConnections) {
  start();
  RawClient a(port()), b(port());
  ASSERT_EQ(a.exchange(get("/eSCL/ScannerStatus")).status, 200);
  ASSERT_TRUE(b.send("GET /eSCL/Scanner"));  // half a request
  server().stop();
  EXPECT_TRUE(a.closed_by_peer());
  EXPECT_TRUE(b.closed_by_peer());
  RawClient late(server().port());
  EXPECT_FALSE(late.connected());
}

TEST(ServerLifetime, StopTwiceAndDestroyWithoutStart) {
  Config cfg;
  cfg.log_requests = false;
  { Server never_started(cfg); }
  Server s(cfg);
  ASSERT_TRUE(s.start(0));
  EXPECT_NE(s.port(), 0);
  EXPECT_EQ(s.base_url(), "http://127.0.0.1:" + std::to_string(s.port()) + "/");
  s.stop();
  s.stop();
}

TEST(ServerLifetime, PortInUseFailsToStart) {
  Config cfg;
  cfg.log_requests = false;
  Server first(cfg);
  ASSERT_TRUE(first.start(0));
  Server second(cfg);
  EXPECT_FALSE(second.start(first.port()));
  EXPECT_THAT(second.last_error(), HasSubstr("cannot listen"));
}

}  // namespace
}  // namespace escl_sim::test
