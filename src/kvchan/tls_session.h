// The TLS layer of a channel: an OpenSSL client session over a connected,
// non-blocking socket, with the same time limits as the socket itself.
#pragma once

#include <cstddef>
#include <string>

#include "tcp_socket.h"

struct ssl_st;

namespace kvchan {

// How devices' certificates are trusted (kvchan_set_tls_verify).
enum class TlsVerify { pin, system, off };
// The mode a KVCHAN_TLS_* number names; false for any other number.
bool tls_verify_of(int mode, TlsVerify &verify);
void set_tls_verify(TlsVerify mode);
TlsVerify tls_verify();

class TlsSession {
 public:
  TlsSession() = default;
  ~TlsSession() { reset(); }
  TlsSession(const TlsSession &) = delete;
  TlsSession &operator=(const TlsSession &) = delete;

  bool active() const { return ssl_ != nullptr; }
  // Handshakes over fd (TLS 1.2 or newer, the host name sent as SNI unless
  // it is an address) until the deadline; with verify_chain, the
  // certificate must verify against the system's store for `host`.  On
  // failure the session is inactive and `error` says why.  Its waits also
  // watch `wake_fd` (when not -1), which ends it with `woken` set.
  bool start(int fd, const std::string &host, bool verify_chain, Deadline deadline,
             std::string &error, int wake_fd = -1, bool *woken = nullptr);
  // "sha256:HEX" of the public key (SubjectPublicKeyInfo, DER) the device
  // showed; "" without a session.
  std::string peer_key_fingerprint() const;
  // Drops the session (the socket is the caller's).
  void reset();

  enum class Io {
    done,        // `count` bytes moved
    want_read,   // wait for the socket to be readable, then call again
    want_write,  // wait for it to be writable, then call again
    closed,      // the peer closed the connection (or reset it)
    failed,      // a TLS or socket error; `error` holds errno when there was one
  };
  // Same arguments, again, after want_read or want_write.
  Io read(void *data, size_t size, size_t &count, int &error);
  Io write(const void *data, size_t size, size_t &count, int &error);
  // Decrypted bytes are waiting: a read returns them without the socket.
  bool has_pending() const;
  // As peek_peer: whether the device closed the session, without taking
  // any application data.
  Peer peek();

 private:
  Io outcome(int result, int &error);
  // One SSL_read or SSL_write, `call(ssl, size)`, and what came of it.
  template <typename Transfer>
  Io transfer(Transfer call, size_t size, size_t &count, int &error);
  ssl_st *ssl_ = nullptr;
};

}  // namespace kvchan
