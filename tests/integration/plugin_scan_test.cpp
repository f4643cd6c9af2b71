// The plug-in, loaded as a host loads it, scanning from simulated devices:
// a flatbed page, feeder jobs, two devices at once, and the ways devices
// frame their answers.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "kvchan.h"
#include "sim_fixture.h"

namespace {

using escl_sim::Config;
using itest::count_requests;
using itest::HostDevice;
using itest::Page;
using itest::plugin;

class PluginScan : public itest::SimulatedDeviceTest {};

// Small pages keep the suite quick: 100 dpi over 20 mm is 79 pixels.
constexpr int kDpi = 100;
constexpr double kSideMm = 20.0;

// One flatbed page from bb_open to bb_close; returns what the host got.
Page flatbed_page(HostDevice &device, int mode = BB_MODE_GRAY) {
  EXPECT_EQ(device.open(), 0);
  device.select(BB_SOURCE_FLATBED, mode, kDpi, kSideMm, kSideMm);
  Page page = device.scan_page();
  plugin().end_scan(device.hs(), 0);
  return page;
}

TEST_F(PluginScan, FlatbedPageFromOpenToClose) {
  auto sim = start_simulator(Config{});
  HostDevice device(sim->base_url());
  host_session *hs = device.hs();
  ASSERT_EQ(device.open(), 0);
  EXPECT_EQ(device.open_channels(), 0);
  EXPECT_STREQ(hs->source_names[0], "Flatbed");
  EXPECT_STREQ(hs->source_names[1], "ADF");
  EXPECT_STREQ(hs->source_names[2], "ADF Duplex");
  EXPECT_EQ(hs->source_names[3], nullptr);
  EXPECT_STREQ(hs->mode_names[0], "Lineart");
  EXPECT_STREQ(hs->mode_names[2], "Color");

  device.select(BB_SOURCE_FLATBED, BB_MODE_GRAY, kDpi, kSideMm, kSideMm);
  SANE_Parameters params{};
  EXPECT_EQ(plugin().get_parameters(hs, &params, 0), 0);
  // 20 mm is 236/300 inch as the job truncates it: 78 whole pixels at 100 dpi.
  const int side = 78;
  EXPECT_EQ(params.format, SANE_FRAME_GRAY);
  EXPECT_EQ(params.depth, 8);
  EXPECT_EQ(params.pixels_per_line, side);
  EXPECT_EQ(params.lines, side);
  EXPECT_EQ(params.bytes_per_line, side);

  Page page = device.scan_page();
  EXPECT_EQ(page.start, SANE_STATUS_GOOD);
  EXPECT_EQ(page.data_result, 0);
  EXPECT_EQ(device.open_channels(), 0);  // bb_end_page closed the image channel
  EXPECT_TRUE(itest::same_pages({page}, sim->pages_sent()));
  ASSERT_GE(page.bytes.size(), 2u);
  // Lossless PNG where the device offers it, as the simulator does.
  EXPECT_EQ(page.bytes.substr(0, 4), "\x89PNG");

  EXPECT_EQ(plugin().end_scan(hs, 0), 0);
  EXPECT_EQ(hs->job_id[0], '\0');
  EXPECT_EQ(hs->job_page_count, 0);
  EXPECT_EQ(sim->jobs_alive(), 0);
  EXPECT_EQ(count_requests(*sim, "POST /eSCL/ScanJobs"), 1);
  EXPECT_EQ(count_requests(*sim, "GET /eSCL/ScanJobs/"), 1);
  EXPECT_EQ(count_requests(*sim, "DELETE"), 0);
  EXPECT_EQ(plugin().close(hs), 0);
  EXPECT_EQ(hs->bb_session, nullptr);
  EXPECT_EQ(device.open_channels(), 0);
}

TEST_F(PluginScan, FlatbedJobHasOnePage) {
  auto sim = start_simulator(Config{});
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_FLATBED, BB_MODE_COLOR, kDpi, kSideMm, kSideMm);
  EXPECT_EQ(device.scan_page().start, SANE_STATUS_GOOD);
  // A second page of the same flatbed job is refused without a request.
  size_t requests = sim->requests().size();
  EXPECT_EQ(plugin().start_scan(device.hs()), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(sim->requests().size(), requests);
  plugin().end_scan(device.hs(), 0);
  // After the scan's end the next one creates a new job.
  EXPECT_EQ(device.scan_page().start, SANE_STATUS_GOOD);
  plugin().end_scan(device.hs(), 0);
  EXPECT_EQ(sim->pages_sent().size(), 2u);
  EXPECT_EQ(count_requests(*sim, "POST /eSCL/ScanJobs"), 2);
}

TEST_F(PluginScan, DuplexFeederJobOfThreeSheets) {
  Config cfg;
  cfg.adf_sheets = 3;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_DUPLEX, BB_MODE_COLOR, 75, 30, 40);
  itest::FeederScan scan = itest::scan_feeder(device, 20);
  EXPECT_EQ(scan.last, SANE_STATUS_NO_DOCS);
  EXPECT_EQ(scan.pages.size(), 6u);  // two sides a sheet
  for (const Page &page : scan.pages) EXPECT_EQ(page.data_result, 0);
  EXPECT_TRUE(itest::same_pages(scan.pages, sim->pages_sent()));
  EXPECT_EQ(count_requests(*sim, "POST /eSCL/ScanJobs"), 1);
  EXPECT_EQ(device.hs()->job_page_count, 0);
  EXPECT_EQ(sim->jobs_alive(), 0);
  EXPECT_EQ(device.open_channels(), 0);
}

