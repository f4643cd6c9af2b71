// Readers of the ScannerStatus document and of the job-creation answer, and
// the status fetch over its own channel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device_double.h"
#include "job_session.h"

using fake::Log;
using jobtest::job_entry;
using jobtest::Session;
using jobtest::status_doc;
using ::testing::ElementsAre;

namespace {

// ---- feeder state ---------------------------------------------------------

struct AdfRow {
  std::string state;
  SANE_Status expected;
};

TEST(AdfState, FeederStatesMapToSaneStatus) {
  const AdfRow rows[] = {
      {"ScannerAdfLoaded", SANE_STATUS_GOOD},
      {"ScannerAdfEmpty", SANE_STATUS_NO_DOCS},
      {"ScannerAdfJam", SANE_STATUS_JAMMED},
      {"ScannerAdfProcessing", SANE_STATUS_DEVICE_BUSY},
      // A mispick drew nothing in: reported like an unknown state.
      {"ScannerAdfMispick", SANE_STATUS_UNSUPPORTED},
      {"ScannerAdfHatchOpen", SANE_STATUS_COVER_OPEN},
      {"ScannerAdfInputTrayFailed", SANE_STATUS_UNSUPPORTED},
      {"", SANE_STATUS_UNSUPPORTED},
      // The words are found inside longer texts too.
      {" ScannerAdfJamX ", SANE_STATUS_JAMMED},
  };
  Session s;
  for (const AdfRow &row : rows) {
    fake::reset_captures();
    std::string doc =
        "<pwg:State>Idle</pwg:State><scan:AdfState>" + row.state + "</scan:AdfState>";
    EXPECT_EQ(bb_get_adf_state(s.hs.get(), doc.c_str()), row.expected) << row.state;
    EXPECT_THAT(fake::logs(),
                ElementsAre(Log{6, "bb_escl 1306: bb_get_adf_state state=[" + row.state +
                                       "] stat=[" + std::to_string(row.expected) + "] \n"}));
  }
}

TEST(AdfState, NoFeederElementIsUnsupportedAndSilent) {
  fake::reset_captures();
  EXPECT_EQ(bb_get_adf_state(nullptr, status_doc("Idle", "").c_str()), SANE_STATUS_UNSUPPORTED);
  EXPECT_EQ(bb_get_adf_state(nullptr, ""), SANE_STATUS_UNSUPPORTED);
  EXPECT_EQ(bb_get_adf_state(nullptr, nullptr), SANE_STATUS_UNSUPPORTED);
  EXPECT_TRUE(fake::logs().empty());
}

TEST(AdfState, OnlyTheFirstFeederElementCounts) {
  std::string doc = "<scan:AdfState>ScannerAdfEmpty</scan:AdfState>"
                    "<scan:AdfState>ScannerAdfJam</scan:AdfState>";
  EXPECT_EQ(bb_get_adf_state(nullptr, doc.c_str()), SANE_STATUS_NO_DOCS);
}

TEST(AdfState, LongStateTextIsCutToFortyNineCharacters) {
  // The word lies beyond the room of the copy: not seen, nothing overrun.
  std::string doc = "<scan:AdfState>" + std::string(49, 'x') + "ScannerAdfJam</scan:AdfState>";
  fake::reset_captures();
  EXPECT_EQ(bb_get_adf_state(nullptr, doc.c_str()), SANE_STATUS_UNSUPPORTED);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1306: bb_get_adf_state state=[" + std::string(49, 'x') +
                                  "] stat=[1] \n"));
}

TEST(AdfState, UnterminatedStateRunsToTheEndOfTheDocument) {
  EXPECT_EQ(bb_get_adf_state(nullptr, "<scan:AdfState>ScannerAdfLoaded"), SANE_STATUS_GOOD);
}

// ---- job state ------------------------------------------------------------

struct JobRow {
  std::string state;
  int expected;
};

