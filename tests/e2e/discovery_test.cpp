// Discovery end to end, inside a private network namespace with a real
// Avahi daemon on its loopback: scanimage lists announced simulators with
// their make and model and scans from the names it lists; a scanner seen
// twice is listed once; a name survives the device's port changing; no
// daemon costs no time; bbescl-discover's lines work in bbescl.conf.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <time.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "avahi_browse.h"
#include "private_network.h"
#include "scanimage_runner.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char *kSimUuid = "a8c4e5d0-3e1b-4c57-9a0f-000000000002";  // the mfp profile's

long long now_millis() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int count_of(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!e2e::unshare_refusal().empty()) GTEST_SKIP() << "no private network: " << e2e::unshare_refusal();
    avahi_ = std::make_unique<e2e::PrivateAvahi>();
    ASSERT_EQ(avahi_->error(), "");
    scanimage_ = std::make_unique<e2e::Scanimage>(std::vector<std::string>{});
  }
  void TearDown() override {
    sims_.clear();
    scanimage_.reset();
    avahi_.reset();
  }

  // Starts escl-sim announced as `name`, with `more` options; its base URL.
  std::string start_announced(const std::string &name, const std::vector<std::string> &more = {}) {
    std::vector<std::string> argv{ESCL_SIM_PATH, "--port", "0", "--quiet", "--announce", name};
    argv.insert(argv.end(), more.begin(), more.end());
    sims_.push_back(std::make_unique<e2e::Child>(argv));
    const std::string url = sims_.back()->first_line(15000);
    EXPECT_THAT(url, HasSubstr("://127.0.0.1:")) << name << " was not announced";
    return url;
  }

  static std::string port_of(const std::string &url) {
    return url.substr(url.rfind(':') + 1, url.size() - url.rfind(':') - 2);
  }

  void write_config(const std::string &text) {
    std::ofstream(scanimage_->config_dir() + "/bbescl.conf") << text;
  }

  e2e::RunResult list() { return scanimage_->run({"-L"}); }

  // Scans one small page from `device`; its PNG file's size.
  e2e::RunResult scan_from(const std::string &device) {
    return scanimage_->run({"-d", device, "--resolution", "75", "-x", "20", "-y", "20", "--format=png",
                            "--output-file", scanimage_->dir().file("page.png")});
  }

  void expect_page() {
    const std::string page = e2e::read_file(scanimage_->dir().file("page.png"));
    ASSERT_GT(page.size(), 8u);
    EXPECT_EQ(page.substr(1, 3), "PNG");
  }

  std::unique_ptr<e2e::PrivateAvahi> avahi_;
  std::unique_ptr<e2e::Scanimage> scanimage_;
  std::vector<std::unique_ptr<e2e::Child>> sims_;
};

TEST_F(Discovery, TheNamespaceHasOnlyItsLoopback) {
  std::vector<std::string> interfaces;
  struct if_nameindex *all = if_nameindex();
  ASSERT_NE(all, nullptr);
  for (struct if_nameindex *i = all; i->if_index != 0; ++i) interfaces.emplace_back(i->if_name);
  if_freenameindex(all);
  EXPECT_EQ(interfaces, std::vector<std::string>{"lo"});
}

TEST_F(Discovery, ListsTheAnnouncedSimulatorWithItsMakeAndModelAndScansFromItsName) {
  start_announced("Sim Hall");
  write_config("");
  const e2e::RunResult listed = list();
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_THAT(listed.out,
              HasSubstr("device `bbescl:dnssd:Sim Hall' is a escl-sim Multifunction multi-function peripheral"));
  const e2e::RunResult scanned = scan_from("bbescl:dnssd:Sim Hall");
  ASSERT_EQ(scanned.exit_code, 0) << scanned.err;
  expect_page();
  // No device named and none configured: the one found.
  const e2e::RunResult unnamed = scan_from("bbescl");
  EXPECT_EQ(unnamed.exit_code, 0) << unnamed.err;
}

TEST_F(Discovery, ServicesOutsideTheESclRootAreNotListed) {
  e2e::Child other({"avahi-publish", "-s", "Not eSCL", "_uscan._tcp", "8080", "rs=scan"});
  start_announced("Sim Kept");
  write_config("");
  scanimage_->set_env("SANE_DEBUG_BBESCL", "3");
  const e2e::RunResult listed = list();
  EXPECT_THAT(listed.out, HasSubstr("bbescl:dnssd:Sim Kept"));
  EXPECT_THAT(listed.out, Not(HasSubstr("Not eSCL")));
  EXPECT_THAT(listed.err, HasSubstr("Not eSCL at 127.0.0.1 port 8080 not listed: its eSCL root is /scan"));
}

