// Job creation: the ScanSettings document and its request, byte for byte,
// the region arithmetic, and the answer's Location.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device_double.h"
#include "bb_escl/job_control.h"
#include "job_session.h"

using fake::Log;
using jobtest::Session;
using ::testing::ElementsAre;

namespace {

constexpr SANE_Fixed kMm215_9 = 14149222;  // 215.9 mm: a letter-wide platen
constexpr SANE_Fixed kMm210 = 13762560;    // A4 width
constexpr SANE_Fixed kMm297 = 19464192;    // A4 height
constexpr SANE_Fixed kMm50 = 50 * 65536;

// The text of the first <name>...</name> in a document.
std::string element(const std::string &doc, const std::string &name) {
  size_t start = doc.find("<" + name + ">");
  if (start == std::string::npos) return "(absent)";
  start += name.size() + 2;
  return doc.substr(start, doc.find('<', start) - start);
}

struct Posted {
  std::string header;
  std::string body;
};

Posted post(Session &s, fake::Device &dev, const std::string &answer) {
  auto &ch = jobtest::script_post(dev, answer);
  SANE_Status st = bb_post_scanjob(s.hs.get());
  EXPECT_EQ(st, SANE_STATUS_GOOD);
  EXPECT_EQ(ch.writes.size(), 2u);
  if (ch.writes.size() != 2) return {};
  return {ch.writes[0], ch.writes[1]};
}

TEST(PostScanJob, FlatbedColourA4Conversation) {
  fake::Device dev;
  Session s;
  s.hs->current_source = BB_SOURCE_FLATBED;
  s.hs->current_mode = BB_MODE_COLOR;
  s.hs->current_resolution = 300;
  s.hs->br_x = kMm210;
  s.hs->br_y = kMm297;
  s.hs->x_range_max = kMm215_9;
  auto &before = jobtest::script_jobs_before(dev);
  auto &ch = dev.next("KV-ESCL-SCAN").reply(
      jobtest::created("http://192.168.1.20:80/eSCL/ScanJobs/1f2e3d"));

  EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_GOOD);

  // The document itself is the ScanSettings writer's; its length is ours.
  ASSERT_EQ(ch.writes.size(), 2u);
  const std::string body = ch.writes[1];
  EXPECT_THAT(body, ::testing::HasSubstr("<pwg:InputSource>Platen</pwg:InputSource>"));
  EXPECT_THAT(body, ::testing::EndsWith("</scan:ScanSettings>\r\n"));
  const std::string header = "POST /eSCL/ScanJobs HTTP/1.1\r\nHost: 192.168.1.20:80\r\n"
                             "Content-Type: text/xml\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
  EXPECT_THAT(ch.writes, ElementsAre(header, body));
  // The jobs listed before the posting are read first.
  EXPECT_THAT(before.writes, ElementsAre(jobtest::kStatusRequest));
  EXPECT_EQ(dev.opened_names(), (std::vector<std::string>{"KV-ESCL-SCAN", "KV-ESCL-SCAN"}));
  EXPECT_THAT(ch.write_timeouts, ElementsAre(5, 1));
  EXPECT_TRUE(ch.closed);
  EXPECT_EQ(s.bb->http, nullptr);
  EXPECT_STREQ(s.hs->job_url, "http://192.168.1.20:80/eSCL/ScanJobs/1f2e3d");
  EXPECT_STREQ(s.hs->device_ip, "192.168.1.20:80");
  EXPECT_EQ(s.job_id(), "1f2e3d");
  EXPECT_EQ(s.hs->job_page_count, 1);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1507: bb_post_scanjob.\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1518: Requested_width = [2480], max_width = [2549]\n"));
  EXPECT_EQ(fake::logs_starting("bb_escl 1558:"),
            std::vector<Log>{(Log{6, "bb_escl 1558: bb_post_scanjob returning with stat = [0]"})});
}

struct RegionRow {
  std::string name;
  int32_t source, mode;
  SANE_Fixed tl_x, br_x, tl_y, br_y, x_range_max;
  std::string height, width, x_offset, y_offset, input_source, color_mode, duplex;
};

