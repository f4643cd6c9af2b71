// One entry per scanner: by UUID, else by host and port; configured first.
#include "scanner_list.h"

#include <gtest/gtest.h>

namespace {

using bbescl::discovery::ScannerEntry;

ScannerEntry discovered(const char *instance, const char *address, uint16_t port, const char *uuid,
                        bool tls = false) {
  const bbescl::discovery::ResolvedService service{
      instance, "eth0", address, port, {"rs=eSCL", "ty=Acme Scan 9", std::string("UUID=") + uuid}, tls};
  ScannerEntry entry;
  std::string why;
  EXPECT_TRUE(bbescl::discovery::entry_from_service(service, entry, why)) << why;
  return entry;
}

ScannerEntry configured(const char *name, const char *url) {
  ScannerEntry entry;
  entry.name = name;
  entry.url = url;
  entry.endpoint = bbescl::discovery::endpoint_of(url);
  return entry;
}

TEST(AddScanner, ListsEachDeviceOnce) {
  struct Row {
    const char *what;
    std::vector<ScannerEntry> added;
    std::vector<std::string> urls;  // what stays, in order
  };
  const std::vector<Row> rows = {
      {"IPv4 and IPv6 of one device",
       {discovered("A", "10.0.0.5", 80, "u1"), discovered("A", "fe80::5", 80, "u1")},
       {"http://10.0.0.5:80/eSCL"}},
      {"IPv6 seen first: the IPv4 address is used",
       {discovered("A", "fe80::5", 80, "u1"), discovered("A", "10.0.0.5", 80, "u1")},
       {"http://10.0.0.5:80/eSCL"}},
      {"two interfaces, two names, one UUID",
       {discovered("A", "10.0.0.5", 80, "u1"), discovered("A (2)", "10.1.0.5", 80, "u1")},
       {"http://10.0.0.5:80/eSCL"}},
      {"different UUIDs at one address are two devices",
       {discovered("A", "10.0.0.5", 80, "u1"), discovered("B", "10.0.0.5", 80, "u2")},
       {"http://10.0.0.5:80/eSCL", "http://10.0.0.5:80/eSCL"}},
      {"no UUID: host and port",
       {discovered("A", "10.0.0.5", 80, ""), discovered("A", "10.0.0.5", 80, ""),
        discovered("A", "10.0.0.5", 8080, "")},
       {"http://10.0.0.5:80/eSCL", "http://10.0.0.5:8080/eSCL"}},
      {"configured and discovered: the configured entry stays",
       {configured("", "http://10.0.0.5/"), discovered("A", "10.0.0.5", 80, "u1"),
        discovered("A", "fe80::5", 80, "u1")},
       {"http://10.0.0.5/"}},
      {"plain, then TLS: reached over TLS",
       {discovered("A", "10.0.0.5", 80, "u1"), discovered("A", "10.0.0.5", 443, "u1", true)},
       {"https://10.0.0.5:443/eSCL"}},
      {"TLS, then plain and IPv6: TLS over IPv4 stays",
       {discovered("A", "10.0.0.5", 443, "u1", true), discovered("A", "10.0.0.5", 80, "u1"),
        discovered("A", "fe80::5", 443, "u1", true)},
       {"https://10.0.0.5:443/eSCL"}},
      {"TLS over IPv6 only is still preferred to plain IPv4",
       {discovered("A", "10.0.0.5", 80, "u1"), discovered("A", "fe80::5", 443, "u1", true)},
       {"https://[fe80::5%25eth0]:443/eSCL"}},
      {"no UUID: one instance on one host is one device on both ports",
       {discovered("A", "10.0.0.5", 80, ""), discovered("A", "10.0.0.5", 443, "", true)},
       {"https://10.0.0.5:443/eSCL"}},
      {"no UUID: two instances on one host stay two",
       {discovered("A", "10.0.0.5", 80, ""), discovered("B", "10.0.0.5", 443, "", true)},
       {"http://10.0.0.5:80/eSCL", "https://10.0.0.5:443/eSCL"}},
      {"configured plain stays plain",
       {configured("", "http://10.0.0.5:80/"), discovered("A", "10.0.0.5", 80, "u1"),
        discovered("A", "10.0.0.5", 443, "u1", true)},
       {"http://10.0.0.5:80/"}},
      {"configured by another address stays beside",
       {configured("Office", "http://office.example/"), discovered("A", "10.0.0.5", 80, "u1")},
       {"http://office.example/", "http://10.0.0.5:80/eSCL"}},
  };
  for (const Row &r : rows) {
    std::vector<ScannerEntry> list;
    for (const ScannerEntry &e : r.added) bbescl::discovery::add_scanner(list, e);
    std::vector<std::string> urls;
    for (const ScannerEntry &e : list) urls.push_back(e.url);
    EXPECT_EQ(urls, r.urls) << r.what;
  }
}

TEST(AddScanner, AConfiguredDeviceLearnsItsMakeAndModelFromItsAnnouncement) {
  std::vector<ScannerEntry> list;
  bbescl::discovery::add_scanner(list, configured("Office MFP", "http://10.0.0.5:80/"));
  bbescl::discovery::add_scanner(list, discovered("A", "10.0.0.5", 80, "u1"));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "Office MFP");
  EXPECT_EQ(list[0].instance, "");
  EXPECT_EQ(list[0].vendor, "Acme");
  EXPECT_EQ(list[0].model, "Scan 9");
  EXPECT_EQ(list[0].uuid, "u1");
}

}  // namespace
