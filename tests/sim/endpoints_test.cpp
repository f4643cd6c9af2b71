// Each eSCL endpoint of the simulator over loopback, as a client sees it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class Endpoints : public SimTest {};

TEST_F(Endpoints, CapabilitiesOfTheMultifunctionProfile) {
  start();
  RawClient c(port());
  Answer a = c.exchange("GET /eSCL/ScannerCapabilities HTTP/1.1\r\nHOST: \r\n\r\n");
  ASSERT_EQ(a.status, 200);
  EXPECT_TRUE(a.complete);
  EXPECT_EQ(a.header("Content-Type"), "text/xml");
  EXPECT_EQ(a.header("Content-Length"), std::to_string(a.body.size()));
  EXPECT_THAT(a.body, HasSubstr("<scan:PlatenInputCaps>"));
  EXPECT_THAT(a.body, HasSubstr("<scan:AdfSimplexInputCaps>"));
  EXPECT_THAT(a.body, HasSubstr("<scan:AdfDuplexInputCaps>"));
  EXPECT_THAT(a.body, HasSubstr("<scan:XResolutionRange>"));
}

TEST_F(Endpoints, FlatbedJobDeliversOnePageThen404) {
  start();
  RawClient c(port());
  std::string id = create_job(c);
  ASSERT_FALSE(id.empty());
  Answer page = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  ASSERT_EQ(page.status, 200);
  EXPECT_TRUE(page.chunked);
  EXPECT_TRUE(page.complete);
  EXPECT_EQ(page.header("Content-Type"), "image/jpeg");
  EXPECT_THAT(page.body, StartsWith("\xff\xd8"));
  Answer end = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  EXPECT_EQ(end.status, 404);
  ASSERT_EQ(server().pages_sent().size(), 1u);
  EXPECT_EQ(server().pages_sent()[0], page.body);
  EXPECT_EQ(server().jobs_alive(), 0);
}

}  // namespace
}  // namespace escl_sim::test
