// The channel library's TLS side against arbitrary devices, over a socket
// pair.  The first byte chooses what the device does:
//   0  answers the ClientHello with the input's bytes, then closes: the
//      handshake must fail, never hang or pass;
//   1  completes a real handshake, sends the input as application data in
//      pieces, then ends with a close alert, a bare close, or stray bytes
//      that are no TLS record: the client must hand out exactly a prefix
//      of what was sent (all of it after an orderly end), never more;
//   2  the input is a device URI and the remembered-keys file: a URI that
//      parses names its key by a name that parses back to the same place,
//      and reading the file never fails on its content.
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <string>
#include <string_view>
#include <thread>

#include "escl-sim/tls_context.h"
#include "kvchan/known_devices.h"
#include "kvchan/tls_session.h"

namespace {

constexpr int kSeconds = 5;

SSL_CTX *server_context() {
  static escl_sim::TlsContext context = [] {
    std::string error;
    escl_sim::TlsContext made = escl_sim::make_tls_context("", "", error);
    if (!made) {
      fprintf(stderr, "no server context: %s\n", error.c_str());
      abort();
    }
    return made;
  }();
  return context.get();
}

struct SocketPair {
  int client = -1, device = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
    // The channel's side waits with poll, as on a device's TCP socket.
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    client = fds[0];
    device = fds[1];
  }
  ~SocketPair() {
    if (client >= 0) close(client);
    if (device >= 0) close(device);
  }
};

void write_raw(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void garbage_handshake(std::string_view answer) {
  SocketPair pair;
  std::thread device([&] {
    char hello[4096];
    (void)recv(pair.device, hello, sizeof hello, 0);
    write_raw(pair.device, answer);
    shutdown(pair.device, SHUT_WR);
  });
  kvchan::TlsSession tls;
  std::string error;
  const bool started = tls.start(pair.client, "127.0.0.1", false, kvchan::deadline_after_seconds(kSeconds), error);
  device.join();
  if (started || tls.active() || error.empty()) __builtin_trap();
}

enum class Ending { close_alert, bare_close, stray_bytes };

void after_handshake(uint8_t how, std::string_view payload) {
  const Ending ending = static_cast<Ending>(how % 3);
  const size_t piece = 1 + (how >> 2) * 37;
  SocketPair pair;
  std::thread device([&] {
    SSL *ssl = SSL_new(server_context());
    SSL_set_fd(ssl, pair.device);
    if (SSL_accept(ssl) == 1) {
      for (size_t at = 0; at < payload.size(); at += piece)
        if (SSL_write(ssl, payload.data() + at, static_cast<int>(std::min(piece, payload.size() - at))) <= 0) break;
      if (ending == Ending::close_alert) SSL_shutdown(ssl);
      if (ending == Ending::stray_bytes) write_raw(pair.device, "\x17\x03\x03\x00\x05junk!");
    }
    shutdown(pair.device, SHUT_WR);
    SSL_free(ssl);
  });
  kvchan::TlsSession tls;
  std::string error;
  std::string received;
  if (tls.start(pair.client, "localhost", false, kvchan::deadline_after_seconds(kSeconds), error)) {
    if (tls.peer_key_fingerprint().size() != 7 + 64) __builtin_trap();
    const kvchan::Deadline deadline = kvchan::deadline_after_seconds(kSeconds);
    char buffer[97];
    for (;;) {
      if (!tls.has_pending() && tls.peek() == kvchan::Peer::connected &&
          kvchan::wait_for(pair.client, POLLIN, deadline) != kvchan::Wait::ready)
        break;
      size_t count = 0;
      int e = 0;
      const kvchan::TlsSession::Io io = tls.read(buffer, sizeof buffer, count, e);
      if (io == kvchan::TlsSession::Io::done) received.append(buffer, count);
      else if (io != kvchan::TlsSession::Io::want_read) break;
    }
  }
  device.join();
  // Never a byte that was not sent; all of it when the device ended cleanly.
  if (received.size() > payload.size() || payload.substr(0, received.size()) != received) __builtin_trap();
  if (ending != Ending::stray_bytes && !error.empty()) __builtin_trap();
  if (ending != Ending::stray_bytes && received.size() != payload.size()) __builtin_trap();
}

void names_and_file(std::string_view input) {
  const size_t split = input.find('\n');
  const std::string_view uri = input.substr(0, split);
  const kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
  if (parsed.ok) {
    const kvchan::UriParse again = kvchan::parse_device_uri(kvchan::device_key_name(parsed.address));
    if (!again.ok || again.address.port != parsed.address.port || !again.address.tls) __builtin_trap();
  }
  static const std::string path = "/tmp/fuzz-known-devices-" + std::to_string(getpid());
  if (FILE *file = fopen(path.c_str(), "we")) {
    const std::string_view text = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
  }
  std::string remembered, error;
  const std::string key = "sha256:" + std::string(64, 'a');
  const kvchan::KeyCheck check = kvchan::check_device_key(path, "https://127.0.0.1:443/", key, remembered, error);
  if (check == kvchan::KeyCheck::failed) __builtin_trap();
  if (check == kvchan::KeyCheck::known && remembered != key) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const std::string_view rest(reinterpret_cast<const char *>(data + 2), size - 2);
  switch (data[0] % 3) {
    case 0:
      garbage_handshake(rest);
      break;
    case 1:
      after_handshake(data[1], rest);
      break;
    default:
      names_and_file(rest);
      break;
  }
  return 0;
}
