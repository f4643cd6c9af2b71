// Hostile and broken devices, each behaviour seen on the wire: answers
// without end or without bytes, refusals, damaged pages, smuggling
// locations, impossible capabilities and the harmless HTTP differences.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "hostile.h"
#include "image_codec.h"
#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string next_of(const std::string &id) { return get("/eSCL/ScanJobs/" + id + "/NextDocument"); }

// What one behaviour is checked against: the device is started with
// `rule` on `profile`, and `check` talks to it with a fresh client.
struct WireCase {
  const char *rule;
  const char *profile;
  std::function<void(Server &, RawClient &)> check;
};

class Hostility : public SimTest {};

// A status request, then bytes that never end: at least 256 KiB arrive
// quickly, and the stream is still going.
void expect_endless(RawClient &c, const std::string &request, const char *starts_with) {
  ASSERT_TRUE(c.send(request));
  const std::string some = c.read_some(256 * 1024, 2000);
  EXPECT_GE(some.size(), 256u * 1024);
  EXPECT_THAT(some, StartsWith(starts_with));
  EXPECT_GE(c.read_some(65536, 2000).size(), 65536u);  // and more comes
}

const WireCase kCases[] = {
    {"garbage-lines", "mfp",
     [](Server &, RawClient &c) {
       expect_endless(c, get("/eSCL/ScannerStatus"), "the device lost its place");
     }},
    {"endless-chunked", "mfp",
     [](Server &, RawClient &c) {
       ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus")));
       const std::string some = c.read_some(256 * 1024, 2000);
       EXPECT_THAT(some, StartsWith("HTTP/1.1 200 OK\r\n"));
       EXPECT_THAT(some, HasSubstr("Transfer-Encoding: chunked\r\n"));
       EXPECT_THAT(some, HasSubstr("</scan:ScannerStatus>"));
       // Chunks of blanks after the document, none of them the last.
       EXPECT_THAT(some, HasSubstr("\r\n1000\r\n    "));
       EXPECT_THAT(some, Not(HasSubstr("\r\n0\r\n\r\n")));
       EXPECT_GE(some.size(), 256u * 1024);
     }},
    {"endless-404", "mfp",
     [](Server &, RawClient &c) {
       expect_endless(c, get("/eSCL/ScannerStatus"), "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n");
     }},
    {"endless-503@create", "mfp",
     [](Server &s, RawClient &c) {
       expect_endless(c, post_scan_job(scan_settings({})), "HTTP/1.1 503 Service Unavailable\r\n");
       EXPECT_EQ(s.jobs_alive(), 0);  // refused: nothing created
     }},
    {"trickle", "mfp",
     [](Server &, RawClient &c) {
       ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus")));
       const std::string some = c.read_during(2500);
       // One byte at once, then one a second.
       EXPECT_GE(some.size(), 2u);
       EXPECT_LE(some.size(), 4u);
       EXPECT_THAT(std::string("HTTP"), StartsWith(some));
     }},
    {"silent", "mfp",
     [](Server &s, RawClient &c) {
       ASSERT_TRUE(c.send(post_scan_job(scan_settings({}))));
       EXPECT_EQ(c.read_some(1, 1000), "");
       EXPECT_EQ(s.jobs_alive(), 1);  // the job exists all the same
     }},
    {"moved", "mfp",
     [](Server &s, RawClient &c) {
       const Answer a = c.exchange(post_scan_job(scan_settings({})));
       EXPECT_EQ(a.status, 301);
       EXPECT_THAT(a.header("Location"), EndsWith("/eSCL/Moved"));
       EXPECT_EQ(s.jobs_alive(), 1);
     }},
    {"unauthorized", "mfp",
     [](Server &s, RawClient &c) {
       const Answer a = c.exchange(post_scan_job(scan_settings({})));
       EXPECT_EQ(a.status, 401);
       EXPECT_THAT(a.header("WWW-Authenticate"), StartsWith("Basic"));
       EXPECT_TRUE(a.complete);
       EXPECT_EQ(s.jobs_alive(), 0);
     }},
    {"server-error", "mfp",
     [](Server &s, RawClient &c) {
       EXPECT_EQ(c.exchange(post_scan_job(scan_settings({}))).status, 500);
       EXPECT_EQ(s.jobs_alive(), 1);
     }},
    {"empty-then-503", "mfp",
     [](Server &, RawClient &c) {
       const Answer empty = c.exchange(get("/eSCL/ScannerStatus"));
       EXPECT_EQ(empty.status, 200);
       EXPECT_EQ(empty.header("Content-Length"), "0");
       EXPECT_EQ(empty.body, "");
       const Answer busy = c.read_answer();
       EXPECT_EQ(busy.status, 503);
       EXPECT_TRUE(busy.complete);
     }},
    {"no-reason@create", "mfp",
     [](Server &, RawClient &c) {
       const Answer a = c.exchange(post_scan_job(scan_settings({})));
       EXPECT_THAT(a.head, StartsWith("HTTP/1.1 201\r\n"));
       EXPECT_THAT(a.header("Location"), HasSubstr("/eSCL/ScanJobs/"));
     }},
    {"http-1.0", "mfp",
     [](Server &, RawClient &c) {
       ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus")));
       const std::string all = c.read_rest(2000);
       EXPECT_THAT(all, StartsWith("HTTP/1.0 200 OK\r\n"));
       EXPECT_THAT(all, HasSubstr("Content-Length: "));
       EXPECT_THAT(all, HasSubstr("Connection: close\r\n"));
       EXPECT_THAT(all, EndsWith("</scan:ScannerStatus>\n"));
     }},
    {"http-1.0@document", "mfp",
     [](Server &s, RawClient &c) {
       ASSERT_TRUE(c.send(post_scan_job(scan_settings({}))));
       ASSERT_TRUE(c.send(next_of(job_id_of(c.read_answer().header("Location")))));
       const Answer page = c.read_answer();
       EXPECT_THAT(page.head, StartsWith("HTTP/1.0 200 OK\r\n"));
       EXPECT_FALSE(page.chunked);
       EXPECT_EQ(page.header("Content-Length"), std::to_string(page.body.size()));
       EXPECT_EQ(page.body, s.pages_sent().at(0));
       EXPECT_TRUE(c.closed_by_peer(2000));
     }},
    {"continue-first", "mfp",
     [](Server &, RawClient &c) {
       EXPECT_EQ(c.exchange(get("/eSCL/ScannerStatus")).status, 100);
       const Answer a = c.read_answer();
       EXPECT_EQ(a.status, 200);
       EXPECT_THAT(a.body, HasSubstr("<scan:ScannerStatus"));
     }},
    {"nul-in-header", "mfp",
     [](Server &, RawClient &c) {
       const Answer a = c.exchange(get("/eSCL/ScannerStatus"));
       const size_t first_line = a.head.find("\r\n") + 2;
       EXPECT_EQ(a.head.find('\0'), a.head.find("ready") + 5);
       EXPECT_LT(a.head.find('\0'), a.head.find("\r\n", first_line));
       // The fields the body needs come after it.
       EXPECT_GT(a.head.find("Content-Length:"), a.head.find('\0'));
       EXPECT_TRUE(a.complete);
     }},
    {"long-404", "mfp",
     [](Server &, RawClient &c) {
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
       EXPECT_EQ(c.exchange(next_of(id)).status, 200);
       const Answer done = c.exchange(next_of(id));
       EXPECT_EQ(done.status, 404);
       EXPECT_EQ(done.body.size(), 10240u);
       EXPECT_EQ(done.header("Content-Length"), "10240");
     }},
    {"huge-progressive", "mfp",
     [](Server &, RawClient &c) {
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
       const Answer page = c.exchange(next_of(id));
       EXPECT_EQ(page.header("Content-Type"), "image/jpeg");
       EXPECT_GT(page.body.size(), 1500u);
       EXPECT_LT(page.body.size(), 4096u);
       // SOF2: progressive, 60000 lines of 60000 pixels.
       const size_t sof = page.body.find("\xFF\xC2");
       ASSERT_NE(sof, std::string::npos);
       EXPECT_EQ(page.body.substr(sof + 5, 4), std::string("\xEA\x60\xEA\x60"));
     }},
    {"chunk-no-crlf", "mfp",
     [](Server &, RawClient &c) {
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
       const Answer page = c.exchange(next_of(id), 1000);
       EXPECT_TRUE(page.chunked);
       EXPECT_FALSE(page.complete);
       EXPECT_THAT(page.raw, HasSubstr("\xFF\xD9XY"));
     }},
    {"cut-page", "mfp",
     [](Server &s, RawClient &c) {
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
       const Answer page = c.exchange(next_of(id));
       EXPECT_TRUE(page.complete);  // the framing is whole...
       EXPECT_THAT(page.body, Not(EndsWith("\xFF\xD9")));  // ... the image is not
       EXPECT_EQ(page.body, s.pages_sent().at(0));
       EXPECT_THAT(page.body, StartsWith("\xFF\xD8"));
     }},
    {"counted-page", "mfp",
     [](Server &, RawClient &c) {
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
       const Answer page = c.exchange(next_of(id));
       EXPECT_FALSE(page.chunked);
       EXPECT_EQ(page.header("Content-Length"), std::to_string(page.body.size()));
       Image img;
       EXPECT_TRUE(decode_jpeg(page.body, img));
     }},
    {"chunk-extensions", "mfp",
     [](Server &, RawClient &c) {
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
       const Answer page = c.exchange(next_of(id));
       EXPECT_TRUE(page.complete);
       const size_t head_end = page.raw.find("\r\n\r\n") + 4;
       const std::string size_line = page.raw.substr(head_end, page.raw.find("\r\n", head_end) - head_end);
       EXPECT_THAT(size_line, HasSubstr(";x-scan=stripe"));
       EXPECT_EQ(size_line.size() - size_line.find(';'), 100u);
       EXPECT_THAT(page.raw, EndsWith("\r\n0" + size_line.substr(size_line.find(';')) + "\r\n\r\n"));
       Image img;
       EXPECT_TRUE(decode_jpeg(page.body, img));
     }},
    {"slow-page", "mfp",
     [](Server &, RawClient &c) {
       Settings settings;
       settings.resolution = 300;
       settings.width = settings.height = 900;
       const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings(settings))).header("Location"));
       ASSERT_TRUE(c.send(next_of(id)));
       const std::string first = c.read_some(1024, 2000);
       ASSERT_GE(first.size(), 1024u);
       // 500 bytes a second after the first KiB.
       const size_t more = c.read_during(2000).size();
       EXPECT_GE(more, 500u);
       EXPECT_LE(more, 1600u);
     }},
    {"long-location", "mfp",
     [](Server &s, RawClient &c) {
       const Answer a = c.exchange(post_scan_job(scan_settings({})));
       EXPECT_EQ(a.status, 201);
       EXPECT_EQ(a.header("Location").size(), 10240u);
       EXPECT_EQ(s.jobs_alive(), 1);
     }},
    {"location-lf", "mfp",
     [](Server &, RawClient &c) {
       const Answer a = c.exchange(post_scan_job(scan_settings({})));
       EXPECT_EQ(a.status, 201);
       EXPECT_THAT(a.head, HasSubstr("\nX-Injected: DELETE\r\n"));
       EXPECT_THAT(a.head, Not(HasSubstr("\r\nX-Injected")));
     }},
    {"location-dotdot", "mfp",
     [](Server &s, RawClient &c) {
       EXPECT_EQ(c.exchange(post_scan_job(scan_settings({}))).header("Location"), "/eSCL/ScanJobs/..");
       EXPECT_EQ(s.jobs_alive(), 1);
     }},
    {"negative-width", "mfp",
     [](Server &, RawClient &c) {
       const std::string doc = c.exchange(get("/eSCL/ScannerCapabilities")).body;
       EXPECT_THAT(doc, HasSubstr("<scan:MaxWidth>-2550</scan:MaxWidth>"));
       // The platen's only; the feeder keeps its width.
       EXPECT_THAT(doc, HasSubstr("<scan:MaxWidth>2550</scan:MaxWidth>"));
       EXPECT_LT(doc.find("-2550"), doc.find("<scan:Adf>"));
     }},
    {"negative-resolution", "flatbed-photo",
     [](Server &, RawClient &c) {
       const std::string doc = c.exchange(get("/eSCL/ScannerCapabilities")).body;
       EXPECT_THAT(doc, HasSubstr("<scan:XResolution>-300</scan:XResolution>"));
       EXPECT_THAT(doc, HasSubstr("<scan:YResolution>-300</scan:YResolution>"));
       EXPECT_THAT(doc, Not(HasSubstr(">300<")));
     }},
    {"negative-resolution", "mfp",
     [](Server &, RawClient &c) {
       const std::string doc = c.exchange(get("/eSCL/ScannerCapabilities")).body;
       EXPECT_THAT(doc, HasSubstr("<scan:Min>-75</scan:Min>"));
       EXPECT_THAT(doc, Not(HasSubstr("<scan:Min>75</scan:Min>")));
     }},
    {"huge-resolution", "flatbed-photo",
     [](Server &, RawClient &c) {
       const std::string doc = c.exchange(get("/eSCL/ScannerCapabilities")).body;
       EXPECT_THAT(doc, HasSubstr("<scan:XResolution>2147483647</scan:XResolution>"));
       EXPECT_THAT(doc, Not(HasSubstr("<scan:XResolution>1200<")));
     }},
    {"huge-resolution", "mfp",
     [](Server &, RawClient &c) {
       const std::string doc = c.exchange(get("/eSCL/ScannerCapabilities")).body;
       EXPECT_THAT(doc, HasSubstr("<scan:Max>2147483647</scan:Max>"));
       EXPECT_THAT(doc, Not(HasSubstr("<scan:Max>600<")));
     }},
    {"long-capabilities", "mfp",
     [](Server &, RawClient &c) {
       const Answer a = c.exchange(get("/eSCL/ScannerCapabilities"));
       EXPECT_TRUE(a.complete);
       EXPECT_GT(a.body.find("<scan:Platen>"), 40u * 1024);
       EXPECT_THAT(a.body, EndsWith("</scan:ScannerCapabilities>\n"));
     }},
};