TEST(PostScanJob, SettingsFollowSourceModeAndArea) {
  const RegionRow rows[] = {
      // The decimal constants round 215.9 mm up to 2550 and the widest
      // feeder scan down to 2549.
      {"platen letter width", 1, 2, 0, kMm215_9, 0, kMm297, kMm215_9, "3507", "2550", "0", "0", "Platen",
       "Grayscale8", "false"},
      {"feeder A4 centred", 2, 3, 0, kMm210, 0, kMm297, kMm215_9, "3507", "2480", "34", "0", "Feeder", "RGB24",
       "false"},
      {"feeder full width: -1/2 truncates to 0", 2, 2, 0, kMm215_9, 0, kMm297, kMm215_9, "3507", "2550", "0", "0",
       "Feeder", "Grayscale8", "false"},
      // Down the sheet a feeder area starts where it starts; across it is
      // centred whatever its left edge.
      {"duplex", 3, 3, kMm50, kMm50 + kMm210, kMm50, kMm50 + kMm297, kMm215_9, "3507", "2480", "34", "590",
       "Feeder", "RGB24", "true"},
      {"lineart goes as grey", 1, 1, 0, kMm210, 0, kMm297, kMm215_9, "3507", "2480", "0", "0", "Platen",
       "Grayscale8", "false"},
      // 50 mm is 590.55/300 inch, truncated like the sizes.
      {"platen area off the origin carries its corner", 1, 3, kMm50, kMm50 + kMm210, kMm50, kMm50 + kMm297,
       kMm215_9, "3507", "2480", "590", "590", "Platen", "RGB24", "false"},
      {"camera", 4, 3, kMm50, kMm210, 0, kMm297, kMm215_9, "3507", "1889", "590", "0", "Camera", "RGB24",
       "false"},
      {"unknown source goes to the platen", 9, 7, 0, kMm210, 0, kMm297, kMm215_9, "3507", "2480", "0", "0",
       "Platen", "Grayscale8", "false"},
      {"offsets are never negative", 1, 3, -kMm50, kMm210, -kMm50, kMm297, kMm215_9, "4098", "3070", "0", "0",
       "Platen", "RGB24", "false"},
  };
  for (const RegionRow &row : rows) {
    fake::Device dev;
    Session s;
    s.hs->current_source = row.source;
    s.hs->current_mode = row.mode;
    s.hs->current_resolution = 600;
    s.hs->tl_x = row.tl_x;
    s.hs->br_x = row.br_x;
    s.hs->tl_y = row.tl_y;
    s.hs->br_y = row.br_y;
    s.hs->x_range_max = row.x_range_max;
    Posted p = post(s, dev, jobtest::created("/eSCL/ScanJobs/1"));
    EXPECT_EQ(element(p.body, "pwg:Height"), row.height) << row.name;
    EXPECT_EQ(element(p.body, "pwg:Width"), row.width) << row.name;
    EXPECT_EQ(element(p.body, "pwg:XOffset"), row.x_offset) << row.name;
    EXPECT_EQ(element(p.body, "pwg:YOffset"), row.y_offset) << row.name;
    EXPECT_EQ(element(p.body, "pwg:InputSource"), row.input_source) << row.name;
    EXPECT_EQ(element(p.body, "scan:XResolution"), "600") << row.name;
    EXPECT_EQ(element(p.body, "scan:YResolution"), "600") << row.name;
    EXPECT_EQ(element(p.body, "scan:ColorMode"), row.color_mode) << row.name;
    EXPECT_EQ(element(p.body, "scan:Duplex"), row.duplex) << row.name;
    EXPECT_THAT(p.header, ::testing::HasSubstr("Content-Length: " + std::to_string(p.body.size()) + "\r\n"))
        << row.name;
  }
}

TEST(PostScanJob, BadRequestBeforeTheRealAnswerIsReadPast) {
  fake::Device dev;
  Session s;
  Posted p = post(s, dev,
                  "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n" +
                      jobtest::created("/eSCL/ScanJobs/77"));
  EXPECT_EQ(s.job_id(), "77");
  EXPECT_EQ(dev.open_count(), 0);
}

// ---- the Host header ----------------------------------------------------------