TEST(JobState, StateWordsMapToCodes) {
  const JobRow rows[] = {
      {"Canceled", BB_JOB_CANCELED},     {"Aborted", BB_JOB_ABORTED},
      {"Completed", BB_JOB_COMPLETED},   {"Pending", BB_JOB_PENDING},
      {"Processing", BB_JOB_PROCESSING}, {"Held", BB_JOB_NOT_FOUND},
      {"", BB_JOB_NOT_FOUND},
      // Tested in a fixed order: Completed wins over a later word.
      {"ProcessingCompleted", BB_JOB_COMPLETED},
  };
  Session s;
  s.set_job("42");
  for (const JobRow &row : rows) {
    fake::reset_captures();
    std::string doc = status_doc("Processing", "", job_entry("42", row.state));
    EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), row.expected) << row.state;
    EXPECT_THAT(fake::logs(),
                ElementsAre(Log{6, "bb_escl 1405: bb_get_JobState jobid[42]\n"},
                            Log{6, "bb_escl 1442: bb_get_JobState: js=[" + row.state +
                                       "] jobstate=[" + std::to_string(row.expected) + "].\n"}));
  }
}

TEST(JobState, NoJobMeansCompletedWhateverTheDocument) {
  Session s;
  fake::reset_captures();
  std::string doc = status_doc("Processing", "", job_entry("", "Aborted"));
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_COMPLETED);
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "bb_escl 1405: bb_get_JobState jobid[]\n"}));
}

TEST(JobState, OtherJobsOnlyIsNotFound) {
  Session s;
  s.set_job("7");
  std::string doc = status_doc("Idle", "", job_entry("70", "Processing") + job_entry("17", "Pending"));
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_NOT_FOUND);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1442: bb_get_JobState: js=[] jobstate=[5].\n"));
}

// State and count come from the job's own entry, never from a later job's.
TEST(JobState, EntryWithoutStateIsNotFound) {
  Session s;
  s.set_job("7");
  for (std::string doc : {"<pwg:JobUri>/eSCL/ScanJobs/7</pwg:JobUri>" + job_entry("8", "Aborted"),
                          "<scan:JobInfo><pwg:JobUri>/eSCL/ScanJobs/7</pwg:JobUri></scan:JobInfo>" +
                              job_entry("8", "Aborted")})
    EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_NOT_FOUND) << doc;
}

// The job URI is matched by meaning: devices pad it, write it absolute, or
// end it with a slash.
TEST(JobState, JobUriMatchesByMeaning) {
  struct Row {
    std::string uri;
    int expected;
  };
  const Row rows[] = {
      {"/eSCL/ScanJobs/7", BB_JOB_PENDING},
      {"\n        /eSCL/ScanJobs/7\n      ", BB_JOB_PENDING},
      {" \t/eSCL/ScanJobs/7/\r\n", BB_JOB_PENDING},
      {"http://10.0.0.5:8080/eSCL/ScanJobs/7", BB_JOB_PENDING},
      {"https://[fe80::1]/eSCL/ScanJobs/7/", BB_JOB_PENDING},
      {"/eSCL/ScanJobs/77", BB_JOB_NOT_FOUND},
      {"/eSCL/ScanJobs/7/x", BB_JOB_NOT_FOUND},
      {"/other/eSCL/ScanJobs/7", BB_JOB_NOT_FOUND},
      {"http://h", BB_JOB_NOT_FOUND},
      {"", BB_JOB_NOT_FOUND},
  };
  Session s;
  s.set_job("7");
  for (const Row &row : rows) {
    std::string doc = status_doc("Processing", "",
                                 job_entry("6", "Processing") + "<scan:JobInfo><pwg:JobUri>" + row.uri +
                                     "</pwg:JobUri><pwg:JobState>Pending</pwg:JobState></scan:JobInfo>");
    EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), row.expected) << row.uri;
  }
}

// The state may come before the URI inside the entry, but never from the
// entry before it.
TEST(JobState, StateBeforeTheUriInsideTheEntryIsTaken) {
  Session s;
  s.set_job("7");
  std::string doc = job_entry("6", "Completed") +
                    "<scan:JobInfo><pwg:JobState>Processing</pwg:JobState>"
                    "<pwg:JobUri>/eSCL/ScanJobs/7</pwg:JobUri></scan:JobInfo>";
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_PROCESSING);
}

TEST(JobState, StateBeforeTheEntryIsNotTaken) {
  Session s;
  s.set_job("7");
  std::string doc = job_entry("6", "Processing") + "<pwg:JobUri>/eSCL/ScanJobs/7</pwg:JobUri>";
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_NOT_FOUND);
}

TEST(JobState, FullJobIdFieldIsReadWithinItsBounds) {
  Session s;
  std::string id(sizeof s.hs->job_id, 'a');  // no NUL inside the field
  memcpy(s.hs->job_id, id.data(), id.size());
  std::string doc = status_doc("Processing", "", job_entry(id, "Processing"));
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_PROCESSING);
}