TEST_F(Hostility, EachBehaviourShowsOnTheWire) {
  for (const WireCase &row : kCases) {
    SCOPED_TRACE(std::string(row.rule) + " on " + row.profile);
    Config cfg;
    cfg.profile = row.profile;
    HostileRule rule;
    std::string error;
    ASSERT_TRUE(parse_hostile(row.rule, rule, error)) << error;
    cfg.hostile.push_back(rule);
    start(cfg);
    {
      RawClient c(port());
      ASSERT_TRUE(c.connected());
      row.check(server(), c);
    }
    server().stop();
  }
}

// Only the exchange a behaviour is aimed at sees it.
TEST_F(Hostility, OtherExchangesAnswerAsUsual) {
  Config cfg;
  cfg.hostile = {{Hostile::kGarbageLines, RequestKind::kDelete}, {Hostile::kNoReason, RequestKind::kStatus}};
  start(cfg);
  RawClient c(port());
  EXPECT_THAT(c.exchange(get("/eSCL/ScannerCapabilities")).head, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(c.exchange(get("/eSCL/ScannerStatus")).head, StartsWith("HTTP/1.1 200\r\n"));
  const std::string id = job_id_of(c.exchange(post_scan_job(scan_settings({}))).header("Location"));
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(c.send(del("/eSCL/ScanJobs/" + id)));
  EXPECT_THAT(c.read_some(10000, 2000), StartsWith("the device lost its place"));
  EXPECT_EQ(server().jobs_alive(), 0);  // deleted, then the garbage
}

TEST_F(Hostility, UnauthorizedDeleteLeavesTheJob) {
  Config cfg;
  cfg.hostile = {{Hostile::kUnauthorized, RequestKind::kDelete}};
  start(cfg);
  RawClient c(port());
  const std::string id = create_job(c);
  EXPECT_EQ(c.exchange(del("/eSCL/ScanJobs/" + id)).status, 401);
  EXPECT_EQ(server().jobs_alive(), 1);
}

// Answers that never end, or never come, let go of the client when the
// simulator stops, even while it is not reading.
TEST_F(Hostility, StopEndsEndlessAnswersAtOnce) {
  Config cfg;
  cfg.hostile = {{Hostile::kGarbageLines, RequestKind::kCapabilities},
                 {Hostile::kTrickle, RequestKind::kStatus},
                 {Hostile::kSilent, RequestKind::kCreateJob}};
  start(cfg);
  RawClient garbage(port()), trickle(port()), silent(port());
  ASSERT_TRUE(garbage.send(get("/eSCL/ScannerCapabilities")));
  ASSERT_TRUE(trickle.send(get("/eSCL/ScannerStatus")));
  ASSERT_TRUE(silent.send(post_scan_job(scan_settings({}))));
  EXPECT_FALSE(trickle.read_some(1, 2000).empty());
  EXPECT_TRUE(silent.read_some(1, 200).empty());
  const double start = now_seconds();
  server().stop();
  EXPECT_LT(now_seconds() - start, 2.0);
  EXPECT_TRUE(silent.closed_by_peer(1000));
}

TEST_F(Hostility, AClientThatClosesEndsTheEndlessAnswer) {
  Config cfg;
  cfg.hostile = {{Hostile::kEndless404, RequestKind::kStatus}};
  start(cfg);
  for (int i = 0; i < 3; ++i) {
    RawClient c(port());
    ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus")));
    EXPECT_GE(c.read_some(65536, 2000).size(), 65536u);
  }
  // Each connection thread ended with its client: a fresh one is served.
  RawClient again(port());
  EXPECT_THAT(again.exchange(get("/eSCL/ScannerCapabilities")).head, StartsWith("HTTP/1.1 200 OK\r\n"));
}

TEST_F(Hostility, RequestHeadsAreKeptAsReceived) {
  start();
  RawClient c(port());
  const std::string request = "GET /eSCL/ScannerStatus HTTP/1.1\r\nHOST: 127.0.0.1:1\r\nX-Odd:\tvalue \r\n\r\n";
  EXPECT_EQ(c.exchange(request).status, 200);
  EXPECT_THAT(server().request_heads(), ::testing::ElementsAre(request));
}

struct ParseRow {
  const char *word;
  bool ok;
  Hostile behaviour;
  RequestKind on;
};

TEST(HostileNames, ParseWithDefaultAndChosenExchanges) {
  const ParseRow rows[] = {
      {"garbage-lines", true, Hostile::kGarbageLines, RequestKind::kStatus},
      {"garbage-lines@delete", true, Hostile::kGarbageLines, RequestKind::kDelete},
      {"silent@any", true, Hostile::kSilent, RequestKind::kAny},
      {"no-reason", true, Hostile::kNoReason, RequestKind::kAny},
      {"cut-page", true, Hostile::kCutPage, RequestKind::kNextDocument},
      {"cut-page@status", false, Hostile::kGarbageLines, RequestKind::kAny},
      {"location-lf@document", false, Hostile::kGarbageLines, RequestKind::kAny},
      {"garbage-lines@printer", false, Hostile::kGarbageLines, RequestKind::kAny},
      {"no-such-thing", false, Hostile::kGarbageLines, RequestKind::kAny},
  };
  for (const ParseRow &row : rows) {
    HostileRule rule;
    std::string error;
    EXPECT_EQ(parse_hostile(row.word, rule, error), row.ok) << row.word;
    if (!row.ok) {
      EXPECT_FALSE(error.empty()) << row.word;
      continue;
    }
    EXPECT_EQ(rule.behaviour, row.behaviour) << row.word;
    EXPECT_EQ(rule.on, row.on) << row.word;
  }
}

TEST(HostileNames, EveryBehaviourIsInTheHelp) {
  const std::string help = usage();
  for (int h = 0; h <= static_cast<int>(Hostile::kLongCapabilities); ++h) {
    const HostileInfo &info = hostile_info(static_cast<Hostile>(h));
    EXPECT_EQ(static_cast<int>(info.behaviour), h);
    EXPECT_THAT(help, HasSubstr(std::string("    ") + info.name + " ("));
  }
}

}  // namespace
}  // namespace escl_sim::test
