// One channel: a TCP connection to the device (with TLS over it for an
// https device) that carries HTTP requests and responses as a byte pipe,
// for as long as the channel is open.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_uri.h"
#include "tcp_socket.h"
#include "tls_session.h"

namespace kvchan {

// What a channel knows of its device: the URI for messages and where to connect.
struct DeviceInfo {
  DeviceInfo(std::string device_uri, DeviceAddress device_address)
      : uri(std::move(device_uri)), address(std::move(device_address)) {}

  const std::string uri;
  const DeviceAddress address;

  // Why the device was last refused for showing a key other than the one
  // remembered, for the host to show its user; "" when it never was.
  void set_key_refusal(std::string text) const {
    std::lock_guard lock(refusal_mutex_);
    key_refusal_ = std::move(text);
  }
  std::string key_refusal() const {
    std::lock_guard lock(refusal_mutex_);
    return key_refusal_;
  }

  // The host's wake-up descriptor (kvchan_set_wake_fd), -1 for none: set
  // from any thread, read by every wait of the device's channels.
  mutable std::atomic<int> wake_fd{-1};

 private:
  mutable std::mutex refusal_mutex_;
  mutable std::string key_refusal_;
};

// Time allowed to connect when a channel is opened.
inline constexpr int kConnectSeconds = 10;

class Channel {
 public:
  Channel(std::shared_ptr<const DeviceInfo> device, std::string name);

  // Connects; returns a kvchan result and logs why on failure.
  int open();
  // The kvchan read and write calls (see kvchan.h).  The caller holds mutex().
  int read(void *data, int size, int sectime, int &bytes_read);
  int write(const void *data, int size, int sectime, int &bytes_written);
  void close();
  bool is_closed() const { return closed_; }

  void set_id(int id) { id_ = id; }
  int id() const { return id_; }
  std::mutex &mutex() { return mutex_; }

 private:
  // TCP, then the TLS handshake for an https device, within the deadline:
  // KVCHAN_OK, KVCHAN_E_CONNECT (`error` says why) or KVCHAN_E_CANCELLED.
  int connect(Deadline deadline, std::string &error);
  void disconnect();
  int connect_again(Deadline deadline);
  int wake_fd() const { return device_->wake_fd.load(std::memory_order_relaxed); }
  // Logs the host's cancel of `what` (a cancel is no failure) and says so.
  int cancelled(const char *what);
  Peer peek() { return tls_.active() ? tls_.peek() : peek_peer(socket_.fd()); }
  bool may_resend_after_close() const;
  int send_all(const char *data, int size, Deadline deadline, int &sent, int &error);
  int peer_closed(int error, Deadline deadline);
  void remember_request(const char *data, int size);

  const std::shared_ptr<const DeviceInfo> device_;
  const std::string name_;
  int id_ = 0;
  std::mutex mutex_;
  Socket socket_;
  TlsSession tls_;  // active over socket_ for an https device
  bool closed_ = false;       // close() was called
  bool saw_eof_ = false;      // the peer's close was read on this connection
  uint64_t received_on_connection_ = 0;
  uint64_t received_since_write_ = 0;
  // The request written since the device last sent anything, kept so that
  // it can go out again if a reused connection turns out to be closed.
  std::vector<char> last_request_;
  bool request_too_large_ = false;
  bool resent_ = false;
};

}  // namespace kvchan
