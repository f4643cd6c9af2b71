// Device faults as the host sees them through the plug-in's entry points:
// the status each one gives, the job left on the device, and no channel
// left open.
#include <gtest/gtest.h>

#include "kvchan.h"
#include "sim_fixture.h"
#include "tcp_test_server.h"

namespace {

using escl_sim::Config;
using itest::HostDevice;
using itest::Page;
using itest::plugin;

struct StoppedJob {
  const char *name;
  int source;
  void (*apply)(Config &);
  SANE_Status status;
  int deletes;  // DELETE requests the cancelling bb_end_scan must send
};

// Faults that stop the job before its first page: bb_start_scan reports
// them and marks the scan interrupted, so that the host's cancelling
// bb_end_scan clears the job off the device.  A job the device aborted
// itself needs no DELETE; one it keeps as Processing does.
const StoppedJob kStoppedJobs[] = {
    {"feeder jam", BB_SOURCE_ADF, [](Config &c) { c.jam_at_page = 1; }, SANE_STATUS_JAMMED, 0},
    {"cover open", BB_SOURCE_ADF, [](Config &c) { c.cover_open_at_page = 1; },
     SANE_STATUS_COVER_OPEN, 0},
    {"job aborted by the device", BB_SOURCE_FLATBED, [](Config &c) { c.abort_job = true; },
     SANE_STATUS_CANCELLED, 0},
    {"feeder job aborted by the device", BB_SOURCE_ADF, [](Config &c) { c.abort_job = true; },
     SANE_STATUS_CANCELLED, 0},
    {"feeder jam, job kept processing", BB_SOURCE_DUPLEX,
     [](Config &c) {
       c.jam_at_page = 1;
       c.stop_keeps_processing = true;
     },
     SANE_STATUS_JAMMED, 1},
    {"cover open, job kept processing", BB_SOURCE_ADF,
     [](Config &c) {
       c.cover_open_at_page = 1;
       c.stop_keeps_processing = true;
     },
     SANE_STATUS_COVER_OPEN, 1},
};

class PluginFault : public itest::SimulatedDeviceTest {
 protected:
  // bb_start_scan reports the fault; the cancelling bb_end_scan leaves no
  // job alive on the device and no channel open.
  void expect_stopped_job_cleared(const StoppedJob &row) {
    SCOPED_TRACE(row.name);
    itest::RowLogs row_logs;
    Config cfg;
    row.apply(cfg);
    auto sim = start_simulator(cfg);
    HostDevice device(sim->base_url());
    ASSERT_EQ(device.open(), 0);
    device.select(row.source, BB_MODE_GRAY, 75, 20, 20);
    Page page = device.scan_page();
    EXPECT_EQ(page.start, row.status);
    EXPECT_EQ(device.hs()->scan_interrupted, 1);
    EXPECT_EQ(device.open_channels(), 0);
    EXPECT_EQ(plugin().end_scan(device.hs(), 1), 0);
    EXPECT_EQ(device.hs()->job_id[0], '\0');
    EXPECT_EQ(sim->jobs_alive(), 0);
    EXPECT_EQ(itest::count_requests(*sim, "DELETE /eSCL/ScanJobs/"), row.deletes);
    EXPECT_EQ(device.open_channels(), 0);
    EXPECT_TRUE(sim->pages_sent().empty());
  }
};

TEST_F(PluginFault, StoppedJobsAreReportedAndCleared) {
  for (const StoppedJob &row : kStoppedJobs) expect_stopped_job_cleared(row);
}

TEST_F(PluginFault, JamOnTheSecondSheetEndsTheFeederScan) {
  Config cfg;
  cfg.adf_sheets = 3;
  cfg.jam_at_page = 2;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_ADF, BB_MODE_GRAY, 75, 20, 20);
  itest::FeederScan scan = itest::scan_feeder(device, 10);
  EXPECT_EQ(scan.last, SANE_STATUS_JAMMED);
  EXPECT_EQ(scan.pages.size(), 1u);
  EXPECT_TRUE(itest::same_pages(scan.pages, sim->pages_sent()));
  EXPECT_EQ(sim->jobs_alive(), 0);
  EXPECT_EQ(device.open_channels(), 0);
}