struct HostRow {
  std::string uri;
  std::string host;
};

TEST(Request, HostHeaderFollowsTheDeviceUri) {
  const HostRow rows[] = {
      {"http://127.0.0.1:8080/", "127.0.0.1:8080"},
      // Epson devices need the default port written.
      {"http://192.168.1.20/", "192.168.1.20:80"},
      {"https://scanner.local/", "scanner.local:443"},
      {"HTTPS://Scanner.Local:8443", "Scanner.Local:8443"},
      {"http://printer-3.office_lan/eSCL", "printer-3.office_lan:80"},
      // The zone names the host's own interface: never sent.
      {"http://[fe80::1%25eth0]:8080/eSCL", "[fe80::1]:8080"},
      {"http://[fe80::1%eth0]/", "[fe80::1]:80"},
      {"https://[2001:db8::5]/", "[2001:db8::5]:443"},
      {"http://[::ffff:10.0.0.1]:9/", "[::ffff:10.0.0.1]:9"},
      {"http://host?x", "host:80"},
      // What no host could have opened leaves the name every device takes.
      {"", "localhost:80"},
      {"kv://scanner-1", "localhost:80"},
      {"http://host:0/", "localhost:80"},
      {"http://host:65536/", "localhost:80"},
      {"http://host:/", "localhost:80"},
      {"http://[fe80::1/", "localhost:80"},
      {"http://[fe80::1]x/", "localhost:80"},
      {"http://user@host/", "localhost:80"},
      {"http://ho st/", "localhost:80"},
      {"http://host\r\nX-Evil: 1/", "localhost:80"},
  };
  for (const HostRow &row : rows) {
    fake::Device dev;
    Session s;
    memset(s.hs->device_uri, 0, sizeof s.hs->device_uri);
    memcpy(s.hs->device_uri, row.uri.data(), row.uri.size());
    auto &ch = dev.next("KV-ESCL-SCAN").reply(jobtest::with_length("<x/>"));
    char doc[64] = {};
    EXPECT_EQ(bb_get_scanner_status(s.hs.get(), doc, sizeof doc), SANE_STATUS_GOOD) << row.uri;
    EXPECT_EQ(ch.written, jobtest::request("GET", "/eSCL/ScannerStatus", row.host)) << row.uri;
  }
}

// A URI filling the whole field, without a NUL, is read within it.
TEST(Request, DeviceUriFillingItsFieldIsReadWithinIt) {
  fake::Device dev;
  Session s;
  const std::string name(BB_DEVICE_URI_SIZE - 7, 'a');
  memcpy(s.hs->device_uri, ("http://" + name).data(), BB_DEVICE_URI_SIZE);
  auto &ch = dev.next("KV-ESCL-SCAN").reply(jobtest::with_length("<x/>"));
  char doc[64] = {};
  bb_get_scanner_status(s.hs.get(), doc, sizeof doc);
  EXPECT_EQ(ch.written, jobtest::request("GET", "/eSCL/ScannerStatus", name + ":80"));
}

// ---- refusals of the Host: asked again as localhost ------------------------

const std::string kBadRequest = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
const std::string kForbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

std::string posted_host(const fake::Channel &ch) {
  if (ch.writes.empty()) return "(nothing written)";
  const std::string &h = ch.writes[0];
  size_t at = h.find("\r\nHost: ");
  if (at == std::string::npos) return "(no Host)";
  at += 8;
  return h.substr(at, h.find("\r\n", at) - at);
}

