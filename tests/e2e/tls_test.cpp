// Scanning over TLS through scanimage: the key a device shows first is
// pinned, another key later is refused before any request, tls-verify = off
// takes any key, a plain device redirecting to TLS is followed, and a
// device that never answers the handshake costs no more than the connect
// limit.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "scan_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace e2e {
namespace {

class Tls : public Scan {
 protected:
  escl_sim::Config tls_config() const {
    escl_sim::Config cfg;
    cfg.tls = true;
    return cfg;
  }

  void write_config(const std::string &text) {
    std::ofstream(scanimage_->config_dir() + "/bbescl.conf") << text;
  }
};

TEST_F(Tls, AColourPageIsScannedOverTlsAndTheKeyPinned) {
  start(tls_config());
  ASSERT_EQ(url_.rfind("https://127.0.0.1:", 0), 0u) << url_;
  // Listed with its make and model, asked over TLS.
  const RunResult listed = scanimage_->run({"-L"});
  EXPECT_THAT(listed.out, HasSubstr("device `" + device_ + "' is a escl-sim Multifunction"));
  const RunResult r = scan(with({"--mode", "Color", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("page.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 8.0, 0.03);
  EXPECT_EQ(sim_->jobs_alive(), 0);
  EXPECT_THAT(read_file(scanimage_->known_devices()), HasSubstr(url_ + " sha256:"));
}

TEST_F(Tls, ANewKeyIsRefusedUntilVerificationIsTurnedOff) {
  start(tls_config());
  ASSERT_EQ(scan(with({"-o", "first.png"}, kSmallArea)).exit_code, 0);
  const std::string pinned = read_file(scanimage_->known_devices());

  // The same address with a fresh key, as an impostor (or a reset device) shows.
  const uint16_t port = sim_->port();
  sim_->stop();
  escl_sim::Config cfg = tls_config();
  cfg.log_requests = false;
  sim_ = std::make_unique<escl_sim::Server>(cfg);
  ASSERT_TRUE(sim_->start(port)) << sim_->last_error();
  const RunResult refused = scan(with({"-o", "refused.png"}, kSmallArea));
  EXPECT_NE(refused.exit_code, 0);
  // Said without any debug level: only the user can settle it.
  EXPECT_THAT(refused.err, HasSubstr(url_ + " shows the key sha256:"));
  EXPECT_THAT(refused.err, HasSubstr(", not the key " + pinned.substr(url_.size() + 1, 7 + 64) + " it showed"));
  EXPECT_THAT(refused.err, HasSubstr("remove its line from " + scanimage_->known_devices()));
  EXPECT_THAT(refused.err, HasSubstr("Access to resource has been denied"));
  // Listing does not ask it either.
  const RunResult listed = scanimage_->run({"-L"});
  EXPECT_THAT(listed.out, HasSubstr("device `" + device_ + "' is a eSCL 127.0.0.1:"));
  EXPECT_TRUE(sim_->requests().empty()) << "a request went to a device with another key";
  EXPECT_EQ(read_file(scanimage_->known_devices()), pinned);

  write_config(url_ + "\ntls-verify = off\n");
  scanimage_->set_env("SANE_DEBUG_BBESCL", "7");
  const RunResult taken = scan(with({"-o", "taken.png"}, kSmallArea));
  ASSERT_EQ(taken.exit_code, 0) << taken.err.substr(0, 4000);
  EXPECT_THAT(taken.err, HasSubstr("certificate accepted without a check (TLS verification off)"));
  EXPECT_EQ(sim_->jobs_alive(), 0);
  EXPECT_EQ(read_file(scanimage_->known_devices()), pinned);
}

TEST_F(Tls, APlainDeviceRedirectingToTlsIsScannedOverTls) {
  start(tls_config());
  escl_sim::Config plain_cfg;
  plain_cfg.log_requests = false;
  plain_cfg.redirect_to_https = sim_->port();
  escl_sim::Server plain(plain_cfg);
  ASSERT_TRUE(plain.start(0)) << plain.last_error();
  ASSERT_EQ(plain.base_url().rfind("http://", 0), 0u);

  const RunResult r = scanimage_->run(with({"-d", "bbescl:" + plain.base_url(), "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("page.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 8.0, 0.03);
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 1);
  EXPECT_EQ(sim_->jobs_alive(), 0);
  for (const std::string &line : plain.requests()) EXPECT_EQ(line.rfind("GET ", 0), 0u) << line;
  EXPECT_THAT(read_file(scanimage_->known_devices()), HasSubstr(url_ + " sha256:"));
}

TEST_F(Tls, AHandshakeNobodyAnswersEndsWithinTheConnectLimit) {
  // Accepted by the kernel, never answered: the ClientHello goes unheard.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
  const std::string uri = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

  scanimage_ = std::make_unique<Scanimage>(std::vector<std::string>{uri});
  scanimage_->set_env("SANE_DEBUG_BBESCL", "1");
  const double started = now_seconds();
  const RunResult r = scanimage_->run(with({"-d", "bbescl:" + uri, "-o", "page.png"}, kSmallArea));
  const double took = now_seconds() - started;
  close(listener);
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("kvchan: connect to " + uri + " failed"));
  EXPECT_GE(took, 9.0);
  EXPECT_LT(took, 20.0) << "the 10 s connect limit, once";
  EXPECT_THAT(r.err, Not(HasSubstr("sha256:")));
}

}  // namespace
}  // namespace e2e