// ---- images to transfer ---------------------------------------------------

struct ImagesRow {
  std::string text;
  int expected;
};

TEST(ImagesToTransfer, CountIsReadWithStrtolRules) {
  const ImagesRow rows[] = {
      {"3", 3},       {"0", 0},        {" 12", 12},           {"-2", -2},  {"+5", 5},
      {"7x", 7},      {"x7", 0},       {"", 0},
      // Nine characters at most: the tenth digit is cut off.
      {"1234567890", 123456789},
  };
  Session s;
  s.set_job("j1");
  for (const ImagesRow &row : rows) {
    fake::reset_captures();
    std::string doc = "<pwg:JobUri>/eSCL/ScanJobs/j1</pwg:JobUri><pwg:ImagesToTransfer>" +
                      row.text + "</pwg:ImagesToTransfer>";
    EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), doc.c_str()), row.expected) << row.text;
    EXPECT_THAT(fake::logs(),
                ElementsAre(Log{6, "bb_escl 1371: bb_get_ImagesToTransfer jobid[j1]\n"},
                            Log{6, "bb_escl 1392: pending_image =" +
                                       std::to_string(row.expected) + " \n"}));
  }
}

TEST(ImagesToTransfer, NothingFoundIsZeroWithoutResultMessage) {
  Session s;
  std::string doc = status_doc("Idle", "", job_entry("j1", "Processing", 4));
  fake::reset_captures();
  EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), doc.c_str()), 0);  // no job
  s.set_job("j2");
  EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), doc.c_str()), 0);  // not listed
  s.set_job("j1");
  std::string without = status_doc("Idle", "", job_entry("j1", "Processing"));
  EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), without.c_str()), 0);  // no count
  EXPECT_TRUE(fake::logs_starting("bb_escl 1392:").empty());
}

TEST(ImagesToTransfer, EntryWithoutCountIsZero) {
  Session s;
  s.set_job("a");
  std::string doc = status_doc("Idle", "", job_entry("a", "Processing") + job_entry("b", "Pending", 6));
  EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), doc.c_str()), 0);
}

// ---- captured devices -----------------------------------------------------

TEST(CapturedStatus, BusyFeederScannerWithFiveJobs) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  Session s;
  std::string doc = jobtest::device_doc("status-kyocera-ecosys-m2040dn-processing-adf-processing.xml");
  ASSERT_FALSE(doc.empty());
  EXPECT_EQ(bb_get_adf_state(s.hs.get(), doc.c_str()), SANE_STATUS_DEVICE_BUSY);
  s.set_job("urn:uuid:4509a320-00a0-008f-00b6-00559a327d32");
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_PROCESSING);
  s.set_job("urn:uuid:4509a320-00a0-008f-00b6-00559a327d31");
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_COMPLETED);
  EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), doc.c_str()), 0);
}

TEST(CapturedStatus, IdleScannerWithUuidBeforeUri) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  Session s;
  std::string doc = jobtest::device_doc("status-epson-et-4800-idle-adf-empty-jobs-uuid-first.xml");
  ASSERT_FALSE(doc.empty());
  EXPECT_EQ(bb_get_adf_state(s.hs.get(), doc.c_str()), SANE_STATUS_NO_DOCS);
  s.set_job("9e8914c8-39a9-4702-b79a-195aa3af417d");
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_PROCESSING);
  s.set_job("1ddea9b5-4de6-42a3-942a-ec1e2ae19968");
  EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_COMPLETED);
}

TEST(CapturedStatus, PaddedJobUriMatches) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  // This device writes the job URI on a line of its own.
  Session s;
  std::string doc =
      jobtest::device_doc("status-brother-mfc-l2710dw-idle-adf-empty-completed-jobs.xml");
  ASSERT_FALSE(doc.empty());
  EXPECT_EQ(bb_get_adf_state(s.hs.get(), doc.c_str()), SANE_STATUS_NO_DOCS);
  for (const char *id : {"71af3a90-8d5b-11ee-80cb-3c2af4493199", "0381d914-8e8d-11ee-8108-3c2af4493199",
                         "253b25c7-8e8d-11ee-8109-3c2af4493199"}) {
    s.set_job(id);
    EXPECT_EQ(bb_get_JobState(s.hs.get(), doc.c_str()), BB_JOB_COMPLETED) << id;
    EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), doc.c_str()), 1) << id;
  }
}

