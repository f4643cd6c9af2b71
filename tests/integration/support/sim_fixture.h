// Test fixture for the plug-in against simulated devices: checks that the
// plug-in loaded, starts simulators on ports of their own, and prints the
// last log lines of a failed test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "plugin_host.h"
#include "simulator.h"

namespace itest {

class SimulatedDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (plugin_lacks_entry_points()) GTEST_SKIP() << plugin_load_error();
    ASSERT_TRUE(plugin_load_error().empty()) << plugin_load_error();
    clear_logs();
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << "last log lines:\n" << last_logs(80);
  }

  static std::unique_ptr<escl_sim::Server> start_simulator(escl_sim::Config cfg) {
    cfg.log_requests = false;
    auto server = std::make_unique<escl_sim::Server>(cfg);
    EXPECT_TRUE(server->start(0)) << server->last_error();
    return server;
  }
};

// For one row of a table-driven test: clears the captured log, and prints
// it when the row added a failure, before the next row clears it again.
class RowLogs {
 public:
  RowLogs() : failures_before_(failures()) { clear_logs(); }
  ~RowLogs() {
    if (failures() > failures_before_) std::cerr << "log lines of the failed row:\n" << last_logs(60);
  }

 private:
  static int failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }
  int failures_before_;
};

inline int count_requests(const escl_sim::Server &sim, const std::string &prefix) {
  std::vector<std::string> requests = sim.requests();
  return static_cast<int>(std::count_if(requests.begin(), requests.end(), [&](const std::string &r) {
    return r.rfind(prefix, 0) == 0;
  }));
}

// Pages compared by size first, so that a mismatch does not print
// kilobytes of image data.
inline ::testing::AssertionResult same_pages(const std::vector<Page> &got,
                                             const std::vector<std::string> &sent) {
  if (got.size() != sent.size()) {
    return ::testing::AssertionFailure()
           << got.size() << " pages received, " << sent.size() << " sent";
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i].bytes.size() != sent[i].size()) {
      return ::testing::AssertionFailure() << "page " << i << ": " << got[i].bytes.size()
                                           << " bytes received, " << sent[i].size() << " sent";
    }
    if (got[i].bytes != sent[i]) {
      return ::testing::AssertionFailure() << "page " << i << ": bytes differ";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace itest
