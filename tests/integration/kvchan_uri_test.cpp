// Device URIs: what the channel library accepts, where it connects, and
// what it refuses with a logged reason.
#include <gtest/gtest.h>
#include <syslog.h>

#include "device_uri.h"
#include "kvchan.h"
#include "log_capture.h"

namespace {

struct AcceptedUri {
  const char *uri;
  const char *host;
  uint16_t port;
  bool tls = false;
};

const AcceptedUri kAccepted[] = {
    {"http://scanner.local", "scanner.local", 80},
    {"http://scanner.local/", "scanner.local", 80},
    {"http://scanner.local:8080/", "scanner.local", 8080},
    {"HTTP://Scanner-2.example_net:1/", "Scanner-2.example_net", 1},
    {"http://192.168.1.20", "192.168.1.20", 80},
    {"http://192.168.1.20:65535", "192.168.1.20", 65535},
    {"http://10.0.0.7:631/eSCL", "10.0.0.7", 631},   // path ignored
    {"http://10.0.0.7/eSCL/?x=1#top", "10.0.0.7", 80},
    {"http://10.0.0.7?q", "10.0.0.7", 80},
    {"http://[::1]", "::1", 80},
    {"http://[::1]:9090/", "::1", 9090},
    {"http://[fe80::1%25eth0]:80/", "fe80::1%eth0", 80},
    {"http://[2001:db8::ab:1]/eSCL", "2001:db8::ab:1", 80},
    {"http://[::ffff:192.0.2.1]:8000", "::ffff:192.0.2.1", 8000},
    {"https://scanner.local", "scanner.local", 443, true},
    {"HTTPS://scanner.local:8443/eSCL", "scanner.local", 8443, true},
    {"https://[::1]/", "::1", 443, true},
    {"https://192.168.1.20:80/", "192.168.1.20", 80, true},
};

TEST(DeviceUri, AcceptedUrisGiveHostAndPort) {
  for (const AcceptedUri &row : kAccepted) {
    SCOPED_TRACE(row.uri);
    kvchan::UriParse r = kvchan::parse_device_uri(row.uri);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.address.host, row.host);
    EXPECT_EQ(r.address.port, row.port);
    EXPECT_EQ(r.address.tls, row.tls);
  }
}

struct RefusedUri {
  const char *uri;
  const char *reason;
};

const RefusedUri kRefused[] = {
    {"", "only http:// and https:// device URIs are supported"},
    {"ftp://scanner.local/", "only http:// and https:// device URIs are supported"},
    {"httpss://scanner.local/", "only http:// and https:// device URIs are supported"},
    {"scanner.local:80", "only http:// and https:// device URIs are supported"},
    {"http:/scanner", "only http:// and https:// device URIs are supported"},
    {"https://", "no host"},
    {"https://scanner:0/", "bad port"},
    {"http://", "no host"},
    {"http:///eSCL", "no host"},
    {"http://:80/", "no host"},
    {"http://user@scanner/", "user information is not supported"},
    {"http://scanner:/", "bad port"},
    {"http://scanner:0/", "bad port"},
    {"http://scanner:65536/", "bad port"},
    {"http://scanner:123456/", "bad port"},
    {"http://scanner:8o/", "bad port"},
    {"http://scanner:-1/", "bad port"},
    {"http://scan ner/", "bad character in host name"},
    {"http://sc%41nner/", "bad character in host name"},
    {"http://999.1.1.1/", "bad IPv4 address"},
    {"http://10.1/", "bad IPv4 address"},
    {"http://::1/", "IPv6 address must be written in brackets"},
    {"http://[::1/", "unclosed '[' in host"},
    {"http://[::1]x/", "unexpected text after ']'"},
    {"http://[::1]:/", "bad port"},
    {"http://[1.2.3.4]/", "bad IPv6 address"},
    {"http://[]/", "bad IPv6 address"},
    {"http://[fe80::1%eth0]/", "bad IPv6 zone (write it as %25zone)"},
    {"http://[fe80::1%25]/", "bad IPv6 zone (write it as %25zone)"},
};

TEST(DeviceUri, RefusedUrisSayWhy) {
  for (const RefusedUri &row : kRefused) {
    SCOPED_TRACE(row.uri);
    kvchan::UriParse r = kvchan::parse_device_uri(row.uri);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, row.reason);
  }
}

// kvchan_parse_uri, which hosts match URIs with, reads them as the
// channels do: the same rows, through the public call, and nothing logged.
TEST(ParseUri, PublicCallReadsAsTheChannelsDo) {
  itest::clear_logs();
  for (const AcceptedUri &row : kAccepted) {
    SCOPED_TRACE(row.uri);
    char host[256] = {};
    int port = 0;
    int tls = -1;
    ASSERT_EQ(kvchan_parse_uri(row.uri, host, sizeof host, &port, &tls), KVCHAN_OK);
    EXPECT_STREQ(host, row.host);
    EXPECT_EQ(port, row.port);
    EXPECT_EQ(tls, row.tls ? 1 : 0);
  }
  for (const RefusedUri &row : kRefused) {
    SCOPED_TRACE(row.uri);
    EXPECT_EQ(kvchan_parse_uri(row.uri, nullptr, 0, nullptr, nullptr), KVCHAN_E_INVALID);
  }
  EXPECT_TRUE(itest::captured_logs().empty()) << itest::last_logs(3);
  char small[4];
  EXPECT_EQ(kvchan_parse_uri("http://scanner/", small, sizeof small, nullptr, nullptr), KVCHAN_E_INVALID);
  EXPECT_EQ(kvchan_parse_uri(nullptr, nullptr, 0, nullptr, nullptr), KVCHAN_E_INVALID);
}

TEST(DeviceUri, OverlongHostNameIsRefused) {
  std::string uri = "http://" + std::string(254, 'a') + "/";
  EXPECT_EQ(kvchan::parse_device_uri(uri).error, "host name too long");
  EXPECT_TRUE(kvchan::parse_device_uri("http://" + std::string(253, 'a') + "/").ok);
}

TEST(OpenDevice, RefusesABadUriWithALoggedReason) {
  itest::clear_logs();
  int dd = 99;
  EXPECT_EQ(kvchan_open_device("ftp://scanner/", &dd), KVCHAN_E_INVALID);
  EXPECT_EQ(dd, 0);
  EXPECT_TRUE(itest::logged(LOG_ERR, "kvchan: bad device URI \"ftp://scanner/\": only http:// and "
                                     "https:// device URIs are supported"));
}

TEST(OpenDevice, RefusesMissingArguments) {
  int dd = 0;
  EXPECT_EQ(kvchan_open_device(nullptr, &dd), KVCHAN_E_INVALID);
  EXPECT_EQ(kvchan_open_device("http://scanner/", nullptr), KVCHAN_E_INVALID);
}

TEST(OpenDevice, GivesDistinctPositiveDescriptors) {
  int a = 0;
  int b = 0;
  ASSERT_EQ(kvchan_open_device("http://scanner.invalid/", &a), KVCHAN_OK);
  ASSERT_EQ(kvchan_open_device("http://scanner.invalid/", &b), KVCHAN_OK);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(kvchan_close_device(a), KVCHAN_OK);
  EXPECT_EQ(kvchan_close_device(b), KVCHAN_OK);
  EXPECT_EQ(kvchan_close_device(a), KVCHAN_E_NO_DEVICE);
}

}  // namespace