// ---- job location ---------------------------------------------------------

struct LocationRow {
  std::string name;
  std::string response;
  int result;
  std::string url, ip, id;
};

TEST(JobLocation, LocationHeaderGivesUrlAddressAndJob) {
  const LocationRow rows[] = {
      {"absolute with port", "HTTP/1.1 201 Created\r\nLocation: http://10.0.0.5:8080/eSCL/ScanJobs/abc-1/\r\n\r\n",
       0, "http://10.0.0.5:8080/eSCL/ScanJobs/abc-1/", "10.0.0.5:8080", "abc-1"},
      {"relative", "HTTP/1.1 201 Created\r\nLocation: /eSCL/ScanJobs/17\r\n\r\n", 0,
       "/eSCL/ScanJobs/17", "", "17"},
      {"identifier with colons", "Location: /eSCL/ScanJobs/urn:uuid:4509\r\n", 0,
       "/eSCL/ScanJobs/urn:uuid:4509", "", "urn:uuid:4509"},
      {"no blank after the colon", "Location:http://1.2.3.4/eSCL/ScanJobs/9\r\n", 0,
       "http://1.2.3.4/eSCL/ScanJobs/9", "1.2.3.4", "9"},
      {"blanks and tabs after the colon", "Location: \t  http://1.2.3.4/eSCL/ScanJobs/9\r\n", 0,
       "http://1.2.3.4/eSCL/ScanJobs/9", "1.2.3.4", "9"},
      {"header name in lower case", "HTTP/1.1 201 Created\r\nlocation: /eSCL/ScanJobs/5\r\n\r\n", 0,
       "/eSCL/ScanJobs/5", "", "5"},
      {"after a Content-Location header",
       "HTTP/1.1 201 Created\r\nContent-Location: /other/1\r\nLocation: /eSCL/ScanJobs/8\r\n\r\n", 0,
       "/eSCL/ScanJobs/8", "", "8"},
      {"no carriage return", "Location: /eSCL/ScanJobs/5", 0, "/eSCL/ScanJobs/5", "", "5"},
      {"trailing blanks and tabs", "Location: /eSCL/ScanJobs/17 \t \r\n", 0, "/eSCL/ScanJobs/17", "",
       "17"},
      {"https is not the http scheme", "Location: https://h/eSCL/ScanJobs/5\r\n", 0,
       "https://h/eSCL/ScanJobs/5", "https:", "5"},
  };
  for (const LocationRow &row : rows) {
    Session s;
    fake::reset_captures();
    EXPECT_EQ(bb_get_url(s.hs.get(), row.response.c_str()), row.result) << row.name;
    EXPECT_EQ(std::string(s.hs->job_url), row.url) << row.name;
    EXPECT_EQ(std::string(s.hs->device_ip), row.ip) << row.name;
    EXPECT_EQ(s.job_id(), row.id) << row.name;
    EXPECT_EQ(s.hs->job_page_count, 1) << row.name;
    EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "bb_escl 1328: bb_get_url URL=" + row.url + "\n"},
                                          Log{6, "bb_escl 1343: bb_get_url ip=" + row.ip + "\n"},
                                          Log{6, "bb_escl 1357: bb_get_url job_id=" + row.id + "\n"}))
        << row.name;
  }
}

// Identifiers go into request lines: only a plain path segment is kept.
TEST(JobLocation, OnlyPlainPathSegmentsAreKept) {
  struct Row {
    std::string value;
    int result;
    std::string id;
  };
  const Row rows[] = {
      {"/eSCL/ScanJobs/urn:uuid:45-a.b_c~d@e!f$g&h'i(j)k*l+m,n;o=p%20", 0,
       "urn:uuid:45-a.b_c~d@e!f$g&h'i(j)k*l+m,n;o=p%20"},
      {"/eSCL/ScanJobs/..", 1, "old"},
      {"/eSCL/ScanJobs/.", 1, "old"},
      {"/eSCL/ScanJobs/a b", 1, "old"},
      {"/eSCL/ScanJobs/a\"b", 1, "old"},
      {"/eSCL/ScanJobs/a?b", 1, "old"},
      {"/eSCL/ScanJobs/" + std::string(63, 'x'), 0, std::string(63, 'x')},
      {"/eSCL/ScanJobs/" + std::string(64, 'x'), 1, "old"},
      // A bare line feed ends the header line: what follows is not the value.
      {"/eSCL/ScanJobs/7\nX-Injected: yes", 0, "7"},
  };
  for (const Row &row : rows) {
    Session s;
    s.set_job("old");
    const std::string answer = "HTTP/1.1 201 Created\r\nLocation: " + row.value + "\r\n\r\n";
    EXPECT_EQ(bb_get_url(s.hs.get(), answer.c_str()), row.result) << row.value;
    EXPECT_EQ(s.job_id(), row.id) << row.value;
  }
}