TEST_F(PluginScan, SimplexFeederJob) {
  Config cfg;
  cfg.adf_sheets = 2;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_ADF, BB_MODE_LINEART, 75, 30, 30);
  itest::FeederScan scan = itest::scan_feeder(device, 20);
  EXPECT_EQ(scan.last, SANE_STATUS_NO_DOCS);
  EXPECT_EQ(scan.pages.size(), 2u);
  EXPECT_TRUE(itest::same_pages(scan.pages, sim->pages_sent()));
}

TEST_F(PluginScan, TwoDevicesAtOnce) {
  Config flatbed_cfg;
  flatbed_cfg.profile = "flatbed-photo";
  Config feeder_cfg;
  feeder_cfg.adf_sheets = 2;
  auto flatbed_sim = start_simulator(flatbed_cfg);
  auto feeder_sim = start_simulator(feeder_cfg);
  std::vector<Page> flatbed_pages;
  itest::FeederScan feeder_scan;
  std::thread flatbed_host([&] {
    HostDevice device(flatbed_sim->base_url());
    for (int i = 0; i < 3; ++i) flatbed_pages.push_back(flatbed_page(device, BB_MODE_COLOR));
  });
  std::thread feeder_host([&] {
    HostDevice device(feeder_sim->base_url());
    EXPECT_EQ(device.open(), 0);
    device.select(BB_SOURCE_DUPLEX, BB_MODE_GRAY, 75, 25, 25);
    feeder_scan = itest::scan_feeder(device, 20);
  });
  flatbed_host.join();
  feeder_host.join();
  EXPECT_TRUE(itest::same_pages(flatbed_pages, flatbed_sim->pages_sent()));
  EXPECT_EQ(feeder_scan.last, SANE_STATUS_NO_DOCS);
  EXPECT_EQ(feeder_scan.pages.size(), 4u);
  EXPECT_TRUE(itest::same_pages(feeder_scan.pages, feeder_sim->pages_sent()));
}

// Device behaviours that must not change the outcome: every one still
// delivers the flatbed page and a feeder job.
struct Behaviour {
  const char *name;
  void (*apply)(Config &);
};

const Behaviour kBehaviours[] = {
    {"one request per connection", [](Config &c) { c.one_request_per_connection = true; }},
    {"lower-case header names", [](Config &c) { c.lowercase_headers = true; }},
    {"relative Location", [](Config &c) { c.location_style = escl_sim::LocationStyle::kRelative; }},
    {"Location with trailing slash",
     [](Config &c) { c.location_style = escl_sim::LocationStyle::kTrailingSlash; }},
    {"chunked status", [](Config &c) { c.status_chunked = true; }},
    {"chunked capabilities and status", [](Config &c) { c.framing = escl_sim::Framing::kChunked; }},
    {"Content-Length: 0 status first", [](Config &c) { c.status_content_length_zero = true; }},
    {"job pending for two polls", [](Config &c) { c.pending_polls = 2; }},
    {"job pending until the document request",
     [](Config &c) { c.pending_until_document_request = true; }},
    {"400 Bad Request before the document",
     [](Config &c) {
       c.bad_request_first = 1;
       c.bad_request_on = escl_sim::RequestKind::kNextDocument;
     }},
    {"400 first, any request", [](Config &c) { c.bad_request_first = 1; }},
    {"three 400 before the document",
     [](Config &c) {
       c.bad_request_first = 3;
       c.bad_request_on = escl_sim::RequestKind::kNextDocument;
     }},
    {"bodies ended by close", [](Config &c) { c.framing = escl_sim::Framing::kClose; }},
    {"small chunks", [](Config &c) { c.chunk_size = 100; }},
};

TEST_F(PluginScan, DeviceBehavioursStillDeliverEveryPage) {
  for (const Behaviour &b : kBehaviours) {
    SCOPED_TRACE(b.name);
    itest::RowLogs row_logs;
    Config cfg;
    cfg.adf_sheets = 2;
    b.apply(cfg);
    auto sim = start_simulator(cfg);
    HostDevice device(sim->base_url());
    Page page = flatbed_page(device);
    EXPECT_EQ(page.start, SANE_STATUS_GOOD);
    EXPECT_EQ(page.data_result, 0);
    device.select(BB_SOURCE_DUPLEX, BB_MODE_GRAY, 75, 25, 25);
    itest::FeederScan scan = itest::scan_feeder(device, 20);
    EXPECT_EQ(scan.last, SANE_STATUS_NO_DOCS);
    std::vector<Page> all{page};
    all.insert(all.end(), scan.pages.begin(), scan.pages.end());
    EXPECT_EQ(all.size(), 5u);
    EXPECT_TRUE(itest::same_pages(all, sim->pages_sent()));
    EXPECT_EQ(device.open_channels(), 0);
    EXPECT_EQ(sim->jobs_alive(), 0);
  }
}

TEST_F(PluginScan, JobLocationFillsJobFields) {
  auto sim = start_simulator(Config{});
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_FLATBED, BB_MODE_GRAY, kDpi, kSideMm, kSideMm);
  ASSERT_EQ(plugin().start_scan(device.hs()), SANE_STATUS_GOOD);
  host_session *hs = device.hs();
  std::string id = hs->job_id;
  EXPECT_FALSE(id.empty());
  EXPECT_EQ(std::string(hs->job_url), sim->base_url() + "eSCL/ScanJobs/" + id);
  EXPECT_EQ(std::string(hs->device_ip), "127.0.0.1:" + std::to_string(sim->port()));
  EXPECT_EQ(hs->job_page_count, 1);
  EXPECT_EQ(device.open_channels(), 1);  // the image channel stays open
  plugin().end_scan(hs, 0);
  EXPECT_EQ(device.open_channels(), 0);
}

}  // namespace
