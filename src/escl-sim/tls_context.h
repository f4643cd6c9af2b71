// The simulator's TLS server side: the context every TLS connection is made
// from, holding the device's key and certificate.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace escl_sim {

struct TlsContextFree {
  void operator()(ssl_ctx_st *ctx) const;
};
using TlsContext = std::unique_ptr<ssl_ctx_st, TlsContextFree>;

// A server context with the certificate and key read from PEM files, or,
// when both names are empty, a fresh P-256 key and a self-signed
// certificate for 127.0.0.1 and localhost made in memory (a new key at every
// start, as a device gets after a reset). Null with a message in error.
TlsContext make_tls_context(const std::string &cert_file, const std::string &key_file,
                            std::string &error);

}  // namespace escl_sim
