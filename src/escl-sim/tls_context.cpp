// Key, certificate and server context for the simulator's TLS port.
#include "tls_context.h"

#include <openssl/err.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace escl_sim {

namespace {

std::string openssl_error(const std::string &what) {
  char text[256] = "";
  unsigned long code = ERR_get_error();
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return what + (code != 0 ? std::string(": ") + text : std::string());
}

struct KeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509 *c) const { X509_free(c); }
};

bool add_alt_names(X509 *cert) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext =
      X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// Self-signed, valid from a day ago for ten years, as devices ship them.
std::unique_ptr<X509, CertFree> self_signed(EVP_PKEY *key) {
  std::unique_ptr<X509, CertFree> cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  unsigned char serial[8];
  BIGNUM *bn = BN_new();
  bool ok = bn != nullptr && RAND_bytes(serial, sizeof serial) == 1 &&
            BN_bin2bn(serial, sizeof serial, bn) != nullptr &&
            BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(bn);
  X509_NAME *name = X509_get_subject_name(cert.get());
  ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) != nullptr &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char *>("escl-sim"), -1, -1,
                                  0) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key) == 1 &&
       add_alt_names(cert.get()) && X509_sign(cert.get(), key, EVP_sha256()) > 0;
  if (!ok) return nullptr;
  return cert;
}

}  // namespace

void TlsContextFree::operator()(ssl_ctx_st *ctx) const { SSL_CTX_free(ctx); }

TlsContext make_tls_context(const std::string &cert_file, const std::string &key_file,
                            std::string &error) {
  TlsContext ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    error = openssl_error("cannot make a TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // Writes go out as far as the socket takes them and are retried with the
  // rest, from wherever the caller keeps it.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (!cert_file.empty() || !key_file.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert_file.c_str()) != 1) {
      error = openssl_error("cannot read the certificate " + cert_file);
      return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
      error = openssl_error("cannot use the key " + key_file);
      return nullptr;
    }
    return ctx;
  }
  std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
  if (!key) {
    error = openssl_error("cannot make a key");
    return nullptr;
  }
  auto cert = self_signed(key.get());
  if (!cert || SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1) {
    error = openssl_error("cannot make a certificate");
    return nullptr;
  }
  return ctx;
}

}  // namespace escl_sim