TEST(PostScanJob, HostRefusedIsPostedAgainAsLocalhostAndKept) {
  struct Row {
    std::string name, uri, host, refusal, local;
  };
  const Row rows[] = {
      {"400 alone", "http://192.168.1.20:8080/", "192.168.1.20:8080", kBadRequest, "localhost:8080"},
      {"403", "https://scanner.local/", "scanner.local:443", kForbidden, "localhost:443"},
      {"400 and the channel closed", "http://10.0.0.2/", "10.0.0.2:80",
       "HTTP/1.1 400 Bad Request\r\n\r\n", "localhost:80"},
  };
  for (const Row &row : rows) {
    fake::Device dev;
    Session s;
    strcpy(s.hs->device_uri, row.uri.c_str());
    auto &first = jobtest::script_post(dev, row.refusal);
    auto &second = dev.next("KV-ESCL-SCAN").reply(jobtest::created("/eSCL/ScanJobs/7"));
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_GOOD) << row.name;
    EXPECT_EQ(posted_host(first), row.host) << row.name;
    EXPECT_EQ(posted_host(second), row.local) << row.name;
    EXPECT_EQ(second.writes.size(), 2u) << row.name;  // the whole job again
    EXPECT_EQ(s.job_id(), "7") << row.name;
    EXPECT_EQ(dev.open_count(), 0) << row.name;
    EXPECT_EQ(fake::logs_starting("bb_escl 1553:").size(), 1u) << row.name;
    EXPECT_EQ(fake::logs_starting("bb_escl 1553:")[0].level, 6) << row.name;

    // Every later request to the device says localhost, a scan end's
    // DELETE included.
    auto &status = dev.next("KV-ESCL-SCAN").reply(jobtest::with_length("<x/>"));
    char doc[64] = {};
    bb_get_scanner_status(s.hs.get(), doc, sizeof doc);
    EXPECT_EQ(status.written, jobtest::request("GET", "/eSCL/ScannerStatus", row.local)) << row.name;
    auto &cancel = dev.next("KV-EWS-NDAT").silence().reply(
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    cancel.fail_read(5);
    bb_end_scan(s.hs.get(), 1);
    ASSERT_FALSE(cancel.writes.empty()) << row.name;
    EXPECT_THAT(cancel.writes[0], ::testing::HasSubstr("\r\nHost: " + row.local + "\r\n")) << row.name;
  }
}

TEST(PostScanJob, HostRefusedTwiceIsARefusalAndTheNameGoesBack) {
  fake::Device dev;
  Session s;
  jobtest::script_post(dev, kForbidden);
  auto &second = dev.next("KV-ESCL-SCAN").reply(kBadRequest);
  EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(posted_host(second), "localhost:80");
  EXPECT_EQ(dev.opened().size(), 3u);  // posted twice, no more
  EXPECT_TRUE(fake::logged(3, "bb_escl 1554: the device refused the job (400 or 403)\n"));
  EXPECT_EQ(s.bb->host_localhost, 0);
  // A device that took localhost once is not asked twice the same way.
  fake::Device dev2;
  s.bb->host_localhost = 1;
  auto &only = jobtest::script_post(dev2, kForbidden);
  EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(posted_host(only), "localhost:80");
  EXPECT_EQ(dev2.opened().size(), 2u);
  EXPECT_EQ(s.bb->host_localhost, 1);
}

// ---- "409 Conflict": busy with another client, or settings refused ------------

std::string scanner_status(const std::string &state) {
  return jobtest::with_length(jobtest::status_doc(state, ""));
}

TEST(PostScanJob, ConflictIsBusyOrPostedAgainWhileIdle) {
  const std::string conflict = "HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\n\r\n";
  struct Row {
    std::string name;
    std::vector<std::string> states;  // the status after each 409
    bool accepted;                    // the posting after the last one creates the job
    SANE_Status expected;
  };
  const Row rows[] = {
      // Another client's job: busy at once, for the host to wait within
      // its own budget.
      {"busy", {"Processing"}, false, SANE_STATUS_DEVICE_BUSY},
      {"testing", {"Testing"}, false, SANE_STATUS_DEVICE_BUSY},
      // Some devices refuse for a moment after they turn idle.
      {"idle a moment, then taken", {"Idle", "Idle", "Idle"}, true, SANE_STATUS_GOOD},
      // 2 s of idle and still refused: the settings are the trouble.
      {"idle beyond 2 s", {"Idle", "Idle", "Idle", "Idle", "Idle"}, false, SANE_STATUS_IO_ERROR},
      {"idle, then busy", {"Idle", "Processing"}, false, SANE_STATUS_DEVICE_BUSY},
  };
  for (const Row &row : rows) {
    fake::Device dev;
    Session s;
    std::vector<fake::Channel *> posts{&jobtest::script_post(dev, conflict)};
    for (size_t i = 0; i < row.states.size(); ++i) {
      dev.next("KV-ESCL-SCAN").reply(scanner_status(row.states[i]));
      const bool last = i + 1 == row.states.size();
      if (!last) posts.push_back(&dev.next("KV-ESCL-SCAN").reply(conflict));
    }
    if (row.accepted) posts.push_back(&dev.next("KV-ESCL-SCAN").reply(jobtest::created("/eSCL/ScanJobs/5")));
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), row.expected) << row.name << jobtest::dump_logs();
    const size_t pauses = row.states.size() - (row.accepted ? 0 : 1);
    EXPECT_EQ(fake::slept_total(), pauses * 500000ULL) << row.name;
    for (fake::Channel *p : posts) EXPECT_EQ(p->writes.size(), 2u) << row.name;
    EXPECT_EQ(dev.open_count(), 0) << row.name;
    EXPECT_EQ(s.job_id(), row.accepted ? "5" : "") << row.name;
  }
}