TEST_F(PluginFault, JamOnTheSecondSheetOfAJobTheDeviceKeeps) {
  Config cfg;
  cfg.adf_sheets = 3;
  cfg.jam_at_page = 2;
  cfg.stop_keeps_processing = true;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_ADF, BB_MODE_GRAY, 75, 20, 20);
  EXPECT_EQ(device.scan_page().start, SANE_STATUS_GOOD);
  EXPECT_EQ(plugin().check_scanner_to_continue(device.hs()), SANE_STATUS_JAMMED);
  // The continuation check reports the jam without marking the scan
  // interrupted; a host that gives up the scan marks it before asking for
  // the cancel, which then deletes the job the device still holds.
  EXPECT_EQ(device.hs()->scan_interrupted, 0);
  device.hs()->scan_interrupted = 1;
  plugin().end_scan(device.hs(), 1);
  EXPECT_EQ(itest::count_requests(*sim, "DELETE /eSCL/ScanJobs/"), 1);
  EXPECT_EQ(sim->jobs_alive(), 0);
  EXPECT_EQ(device.open_channels(), 0);
}

TEST_F(PluginFault, BusyDeviceFailsTheJobCreationOnly) {
  Config cfg;
  cfg.busy_503 = 1;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_FLATBED, BB_MODE_GRAY, 75, 20, 20);
  Page refused = device.scan_page();
  EXPECT_EQ(refused.start, SANE_STATUS_DEVICE_BUSY);  // "503": try again later
  EXPECT_EQ(device.hs()->job_id[0], '\0');
  EXPECT_EQ(device.open_channels(), 0);
  plugin().end_scan(device.hs(), 0);
  // The device is free again: the next scan works.
  Page page = device.scan_page();
  EXPECT_EQ(page.start, SANE_STATUS_GOOD);
  EXPECT_TRUE(itest::same_pages({page}, sim->pages_sent()));
  plugin().end_scan(device.hs(), 0);
}

struct BrokenImage {
  const char *name;
  void (*apply)(Config &);
};

// Page data that stops coming: bb_get_image_data fails (within its time
// limits; never an endless wait), and the host's page and scan end close
// the channel.
const BrokenImage kBrokenImages[] = {
    {"connection dropped", [](Config &c) { c.drop_image_at = 1000; }},
    {"connection dropped in the first chunk line", [](Config &c) { c.drop_image_at = 0; }},
    {"data stalls", [](Config &c) { c.stall_image_at = 1000; }},
};

TEST_F(PluginFault, PageDataThatStopsFailsTheTransfer) {
  for (const BrokenImage &row : kBrokenImages) {
    SCOPED_TRACE(row.name);
    itest::RowLogs row_logs;
    Config cfg;
    cfg.chunk_size = 512;
    row.apply(cfg);
    auto sim = start_simulator(cfg);
    HostDevice device(sim->base_url());
    ASSERT_EQ(device.open(), 0);
    device.select(BB_SOURCE_FLATBED, BB_MODE_COLOR, 100, 30, 30);
    Page page = device.scan_page();
    EXPECT_EQ(page.start, SANE_STATUS_GOOD);
    EXPECT_EQ(page.data_result, 1);
    EXPECT_LE(page.bytes.size(), 1000u);
    EXPECT_EQ(device.open_channels(), 0);
    plugin().end_scan(device.hs(), 1);
    EXPECT_EQ(device.open_channels(), 0);
  }
}

TEST_F(PluginFault, JobThatVanishesEntirelyEndsWithNoDocuments) {
  Config cfg;
  cfg.job_vanishes = escl_sim::JobVanish::kEntirely;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_FLATBED, BB_MODE_GRAY, 75, 20, 20);
  Page page = device.scan_page();
  EXPECT_EQ(page.start, SANE_STATUS_NO_DOCS);
  EXPECT_EQ(device.open_channels(), 0);
  plugin().end_scan(device.hs(), 1);
  EXPECT_TRUE(sim->pages_sent().empty());
}

TEST_F(PluginFault, JobMissingFromTheStatusStillDelivers) {
  Config cfg;
  cfg.job_vanishes = escl_sim::JobVanish::kFromStatus;
  auto sim = start_simulator(cfg);
  HostDevice device(sim->base_url());
  ASSERT_EQ(device.open(), 0);
  device.select(BB_SOURCE_FLATBED, BB_MODE_GRAY, 75, 20, 20);
  Page page = device.scan_page();
  EXPECT_EQ(page.start, SANE_STATUS_GOOD);
  EXPECT_TRUE(itest::same_pages({page}, sim->pages_sent()));
  plugin().end_scan(device.hs(), 0);
}

TEST_F(PluginFault, UnreachableDeviceFailsToOpen) {
  HostDevice device("http://127.0.0.1:" + std::to_string(itest::unused_port()) + "/");
  EXPECT_EQ(device.open(), 1);
  EXPECT_EQ(device.open_channels(), 0);
  EXPECT_TRUE(itest::logged(3, "kvchan: connect to http://127.0.0.1:"));
}

}  // namespace
