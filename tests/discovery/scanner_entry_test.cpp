// What a resolved DNS-SD service becomes: URL, vendor, model, type, UUID,
// or the reason it is not listed.
#include "scanner_entry.h"

#include <gtest/gtest.h>

namespace {

using bbescl::discovery::ResolvedService;
using bbescl::discovery::ScannerEntry;

TEST(DeviceUrl, BracketsIpv6AndKeepsTheZoneOfLinkLocalAddresses) {
  struct Row {
    const char *address, *interface;
    uint16_t port;
    const char *root, *url;
    bool tls = false;
  };
  const std::vector<Row> rows = {
      {"192.168.1.20", "eth0", 80, "eSCL", "http://192.168.1.20:80/eSCL"},
      {"127.0.0.1", "lo", 60000, "", "http://127.0.0.1:60000/"},
      {"2001:db8::5", "eth0", 8080, "eSCL", "http://[2001:db8::5]:8080/eSCL"},
      {"fe80::1", "eth0", 80, "eSCL", "http://[fe80::1%25eth0]:80/eSCL"},
      {"FE80::a:b", "wlp2s0", 443, "eSCL", "http://[FE80::a:b%25wlp2s0]:443/eSCL"},
      {"fe80::1", "", 80, "eSCL", "http://[fe80::1]:80/eSCL"},  // no interface known
      {"::1", "lo", 80, "eSCL", "http://[::1]:80/eSCL"},
      {"192.168.1.20", "eth0", 443, "eSCL", "https://192.168.1.20:443/eSCL", true},
      {"fe80::1", "eth0", 443, "eSCL", "https://[fe80::1%25eth0]:443/eSCL", true},
  };
  for (const Row &r : rows)
    EXPECT_EQ(bbescl::discovery::device_url(r.address, r.interface, r.port, r.root, r.tls), r.url) << r.address;
}

TEST(EndpointOf, MatchesHostAndPortAsTheChannelLibraryReadsThem) {
  struct Row {
    const char *url, *endpoint;
  };
  const std::vector<Row> rows = {
      {"http://192.168.1.20/", "192.168.1.20:80"},
      {"http://192.168.1.20:80/eSCL", "192.168.1.20:80"},
      {"http://Scanner.Local:8080", "scanner.local:8080"},
      {"http://[FE80::1%25eth0]:80/", "[fe80::1%eth0]:80"},
      {"ftp://x/", ""},
      {"http://[::1/", ""},
  };
  for (const Row &r : rows) EXPECT_EQ(bbescl::discovery::endpoint_of(r.url), r.endpoint) << r.url;
}

TEST(DeviceType, FollowsTheInputSources) {
  struct Row {
    const char *is, *type;
  };
  const std::vector<Row> rows = {
      {"platen", "flatbed scanner"},       {"adf", "sheetfed scanner"},
      {"platen,adf", "multi-function peripheral"}, {"adf, Platen", "multi-function peripheral"},
      {"platen,camera", "flatbed scanner"}, {"", "flatbed scanner"},
      {"feeder", "sheetfed scanner"},
  };
  for (const Row &r : rows) EXPECT_EQ(bbescl::discovery::device_type(r.is), r.type) << r.is;
}

TEST(TxtValue, ComparesKeysWithoutCase) {
  const std::vector<std::string> txt = {"txtvers=1", "UUID=abc", "rs=", "note", "ty=A B"};
  EXPECT_EQ(bbescl::discovery::txt_value(txt, "uuid"), "abc");
  EXPECT_EQ(bbescl::discovery::txt_value(txt, "TY"), "A B");
  EXPECT_EQ(bbescl::discovery::txt_value(txt, "rs"), "");
  EXPECT_EQ(bbescl::discovery::txt_value(txt, "note"), "");
  EXPECT_EQ(bbescl::discovery::txt_value(txt, "missing"), "");
}

TEST(EntryFromService, NamesTheDeviceAsItsRecordSays) {
  struct Row {
    std::vector<std::string> txt;
    const char *url, *vendor, *model, *type, *uuid;
  };
  const std::vector<Row> rows = {
      {{"ty=Brother MFC-L2710DW series", "rs=eSCL", "is=platen,adf", "UUID=E3248000-80CE-11DB-8000-30055C773BCF"},
       "http://192.168.1.20:80/eSCL", "Brother", "MFC-L2710DW series", "multi-function peripheral",
       "e3248000-80ce-11db-8000-30055c773bcf"},
      {{"usb_MFG=HP", "usb_MDL=LaserJet MFP M28w", "ty=HP LaserJet MFP M28w", "rs=/eSCL/", "is=platen"},
       "http://192.168.1.20:80/eSCL", "HP", "LaserJet MFP M28w", "flatbed scanner", ""},
      {{"usb_MFG=Canon", "ty=Canon TS5300 series", "rs=eSCL", "is=adf", "UUID=urn:uuid:00000000-1111"},
       "http://192.168.1.20:80/eSCL", "Canon", "TS5300 series", "sheetfed scanner", "00000000-1111"},
      {{"ty=Scanner", "rs="}, "http://192.168.1.20:80/eSCL", "eSCL", "Scanner", "flatbed scanner", ""},
      {{}, "http://192.168.1.20:80/eSCL", "eSCL", "Hall scanner", "flatbed scanner", ""},
  };
  for (const Row &r : rows) {
    const ResolvedService service{"Hall scanner", "eth0", "192.168.1.20", 80, r.txt, false};
    ScannerEntry entry;
    std::string why;
    ASSERT_TRUE(bbescl::discovery::entry_from_service(service, entry, why)) << why;
    EXPECT_EQ(entry.instance, "Hall scanner");
    EXPECT_EQ(entry.url, r.url);
    EXPECT_EQ(entry.vendor, r.vendor);
    EXPECT_EQ(entry.model, r.model);
    EXPECT_EQ(entry.type, r.type);
    EXPECT_EQ(entry.uuid, r.uuid);
    EXPECT_EQ(entry.endpoint, "192.168.1.20:80");
  }
}

TEST(EntryFromService, RefusesOtherRoots) {
  struct Row {
    ResolvedService service;
    const char *why;
  };
  const std::vector<Row> rows = {
      {{"a", "eth0", "10.0.0.1", 80, {"rs=scan"}, false}, "its eSCL root is /scan, not /eSCL"},
      {{"a", "eth0", "10.0.0.1", 80, {"rs=/eSCL/v2"}, false}, "its eSCL root is /eSCL/v2, not /eSCL"},
      {{"a", "eth0", "10.0.0.1", 0, {"rs=eSCL"}, false}, "no address or port"},
  };
  for (const Row &r : rows) {
    ScannerEntry entry;
    std::string why;
    EXPECT_FALSE(bbescl::discovery::entry_from_service(r.service, entry, why));
    EXPECT_EQ(why, r.why);
  }
}

TEST(EntryFromService, ReachesALinkLocalAddressThroughItsInterface) {
  const ResolvedService service{"MFP", "enp3s0", "fe80::2e0:4cff:fe68:1", 80, {"rs=eSCL"}, false};
  ScannerEntry entry;
  std::string why;
  ASSERT_TRUE(bbescl::discovery::entry_from_service(service, entry, why));
  EXPECT_EQ(entry.url, "http://[fe80::2e0:4cff:fe68:1%25enp3s0]:80/eSCL");
  EXPECT_EQ(entry.endpoint, "[fe80::2e0:4cff:fe68:1%enp3s0]:80");
  EXPECT_TRUE(entry.ipv6);
}

TEST(EntryFromService, ReachesATlsServiceOverHttps) {
  const ResolvedService service{"MFP", "eth0", "10.0.0.1", 443, {"rs=eSCL"}, true};
  ScannerEntry entry;
  std::string why;
  ASSERT_TRUE(bbescl::discovery::entry_from_service(service, entry, why)) << why;
  EXPECT_EQ(entry.url, "https://10.0.0.1:443/eSCL");
  EXPECT_EQ(entry.endpoint, "10.0.0.1:443");
  EXPECT_TRUE(entry.tls);
}

}  // namespace