TEST_F(Discovery, ADeviceAnnouncedPlainAndOverTlsIsListedOnceAndScannedOverTls) {
  // One device: TLS on one port, and plain HTTP redirecting there on another.
  const std::string secure = start_announced("Sim Secure", {"--tls"});
  ASSERT_EQ(secure.rfind("https://", 0), 0u) << secure;
  const std::string plain = start_announced("Sim Secure", {"--redirect-to-https", port_of(secure)});
  ASSERT_EQ(plain.rfind("http://", 0), 0u) << plain;

  write_config("");
  const e2e::RunResult listed = list();
  EXPECT_EQ(count_of(listed.out, "device `bbescl:"), 1) << listed.out;
  EXPECT_THAT(listed.out, HasSubstr("device `bbescl:dnssd:Sim Secure' is a escl-sim Multifunction"));

  e2e::Child discover({BBESCL_DISCOVER_PATH, "--time", "2"});
  const std::string printed = discover.rest_of_output();
  EXPECT_EQ(discover.wait(), 0);
  EXPECT_EQ(count_of(printed, "\"Sim Secure\" = "), 1) << printed;
  EXPECT_THAT(printed, HasSubstr("\"Sim Secure\" = " + secure + "eSCL\n"));

  // Opened over TLS as announced, not through the plain port's redirect.
  scanimage_->set_env("SANE_DEBUG_BBESCL", "3");
  const e2e::RunResult scanned = scan_from("bbescl:dnssd:Sim Secure");
  ASSERT_EQ(scanned.exit_code, 0) << scanned.err;
  expect_page();
  EXPECT_THAT(scanned.err, HasSubstr("opened " + secure + "eSCL\n"));
  EXPECT_THAT(scanned.err, Not(HasSubstr("redirects to")));
  EXPECT_THAT(e2e::read_file(scanimage_->known_devices()), HasSubstr(secure + " sha256:"));
}

TEST_F(Discovery, AScannerAnnouncedTwiceAndConfiguredIsListedOnce) {
  const std::string url = start_announced("Sim Twice");
  const std::string port = port_of(url);
  // The same device (its UUID) under a second name at a second address.
  e2e::Child address({"avahi-publish", "-a", "-R", "sim-2.local", "127.0.0.2"});
  e2e::Child second({"avahi-publish", "-s", "-H", "sim-2.local", "Sim Twice 2", "_uscan._tcp", port, "rs=eSCL",
                     std::string("UUID=") + kSimUuid});
  const bbescl::discovery::BrowseResult seen = bbescl::discovery::browse(10000, "Sim Twice 2");
  ASSERT_FALSE(seen.services.empty());
  EXPECT_EQ(seen.services.front().address, "127.0.0.2");

  write_config("");
  const e2e::RunResult discovered = list();
  EXPECT_EQ(count_of(discovered.out, "device `bbescl:"), 1) << discovered.out;
  EXPECT_THAT(discovered.out, HasSubstr("device `bbescl:dnssd:Sim Twice"));

  write_config("\"Office MFP\" = " + url + "\n");
  const e2e::RunResult both = list();
  EXPECT_EQ(count_of(both.out, "device `bbescl:"), 1) << both.out;
  EXPECT_THAT(both.out, HasSubstr("device `bbescl:" + url + "' is a escl-sim Office MFP"));
}

TEST_F(Discovery, TheSameNameScansAfterTheDeviceRestartsOnAnotherPort) {
  const std::string first = start_announced("Sim Moves");
  write_config("");
  ASSERT_EQ(scan_from("bbescl:dnssd:Sim Moves").exit_code, 0);
  sims_.clear();
  const std::string second = start_announced("Sim Moves");
  ASSERT_NE(first, second);
  const e2e::RunResult scanned = scan_from("bbescl:dnssd:Sim Moves");
  ASSERT_EQ(scanned.exit_code, 0) << scanned.err;
  expect_page();
}

TEST_F(Discovery, WithoutTheDaemonTheConfiguredDevicesAreListedAtOnce) {
  avahi_->stop_daemon();
  write_config("http://127.0.0.1:9/\n\"Office MFP\" = http://127.0.0.1:10/\n");
  scanimage_->set_env("SANE_DEBUG_BBESCL", "3");
  const long long start = now_millis();
  const e2e::RunResult listed = list();
  const long long took = now_millis() - start;
  EXPECT_THAT(listed.out, HasSubstr("device `bbescl:http://127.0.0.1:9/'"));
  EXPECT_THAT(listed.out, HasSubstr("device `bbescl:http://127.0.0.1:10/' is a eSCL Office MFP"));
  EXPECT_EQ(count_of(listed.err, "no Avahi daemon answers"), 1) << listed.err;
  EXPECT_LT(took, 1500);

  e2e::Child discover({BBESCL_DISCOVER_PATH, "--time", "5"});
  EXPECT_EQ(discover.rest_of_output(), "");
  EXPECT_EQ(discover.wait(), 1);
  EXPECT_LT(now_millis() - start, 4500) << "bbescl-discover waited for a daemon that is not there";
}

TEST_F(Discovery, ALineOfBbesclDiscoverScansFromBbesclConf) {
  e2e::Child help({BBESCL_DISCOVER_PATH, "--help"});
  EXPECT_THAT(help.rest_of_output(), HasSubstr("Usage: bbescl-discover [--time SECONDS]"));
  EXPECT_EQ(help.wait(), 0);

  const std::string url = start_announced("Sim Pasted");
  e2e::Child discover({BBESCL_DISCOVER_PATH, "--time", "2"});
  const std::string printed = discover.rest_of_output();
  EXPECT_EQ(discover.wait(), 0);
  EXPECT_THAT(printed, HasSubstr("# escl-sim Multifunction, multi-function peripheral, " + url + "eSCL\n"));
  const std::string line = "\"Sim Pasted\" = " + url + "eSCL";
  ASSERT_THAT(printed, HasSubstr(line + "\n"));

  write_config(line + "\ndiscovery = off\n");
  const e2e::RunResult listed = list();
  EXPECT_THAT(listed.out, HasSubstr("device `bbescl:" + url + "eSCL' is a escl-sim Sim Pasted"));
  const e2e::RunResult scanned = scan_from("bbescl:" + url + "eSCL");
  ASSERT_EQ(scanned.exit_code, 0) << scanned.err;
  expect_page();
}

}  // namespace

int main(int argc, char **argv) {
  e2e::enter_private_network(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
