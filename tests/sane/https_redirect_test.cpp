// Which answers of a plain device send the backend to TLS on the same host.
#include "https_redirect.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpsRedirectTarget, FollowsOnlyARedirectToTlsOnTheSameHost) {
  struct Row {
    const char *uri;
    const char *answer;
    const char *target;  // "" when the answer is not followed
  };
  const Row rows[] = {
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved Permanently\r\nLocation: https://10.0.0.5/eSCL/ScannerCapabilities\r\n\r\n",
       "https://10.0.0.5/"},
      {"http://10.0.0.5:8080/eSCL", "HTTP/1.1 308 Permanent Redirect\r\nlocation:https://10.0.0.5:8443/x?y#z\r\n\r\n",
       "https://10.0.0.5:8443/"},
      {"http://Scanner.local/", "HTTP/1.0 302 Found\r\nServer: s\r\nLOCATION:  HTTPS://scanner.LOCAL:443 \r\n\r\n",
       "https://scanner.LOCAL:443/"},
      {"http://[fe80::1%25eth0]/", "HTTP/1.1 307 Temporary Redirect\r\nLocation: https://[fe80::1%25eth0]:443/\r\n\r\n",
       "https://[fe80::1%25eth0]:443/"},
      // Another host, plain HTTP, no TLS, or not a redirect: not followed.
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: https://10.0.0.6/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: https://10.0.0.5.evil.example/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: http://10.0.0.5:8080/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: /eSCL\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 303 See Other\r\nLocation: https://10.0.0.5/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 3010 Odd\r\nLocation: https://10.0.0.5/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 200 OK\r\nLocation: https://10.0.0.5/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nX-Location: https://10.0.0.5/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: https://10.0.0.5/", ""},  // head cut short
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: https://10.0.0.5:99999/\r\n\r\n", ""},
      {"http://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: https://\r\n\r\n", ""},
      {"http://10.0.0.5/", "", ""},
      {"https://10.0.0.5/", "HTTP/1.1 301 Moved\r\nLocation: https://10.0.0.5:8443/\r\n\r\n", ""},  // already TLS
  };
  for (const Row &r : rows)
    EXPECT_EQ(bbescl::https_redirect_target(r.answer, r.uri), r.target) << r.uri << " " << r.answer;
}

}  // namespace
