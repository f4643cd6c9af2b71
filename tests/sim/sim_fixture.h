// A simulator started on a free loopback port for one test, stopped and
// joined when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "raw_client.h"
#include "simulator.h"

namespace escl_sim::test {

class SimTest : public ::testing::Test {
 protected:
  void start(Config cfg = {}) {
    cfg.log_requests = false;
    server_ = std::make_unique<Server>(cfg);
    ASSERT_TRUE(server_->start(0)) << server_->last_error();
  }
  Server &server() { return *server_; }
  uint16_t port() { return server_->port(); }

  // Creates a job and returns its id ("" when refused).
  std::string create_job(RawClient &c, const Settings &s = {}) {
    Answer a = c.exchange(post_scan_job(scan_settings(s)));
    if (a.status != 201) return {};
    return job_id_of(a.header("Location"));
  }

  void TearDown() override {
    if (server_) server_->stop();
  }

 private:
  std::unique_ptr<Server> server_;
};

}  // namespace escl_sim::test