TEST(PostScanJob, CancelEndsTheWaitForARefusingScanner) {
  const std::string conflict = "HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\n\r\n";
  fake::Device dev;
  Session s;
  jobtest::script_post(dev, conflict);
  dev.next("KV-ESCL-SCAN").reply(scanner_status("Idle"));
  fake::on_sleep([&](size_t n) {
    if (n == 2) s.hs->cancel_requested = 1;
  });
  EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_CANCELLED);
  EXPECT_EQ(fake::sleeps().size(), 2u);
  EXPECT_EQ(dev.opened().size(), 3u);  // nothing posted after the cancel
}

TEST(PostScanJob, ServiceUnavailableIsBusyAtOnce) {
  fake::Device dev;
  Session s;
  jobtest::script_post(dev, "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_DEVICE_BUSY);
  EXPECT_EQ(dev.opened().size(), 2u);
  EXPECT_TRUE(fake::sleeps().empty());
}

// ---- no orphan job ------------------------------------------------------------

// The creation's answer is lost, yet the device may have created the job:
// a job that appeared since the posting, waiting or running, is deleted.
TEST(PostScanJob, JobCreatedWhileItsAnswerWasLostIsDeleted) {
  struct Row {
    std::string name;
    std::function<void(fake::Channel &)> answer;
  };
  const Row rows[] = {
      {"silent", [](fake::Channel &) {}},
      {"garbled", [](fake::Channel &c) { c.reply("HTTP/1.1 2O1 Cre@ted\r\n\r\n"); }},
      {"cut", [](fake::Channel &c) { c.reply("HTTP/1.1 201 Created\r\nLocat").fail_read(5); }},
      {"no Location", [](fake::Channel &c) { c.reply("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"); }},
      {"Location without a job",
       [](fake::Channel &c) { c.reply("HTTP/1.1 201 Created\r\nLocation: /eSCL/ScanJobs/\r\n\r\n"); }},
      {"Location elsewhere", [](fake::Channel &c) { c.reply("HTTP/1.1 201 Created\r\nLocation: /jobs/5\r\n\r\n"); }},
  };
  const std::string before = jobtest::job_entry("old-done", "Completed") +
                             jobtest::job_entry("other-client", "Processing");
  const std::string after = before + jobtest::job_entry("new-done", "Completed") +
                            "<scan:JobInfo><pwg:JobUri>\r\n  http://192.168.1.20:80/eSCL/ScanJobs/ours\r\n"
                            "</pwg:JobUri><pwg:JobState>Pending</pwg:JobState></scan:JobInfo>";
  for (const Row &row : rows) {
    fake::Device dev;
    Session s;
    jobtest::script_jobs_before(dev, before);
    row.answer(dev.next("KV-ESCL-SCAN"));
    auto &status = dev.next("KV-ESCL-SCAN").reply(jobtest::with_length(jobtest::status_doc("Processing", "", after)));
    auto &del = dev.next("KV-ESCL-SCAN").reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");

    EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR) << row.name;
    EXPECT_THAT(status.writes, ElementsAre(jobtest::kStatusRequest)) << row.name;
    EXPECT_THAT(del.writes, ElementsAre(jobtest::request("DELETE", "/eSCL/ScanJobs/ours"))) << row.name;
    EXPECT_EQ(dev.opened().size(), 4u) << row.name;  // no other job deleted
    EXPECT_EQ(dev.open_count(), 0) << row.name;
    EXPECT_TRUE(fake::logged(3, "bb_escl 1555: deleting the job http://192.168.1.20:80/eSCL/ScanJobs/ours, "
                                "created though the answer to its creation was lost\n"))
        << row.name << jobtest::dump_logs();
    EXPECT_EQ(s.job_id(), "") << row.name;
  }
}