TEST(JobLocation, NoLocationChangesNothing) {
  Session s;
  s.set_job("old");
  fake::reset_captures();
  EXPECT_EQ(bb_get_url(s.hs.get(), "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"), 1);
  EXPECT_EQ(bb_get_url(s.hs.get(), nullptr), 1);
  EXPECT_EQ(bb_get_url(s.hs.get(), "Content-Location: /eSCL/ScanJobs/9\r\n"), 1);
  // "/eSCL/ScanJobs/" alone names no job.
  EXPECT_EQ(bb_get_url(s.hs.get(), "Location: /eSCL/ScanJobs/\r\n"), 1);
  EXPECT_EQ(s.job_id(), "old");
  EXPECT_TRUE(fake::logs_starting("bb_escl 1357:").empty());
}

TEST(JobLocation, LocationWithoutJobsPathKeepsTheJob) {
  Session s;
  s.set_job("old");
  s.hs->job_page_count = 3;
  EXPECT_EQ(bb_get_url(s.hs.get(), "Location: http://10.1.1.1/jobs/5\r\n"), 1);
  EXPECT_STREQ(s.hs->job_url, "http://10.1.1.1/jobs/5");
  EXPECT_STREQ(s.hs->device_ip, "10.1.1.1");
  EXPECT_EQ(s.job_id(), "old");
  EXPECT_EQ(s.hs->job_page_count, 3);
}

// Values too long for their fields are cut; an identifier too long for
// its field is refused rather than cut into another job's name.
TEST(JobLocation, OversizedValuesAreCutToTheirFields) {
  Session s;
  memset(s.hs->job_url, 'u', sizeof s.hs->job_url);  // fields around stay as they are
  const std::string host(60, 'h');
  const std::string id(300, 'i');
  EXPECT_EQ(bb_get_url(s.hs.get(), ("Location: http://" + host + "/eSCL/ScanJobs/" + id + "\r\n").c_str()), 1);
  EXPECT_EQ(strlen(s.hs->job_url), sizeof s.hs->job_url - 1);
  EXPECT_EQ(std::string(s.hs->device_ip), host.substr(0, sizeof s.hs->device_ip - 1));
  EXPECT_EQ(s.job_id(), "");
  EXPECT_EQ(s.hs->scan_interrupted, 0);  // the field after device_ip is untouched
}

TEST(JobLocation, IdentifierBeyondTheUrlFieldIsNotFound) {
  Session s;
  std::string path(300, 'p');
  EXPECT_EQ(bb_get_url(s.hs.get(), ("Location: /" + path + "/eSCL/ScanJobs/5\r\n").c_str()), 1);
  EXPECT_EQ(strlen(s.hs->job_url), sizeof s.hs->job_url - 1);
  EXPECT_EQ(s.job_id(), "");
}

// ---- status fetch ---------------------------------------------------------

TEST(ScannerStatus, FetchesTheDocumentOnItsOwnChannel) {
  fake::Device dev;
  Session s;
  std::string doc = status_doc("Idle", "ScannerAdfLoaded");
  auto &ch = dev.next("KV-ESCL-SCAN").reply(jobtest::with_length(doc));
  char buf[5120];
  EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_GOOD);
  EXPECT_EQ(std::string(buf), doc);
  EXPECT_EQ(ch.written, jobtest::kStatusRequest);
  EXPECT_THAT(ch.write_timeouts, ElementsAre(10));
  EXPECT_TRUE(ch.closed);
  EXPECT_EQ(s.bb->http, nullptr);
  EXPECT_EQ(fake::logs().front(), (Log{6, "bb_escl 1249: bb_get_scanner_status entry.\n"}));
  EXPECT_EQ(fake::logs().back(), (Log{6, "bb_escl 1273: bb_get_scanner_status returning (0)\n"}));
}

