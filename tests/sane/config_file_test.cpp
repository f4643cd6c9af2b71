// bbescl.conf: where it is looked up and how its lines read.
#include "config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using bbescl::config_dirs;
using Dirs = std::vector<std::string>;

namespace {

TEST(ConfigDirs, FollowSaneConfigDirRules) {
  const Dirs defaults{"/usr/local/etc/sane.d", "/etc/sane.d"};
  struct Row {
    const char *env;
    Dirs dirs;
  };
  const std::vector<Row> rows = {
      {nullptr, defaults},
      {"", defaults},
      {"/tmp/a", {"/tmp/a"}},
      {"/tmp/a:/tmp/b", {"/tmp/a", "/tmp/b"}},
      {"/tmp/a:", {"/tmp/a", "/usr/local/etc/sane.d", "/etc/sane.d"}},  // a trailing colon adds the defaults
      {"/tmp/a::/tmp/a:/etc/sane.d:", {"/tmp/a", "/etc/sane.d", "/usr/local/etc/sane.d"}},
  };
  for (const Row &r : rows) EXPECT_EQ(config_dirs(r.env, defaults), r.dirs) << (r.env ? r.env : "(unset)");
}

using bbescl::ConfiguredDevice;
using Devices = std::vector<ConfiguredDevice>;

TEST(ParseConfig, TakesOneDeviceALineAndSkipsComments) {
  const std::string text =
      "# scanners\n"
      "http://10.0.0.5:80/\r\n"
      "\n"
      "   \t\n"
      "  # indented comment\n"
      "  http://127.0.0.1:8080/eSCL  \n"
      "http://last.example/";
  EXPECT_EQ(bbescl::parse_config(text).devices,
            (Devices{{"", "http://10.0.0.5:80/"}, {"", "http://127.0.0.1:8080/eSCL"}, {"", "http://last.example/"}}));
  EXPECT_TRUE(bbescl::parse_config("").devices.empty());
  EXPECT_TRUE(bbescl::parse_config("# only\n#comments\n").devices.empty());
}

TEST(ParseConfig, ReadsNamedDevicesAndSettings) {
  using Tls = bbescl::TlsVerify;
  struct Row {
    const char *text;
    Devices devices;
    bool discovery;
    int millis;
    Tls tls = Tls::kPin;
    int busy = bbescl::kDefaultBusyTimeoutSeconds;
  };
  const int dflt = bbescl::kDefaultDiscoveryMillis;
  const std::vector<Row> rows = {
      {"\"Office MFP\" = http://192.168.1.20/", {{"Office MFP", "http://192.168.1.20/"}}, true, dflt},
      {"  \" Hall \"=http://[fe80::1%25eth0]:80/  ", {{"Hall", "http://[fe80::1%25eth0]:80/"}}, true, dflt},
      {"\"A = B\" = http://a/\nhttp://b/", {{"A = B", "http://a/"}, {"", "http://b/"}}, true, dflt},
      {"http://h/?x=1", {{"", "http://h/?x=1"}}, true, dflt},  // '=' inside a URI
      {"\"no uri\" =\n\"unclosed = http://a/\n\"\" = http://a/\n\"x\" http://a/", {}, true, dflt},
      {"discovery = off", {}, false, dflt},
      {"discovery=no\ndiscovery = on", {}, true, dflt},
      {"discovery = maybe", {}, true, dflt},  // a bad value leaves the default
      {"discovery-timeout = 250", {}, true, 250},
      {"discovery-timeout = 0", {}, true, 0},
      {"discovery-timeout = 9999999", {}, true, dflt},  // unreadable: too many digits
      {"discovery-timeout = 120000", {}, true, bbescl::kLongestDiscoveryMillis},
      {"discovery-timeout = 1.5\ndiscovery-timeout = -3", {}, true, dflt},
      {"colour = red", {}, true, dflt},  // unknown settings are skipped
      {"tls-verify = system", {}, true, dflt, Tls::kSystem},
      {"tls-verify = off\ndiscovery = off", {}, false, dflt, Tls::kOff},
      {"tls-verify = off\ntls-verify = pin", {}, true, dflt, Tls::kPin},
      {"tls-verify = none\ntls-verify = OFF", {}, true, dflt, Tls::kPin},  // unknown words keep pinning
      {"busy-timeout = 45", {}, true, dflt, Tls::kPin, 45},
      {"busy-timeout = 0", {}, true, dflt, Tls::kPin, 0},
      {"busy-timeout = 99999", {}, true, dflt, Tls::kPin, bbescl::kLongestBusyTimeoutSeconds},
      {"busy-timeout = 2.5\nbusy-timeout = -1", {}, true, dflt, Tls::kPin, bbescl::kDefaultBusyTimeoutSeconds},
  };
  for (const Row &r : rows) {
    const bbescl::BackendConfig config = bbescl::parse_config(r.text);
    EXPECT_EQ(config.devices, r.devices) << r.text;
    EXPECT_EQ(config.discovery, r.discovery) << r.text;
    EXPECT_EQ(config.discovery_millis, r.millis) << r.text;
    EXPECT_EQ(config.tls_verify, r.tls) << r.text;
    EXPECT_EQ(config.busy_timeout_seconds, r.busy) << r.text;
  }
}

TEST(ReadConfig, UsesTheFirstDirectoryThatHasTheFile) {
  char pattern[] = "/tmp/bbescl-config-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path root(pattern);
  std::filesystem::create_directories(root / "empty");
  std::filesystem::create_directories(root / "first");
  std::filesystem::create_directories(root / "second");
  std::ofstream(root / "first" / "bbescl.conf") << "http://first/\n";

  std::ofstream(root / "second" / "bbescl.conf") << "http://second/\ndiscovery = off\n";

  const bbescl::BackendConfig first = bbescl::read_config({root / "empty", root / "first", root / "second"});
  EXPECT_EQ(first.devices, (Devices{{"", "http://first/"}}));
  EXPECT_TRUE(first.discovery);
  EXPECT_FALSE(bbescl::read_config({root / "second"}).discovery);
  EXPECT_TRUE(bbescl::read_config({root / "empty"}).devices.empty());
  EXPECT_TRUE(bbescl::read_config({root / "empty"}).discovery);
  std::filesystem::remove_all(root);
}

}  // namespace
