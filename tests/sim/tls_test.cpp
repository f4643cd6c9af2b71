// The simulator over TLS: the same device behind a TLS layer, a key of its
// own at every start or the one it is given, and a plain port that only
// points at the TLS one.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A blocking TLS client that trusts whatever the device shows, as a test
// only wants to see what comes through the layer.
class TlsClient {
 public:
  TlsClient(uint16_t port, int max_version = 0) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (max_version != 0) SSL_CTX_set_max_proto_version(ctx_, max_version);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return;
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_tlsext_host_name(ssl_, "localhost");
    handshake_done_ = SSL_connect(ssl_) == 1;
  }
  ~TlsClient() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (fd_ >= 0) close(fd_);
    SSL_CTX_free(ctx_);
  }
  TlsClient(const TlsClient &) = delete;
  TlsClient &operator=(const TlsClient &) = delete;

  bool handshake_done() const { return handshake_done_; }
  std::string version() const { return SSL_get_version(ssl_); }

  // The DER SubjectPublicKeyInfo of the certificate the device showed.
  std::string public_key() const {
    X509 *cert = SSL_get1_peer_certificate(ssl_);
    if (cert == nullptr) return {};
    unsigned char *der = nullptr;
    const int n = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
    std::string key(reinterpret_cast<char *>(der), n > 0 ? static_cast<size_t>(n) : 0);
    OPENSSL_free(der);
    X509_free(cert);
    return key;
  }
  std::string subject() const {
    X509 *cert = SSL_get1_peer_certificate(ssl_);
    if (cert == nullptr) return {};
    char text[256] = "";
    X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
    X509_free(cert);
    return text;
  }

  bool send(const std::string &bytes) {
    return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  }
  // One answer whose body has a Content-Length.
  Answer exchange(const std::string &request) {
    Answer a;
    if (!send(request)) return a;
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return a;
    a.head = buffer_.substr(0, end + 2);
    a.status = std::atoi(a.head.c_str() + 9);
    const size_t at = lower(a.head).find("\r\ncontent-length:");
    const size_t length = at == std::string::npos ? 0 : std::stoul(a.head.substr(at + 17));
    while (buffer_.size() < end + 4 + length)
      if (!fill()) return a;
    a.body = buffer_.substr(end + 4, length);
    a.complete = true;
    a.raw = buffer_.substr(0, end + 4 + length);
    buffer_.erase(0, end + 4 + length);
    a.headers.emplace_back("Location", header_value(a.head, "location"));
    return a;
  }
  // Everything until the device closes the connection.
  std::string read_rest() {
    while (fill()) {
    }
    return std::exchange(buffer_, {});
  }

 private:
  static std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  static std::string header_value(const std::string &head, const std::string &name) {
    const size_t at = lower(head).find("\r\n" + name + ":");
    if (at == std::string::npos) return {};
    const size_t from = head.find_first_not_of(' ', at + name.size() + 3);
    return head.substr(from, head.find("\r\n", from) - from);
  }
  bool fill() {
    char scratch[16384];
    const int n = SSL_read(ssl_, scratch, sizeof scratch);
    if (n <= 0) return false;
    buffer_.append(scratch, static_cast<size_t>(n));
    return true;
  }

  SSL_CTX *ctx_ = nullptr;
  SSL *ssl_ = nullptr;
  int fd_ = -1;
  bool handshake_done_ = false;
  std::string buffer_;
};

Config tls_config() {
  Config cfg;
  cfg.tls = true;
  return cfg;
}

class TlsSim : public SimTest {};

TEST_F(TlsSim, BaseUrlSaysHttps) {
  start(tls_config());
  EXPECT_EQ(server().base_url(), "https://127.0.0.1:" + std::to_string(port()) + "/");
}

TEST_F(TlsSim, RequestsOnOneConnectionAreAnsweredThroughTheLayer) {
  start(tls_config());
  TlsClient c(port());
  ASSERT_TRUE(c.handshake_done());
  Answer caps = c.exchange(get("/eSCL/ScannerCapabilities"));
  EXPECT_EQ(caps.status, 200);
  EXPECT_THAT(caps.body, HasSubstr("ScannerCapabilities>"));
  Answer status = c.exchange(get("/eSCL/ScannerStatus"));
  EXPECT_EQ(status.status, 200);
  EXPECT_THAT(status.body, HasSubstr("<pwg:State>Idle</pwg:State>"));
  EXPECT_EQ(server().requests().size(), 2u);
}