// A document as long as the host's buffer, or longer: the buffer ends with
// a NUL the device's bytes never overwrite, so the exported readers stay
// inside it (AddressSanitizer watches the exact-size heap buffer).
TEST(ScannerStatus, ReadersStayInsideAFullHostBuffer) {
  constexpr size_t kHostBuffer = 5120;
  for (size_t body_size : {kHostBuffer - 1, kHostBuffer, kHostBuffer + 700}) {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    std::string doc = status_doc("Processing", "ScannerAdfLoaded", job_entry("J1", "Processing"));
    doc += std::string(body_size - doc.size(), ' ');
    dev.next("KV-ESCL-SCAN").reply(jobtest::with_length(doc));
    std::unique_ptr<char[]> buf(new char[kHostBuffer]);
    ASSERT_EQ(bb_get_scanner_status(s.hs.get(), buf.get(), kHostBuffer), SANE_STATUS_GOOD) << body_size;
    EXPECT_EQ(buf[kHostBuffer - 1], '\0') << body_size;
    EXPECT_EQ(std::string(buf.get()), doc.substr(0, kHostBuffer - 1)) << body_size;
    EXPECT_EQ(bb_get_adf_state(s.hs.get(), buf.get()), SANE_STATUS_GOOD);
    EXPECT_EQ(bb_get_JobState(s.hs.get(), buf.get()), BB_JOB_PROCESSING);
    EXPECT_EQ(bb_get_ImagesToTransfer(s.hs.get(), buf.get()), 0);
    EXPECT_EQ(bb_get_url(s.hs.get(), buf.get()), 1);
  }
}

TEST(ScannerStatus, ChunkedDocumentArrivesWithoutItsFraming) {
  fake::Device dev;
  Session s;
  std::string doc = status_doc("Idle", "ScannerAdfEmpty");
  dev.next("KV-ESCL-SCAN").reply(jobtest::chunked(doc));
  char buf[5120];
  ASSERT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_GOOD);
  EXPECT_EQ(std::string(buf), doc);
  EXPECT_EQ(bb_get_adf_state(s.hs.get(), buf), SANE_STATUS_NO_DOCS);
}

TEST(ScannerStatus, FailuresAreIoErrorsWithTheChannelClosed) {
  {
    fake::Device dev;
    Session s;
    dev.refuse("KV-ESCL-SCAN");
    char buf[64];
    EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "bb_escl 1253: Failed to Open Channel KVCHAN_S_ESCL_SCAN\n"));
    EXPECT_TRUE(fake::logged(6, "bb_escl 1273: bb_get_scanner_status returning (9)\n"));
  }
  {
    fake::Device dev;
    Session s;
    dev.next("KV-ESCL-SCAN").write_result = 5;
    char buf[64];
    EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "bb_escl 1258: Unable to write scanner status in http conection\n"));
    EXPECT_EQ(dev.open_count(), 0);
    EXPECT_EQ(s.bb->http, nullptr);
  }
  {
    fake::Device dev;
    Session s;
    dev.next("KV-ESCL-SCAN").fail_read(5);  // the answer never comes
    char buf[64];
    EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(dev.open_count(), 0);
    EXPECT_EQ(s.bb->http, nullptr);
  }
}

TEST(ScannerStatus, OpenPageChannelIsSetAsideAndKept) {
  fake::Device dev;
  Session s;
  auto &page = dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  http_handle *held = s.bb->http;
  auto &status = dev.next("KV-ESCL-SCAN").reply(jobtest::with_length(status_doc("Idle", "")));
  char buf[5120];
  EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_GOOD);
  EXPECT_EQ(s.bb->http, held);
  EXPECT_FALSE(page.closed);
  EXPECT_TRUE(status.closed);
  EXPECT_TRUE(page.written.empty());
}

TEST(ScannerStatus, NoBufferOrNoSessionIsAnIoError) {
  fake::Device dev;
  Session s;
  char buf[8];
  EXPECT_EQ(bb_get_scanner_status(s.hs.get(), nullptr, 8), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, 0), SANE_STATUS_IO_ERROR);
  s.hs->bb_session = nullptr;
  EXPECT_EQ(bb_get_scanner_status(s.hs.get(), buf, sizeof buf), SANE_STATUS_IO_ERROR);
  s.hs->bb_session = s.bb;
  EXPECT_EQ(dev.open_calls(), 0);
}

}  // namespace