TEST(PostScanJob, LostAnswerWithoutANewLiveJobDeletesNothing) {
  struct Row {
    std::string name;
    bool listed_before;  // the status before the posting was read
    std::string after;
  };
  const Row rows[] = {
      {"no new job", true, jobtest::job_entry("old", "Processing")},
      {"new job already ended", true, jobtest::job_entry("old", "Processing") + jobtest::job_entry("n", "Aborted")},
      // Unknown what was there before: nothing can be told apart.
      {"no list before", false, jobtest::job_entry("n", "Pending")},
  };
  for (const Row &row : rows) {
    fake::Device dev;
    Session s;
    if (row.listed_before)
      jobtest::script_jobs_before(dev, jobtest::job_entry("old", "Processing"));
    else
      dev.refuse("KV-ESCL-SCAN");
    dev.next("KV-ESCL-SCAN").fail_read(5);
    if (row.listed_before)
      dev.next("KV-ESCL-SCAN").reply(jobtest::with_length(jobtest::status_doc("Processing", "", row.after)));
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR) << row.name;
    EXPECT_EQ(dev.opened().size(), row.listed_before ? 3u : 1u) << row.name;
    EXPECT_TRUE(fake::logs_starting("bb_escl 1555:").empty()) << row.name;
    EXPECT_EQ(fake::logs_starting("bb_escl 1556:").size(), row.listed_before ? 0u : 1u) << row.name;
  }
}

TEST(PostScanJob, FailuresAreIoErrorsAndLeaveTheJobFields) {
  struct Case {
    std::string name;
    void (*script)(fake::Device &);
    Log message;
  };
  const Case cases[] = {
      {"channel refused",
       [](fake::Device &d) {
         jobtest::script_jobs_before(d);
         d.refuse("KV-ESCL-SCAN");
       },
       {3, "bb_escl 1511: Unable to open http connection\n"}},
      {"header write fails",
       [](fake::Device &d) {
         jobtest::script_jobs_before(d);
         d.next("KV-ESCL-SCAN").write_result = 5;
       },
       {3, "bb_escl 1539: Unable to write eSCL header in http conection\n"}},
      {"server error",
       [](fake::Device &d) {
         jobtest::script_post(d, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
       },
       {6, "bb_escl 1558: bb_post_scanjob returning with stat = [9]"}},
      {"no answer",
       [](fake::Device &d) {
         jobtest::script_jobs_before(d);
         d.next("KV-ESCL-SCAN").fail_read(5);
       },
       {6, "bb_escl 1558: bb_post_scanjob returning with stat = [9]"}},
  };
  for (const Case &c : cases) {
    fake::Device dev;
    Session s;
    s.set_job("keep");
    strcpy(s.hs->job_url, "/eSCL/ScanJobs/keep");
    c.script(dev);
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR) << c.name;
    EXPECT_TRUE(fake::logged(c.message.level, c.message.text)) << c.name << jobtest::dump_logs();
    EXPECT_EQ(s.job_id(), "keep") << c.name;
    EXPECT_STREQ(s.hs->job_url, "/eSCL/ScanJobs/keep") << c.name;
    EXPECT_EQ(dev.open_count(), 0) << c.name;
    EXPECT_EQ(s.bb->http, nullptr) << c.name;
  }
}

TEST(PostScanJob, PageChannelLeftOpenIsClosedFirst) {
  fake::Device dev;
  Session s;
  auto &page = dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  post(s, dev, jobtest::created("/eSCL/ScanJobs/2"));
  EXPECT_TRUE(page.closed);
  EXPECT_EQ(dev.open_count(), 0);
}

}  // namespace