// A whole page goes through the layer: many writes larger than a record,
// each taken in part when the socket is full.
TEST_F(TlsSim, AWholePageComesThroughTheLayer) {
  Config cfg = tls_config();
  cfg.chunk_size = 100000;
  start(cfg);
  TlsClient c(port());
  ASSERT_TRUE(c.handshake_done());
  Settings s;
  s.resolution = 300;
  s.width = 2550;
  s.height = 3300;
  Answer job = c.exchange(post_scan_job(scan_settings(s)));
  ASSERT_EQ(job.status, 201);
  // A device on TLS names its jobs by https URLs (a client that follows
  // the whole URL must stay on TLS).
  EXPECT_THAT(job.header("Location"), StartsWith("https://127.0.0.1:" + std::to_string(port()) + "/eSCL/ScanJobs/"));
  const std::string id = job_id_of(job.header("Location"));
  ASSERT_TRUE(c.send("GET /eSCL/ScanJobs/" + id + "/NextDocument HTTP/1.1\r\nHost: x:80\r\nConnection: close\r\n\r\n"));
  const std::string page = c.read_rest();
  ASSERT_EQ(server().pages_sent().size(), 1u);
  EXPECT_THAT(page, StartsWith("HTTP/1.1 200"));
  EXPECT_GT(page.size(), server().pages_sent()[0].size());
  EXPECT_THAT(page, testing::EndsWith("0\r\n\r\n"));
}

TEST_F(TlsSim, EveryStartMakesANewKeyForItsOwnAddress) {
  std::vector<std::string> keys;
  for (int i = 0; i < 2; ++i) {
    start(tls_config());
    TlsClient c(port());
    ASSERT_TRUE(c.handshake_done());
    EXPECT_THAT(c.subject(), HasSubstr("CN=127.0.0.1"));
    keys.push_back(c.public_key());
    server().stop();
  }
  EXPECT_FALSE(keys[0].empty());
  EXPECT_NE(keys[0], keys[1]);
}

TEST_F(TlsSim, TlsOlderThanOnePointTwoIsRefused) {
  start(tls_config());
  TlsClient old(port(), TLS1_1_VERSION);
  EXPECT_FALSE(old.handshake_done());
  TlsClient current(port(), TLS1_2_VERSION);
  EXPECT_TRUE(current.handshake_done());
  EXPECT_EQ(current.version(), "TLSv1.2");
}

TEST_F(TlsSim, PlainHttpOnTheTlsPortGetsNoAnswer) {
  start(tls_config());
  RawClient c(port());
  ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus")));
  EXPECT_THAT(c.read_rest(5000), testing::Not(HasSubstr("HTTP/1.1")));
  EXPECT_TRUE(server().requests().empty());
}

// A certificate and key from files: the device keeps its key across starts.
class TlsFiles : public SimTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("escl-sim-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    // The simulator's own generated pair, written out by a first run.
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("from-file"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    FILE *f = std::fopen(cert_path().c_str(), "w");
    PEM_write_X509(f, cert);
    std::fclose(f);
    f = std::fopen(key_path().c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  void TearDown() override {
    SimTest::TearDown();
    std::filesystem::remove_all(dir_);
  }
  std::string cert_path() const { return (dir_ / "cert.pem").string(); }
  std::string key_path() const { return (dir_ / "key.pem").string(); }
  std::filesystem::path dir_;
};

TEST_F(TlsFiles, TheGivenKeyIsShownAtEveryStart) {
  std::vector<std::string> keys;
  for (int i = 0; i < 2; ++i) {
    Config cfg = tls_config();
    cfg.cert_file = cert_path();
    cfg.key_file = key_path();
    start(cfg);
    TlsClient c(port());
    ASSERT_TRUE(c.handshake_done());
    EXPECT_THAT(c.subject(), HasSubstr("CN=from-file"));
    keys.push_back(c.public_key());
    server().stop();
  }
  EXPECT_EQ(keys[0], keys[1]);
}

TEST_F(TlsFiles, FilesThatAreNoCertificateOrKeyStopTheStart) {
  const std::string missing = (dir_ / "none.pem").string();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {missing, key_path()}, {cert_path(), missing}, {key_path(), key_path()}};
  for (const auto &[cert, key] : cases) {
    Config cfg = tls_config();
    cfg.cert_file = cert;
    cfg.key_file = key;
    cfg.log_requests = false;
    Server s(cfg);
    EXPECT_FALSE(s.start(0)) << cert << " " << key;
    EXPECT_THAT(s.last_error(), HasSubstr(".pem"));
  }
}

// A device whose plain port points at its TLS port: every request gets a
// 301 to the same path and query there, and nothing else happens.
TEST_F(TlsSim, PlainRequestsAreRedirectedToTheTlsPort) {
  Config cfg;
  cfg.redirect_to_https = 4443;
  start(cfg);
  RawClient c(port());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {get("/eSCL/ScannerCapabilities"), "https://127.0.0.1:4443/eSCL/ScannerCapabilities"},
      {get("/eSCL/ScannerStatus?x=1"), "https://127.0.0.1:4443/eSCL/ScannerStatus?x=1"},
      {post_scan_job(scan_settings({})), "https://127.0.0.1:4443/eSCL/ScanJobs"},
  };
  for (const auto &[request, location] : cases) {
    Answer a = c.exchange(request);
    EXPECT_EQ(a.status, 301) << request;
    EXPECT_EQ(a.header("Location"), location);
  }
  EXPECT_EQ(server().jobs_alive(), 0);
}

}  // namespace
}  // namespace escl_sim::test
