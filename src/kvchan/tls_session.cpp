#include "tls_session.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>

#include "kvchan.h"

namespace kvchan {
namespace {

int socket_of(BIO *bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

// The socket under a session: OpenSSL's own socket BIO writes with write(),
// which raises SIGPIPE in the host once a device has gone; send() with
// MSG_NOSIGNAL gives EPIPE instead.
int bio_write(BIO *bio, const char *data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n = send(socket_of(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int bio_read(BIO *bio, char *data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n = recv(socket_of(bio), data, static_cast<size_t>(size), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

// Writes go straight to the socket: nothing to flush.  The socket belongs
// to the channel, never to the BIO.
long bio_ctrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD *socket_method() {
  static BIO_METHOD *method = nullptr;
  static std::once_flag made;
  std::call_once(made, [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                                 "kvchan socket");
    if (m == nullptr) return;
    BIO_meth_set_write(m, bio_write);
    BIO_meth_set_read(m, bio_read);
    BIO_meth_set_ctrl(m, bio_ctrl);
    method = m;
  });
  return method;
}

std::string tls_error_text() {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "TLS handshake failed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool is_address(const std::string &host) {
  unsigned char scratch[sizeof(in6_addr)];
  const std::string bare = host.substr(0, host.find('%'));
  return inet_pton(AF_INET, bare.c_str(), scratch) == 1 ||
         inet_pton(AF_INET6, bare.c_str(), scratch) == 1;
}

std::atomic<TlsVerify> verify_mode{TlsVerify::pin};

}  // namespace

bool tls_verify_of(int mode, TlsVerify &verify) {
  switch (mode) {
    case KVCHAN_TLS_PIN:
      verify = TlsVerify::pin;
      return true;
    case KVCHAN_TLS_SYSTEM:
      verify = TlsVerify::system;
      return true;
    case KVCHAN_TLS_OFF:
      verify = TlsVerify::off;
      return true;
    default:
      return false;
  }
}

void set_tls_verify(TlsVerify mode) { verify_mode = mode; }
TlsVerify tls_verify() { return verify_mode; }

void TlsSession::reset() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  ssl_ = nullptr;
}

bool TlsSession::start(int fd, const std::string &host, bool verify_chain, Deadline deadline,
                       std::string &error, int wake_fd, bool *woken) {
  if (woken != nullptr) *woken = false;
  reset();
  ERR_clear_error();
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  BIO_METHOD *method = socket_method();
  BIO *bio = method != nullptr ? BIO_new(method) : nullptr;
  if (ctx == nullptr || bio == nullptr) {
    SSL_CTX_free(ctx);
    BIO_free(bio);
    error = tls_error_text();
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (verify_chain) {
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  ssl_ = SSL_new(ctx);
  SSL_CTX_free(ctx);  // the session holds its own reference
  if (ssl_ == nullptr) {
    BIO_free(bio);
    error = tls_error_text();
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  // SNI carries names only, never addresses.
  if (!is_address(host)) SSL_set_tlsext_host_name(ssl_, host.c_str());
  if (verify_chain) {
    if (is_address(host)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.substr(0, host.find('%')).c_str());
    } else {
      SSL_set1_host(ssl_, host.c_str());
    }
  }
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(ssl_);
    if (rc == 1) return true;
    int e = 0;
    Io io = outcome(rc, e);
    Wait w = Wait::failed;
    if (io == Io::want_read) w = wait_for(fd, POLLIN, deadline, wake_fd);
    if (io == Io::want_write) w = wait_for(fd, POLLOUT, deadline, wake_fd);
    if (w == Wait::ready || w == Wait::interrupted) continue;
    if (w == Wait::woken) {
      if (woken != nullptr) *woken = true;
      error = "TLS handshake cancelled";
    } else if (w == Wait::timed_out) {
      error = "TLS handshake timed out";
    } else if (verify_chain && SSL_get_verify_result(ssl_) != X509_V_OK) {
      error = std::string("certificate not trusted: ") +
              X509_verify_cert_error_string(SSL_get_verify_result(ssl_));
      ERR_clear_error();
    } else if (io == Io::closed) {
      error = "the device closed the connection during the TLS handshake";
    } else {
      error = e != 0 ? error_text(e) : tls_error_text();
    }
    reset();
    return false;
  }
}

TlsSession::Io TlsSession::outcome(int result, int &error) {
  error = 0;
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      return Io::want_read;
    case SSL_ERROR_WANT_WRITE:
      return Io::want_write;
    case SSL_ERROR_ZERO_RETURN:
      return Io::closed;
    case SSL_ERROR_SYSCALL:
      // No errno: the socket ended without a TLS close, which many devices do.
      error = errno;
      if (error == 0 || error == ECONNRESET || error == EPIPE) return Io::closed;
      return Io::failed;
    default:
      return Io::failed;
  }
}

template <typename Transfer>
TlsSession::Io TlsSession::transfer(Transfer call, size_t size, size_t &count, int &error) {
  count = 0;
  ERR_clear_error();
  errno = 0;
  const int n = call(ssl_, static_cast<int>(size > INT_MAX ? INT_MAX : size));
  if (n > 0) {
    count = static_cast<size_t>(n);
    return Io::done;
  }
  return outcome(n, error);
}

TlsSession::Io TlsSession::read(void *data, size_t size, size_t &count, int &error) {
  return transfer([data](SSL *ssl, int n) { return SSL_read(ssl, data, n); }, size, count, error);
}

TlsSession::Io TlsSession::write(const void *data, size_t size, size_t &count, int &error) {
  return transfer([data](SSL *ssl, int n) { return SSL_write(ssl, data, n); }, size, count, error);
}

std::string TlsSession::peer_key_fingerprint() const {
  if (ssl_ == nullptr) return {};
  X509 *cert = SSL_get0_peer_certificate(ssl_);
  if (cert == nullptr) return {};
  unsigned char *der = nullptr;
  const int size = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  const bool ok = size > 0 && EVP_Digest(der, static_cast<size_t>(size), digest, &digest_size,
                                         EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!ok) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string text = "sha256:";
  for (unsigned int i = 0; i < digest_size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

bool TlsSession::has_pending() const { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

Peer TlsSession::peek() {
  if (has_pending()) return Peer::unread_data;
  // Records that carry no data (session tickets, a close alert) are taken
  // here; application data stays for the next read.
  char byte = 0;
  ERR_clear_error();
  errno = 0;
  const int n = SSL_peek(ssl_, &byte, 1);
  if (n > 0) return Peer::unread_data;
  int e = 0;
  switch (outcome(n, e)) {
    case Io::want_read:
    case Io::want_write:
      return Peer::connected;
    default:
      return Peer::closed;
  }
}

}  // namespace kvchan
