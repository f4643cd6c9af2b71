// The C entry points of the channel library.  Nothing thrown inside may
// cross them: a failed allocation is reported as KVCHAN_E_BUSY.
#include "kvchan.h"

#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "channel.h"
#include "device_uri.h"
#include "registry.h"
#include "short_request.h"
#include "tls_session.h"

#define KVCHAN_EXPORT __attribute__((visibility("default")))

namespace {

using kvchan::Channel;
using kvchan::Device;
using kvchan::Registry;

template <typename Body>
int guarded(const char *call, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    syslog(LOG_ERR, "kvchan: %s: out of memory", call);
    return KVCHAN_E_BUSY;
  } catch (...) {
    syslog(LOG_ERR, "kvchan: %s: unexpected failure", call);
    return KVCHAN_E_IO;
  }
}

bool known_channel_name(std::string_view name) {
  return name == KVCHAN_CHANNEL_ESCL_SCAN || name == KVCHAN_CHANNEL_EWS_NDAT;
}

std::shared_ptr<Device> find_device(int dd, const char *call) {
  std::shared_ptr<Device> device = Registry::instance().find(dd);
  if (!device) syslog(LOG_ERR, "kvchan: %s: no open device %d", call, dd);
  return device;
}

// Runs `io` on an open channel under the channel's lock.
template <typename Io>
int with_channel(int dd, int channel, const char *call, Io io) {
  std::shared_ptr<Device> device = find_device(dd, call);
  if (!device) return KVCHAN_E_NO_DEVICE;
  std::shared_ptr<Channel> ch = device->find(channel);
  if (ch) {
    std::lock_guard lock(ch->mutex());
    if (!ch->is_closed()) return io(*ch);
  }
  syslog(LOG_ERR, "kvchan: %s: no open channel %d on %s", call, channel,
         device->info()->uri.c_str());
  return KVCHAN_E_NO_CHANNEL;
}

}  // namespace

extern "C" {

KVCHAN_EXPORT int kvchan_set_tls_verify(int mode) {
  kvchan::TlsVerify verify = kvchan::TlsVerify::pin;
  if (!kvchan::tls_verify_of(mode, verify)) {
    syslog(LOG_ERR, "kvchan: kvchan_set_tls_verify: unknown mode %d", mode);
    return KVCHAN_E_INVALID;
  }
  kvchan::set_tls_verify(verify);
  return KVCHAN_OK;
}

KVCHAN_EXPORT int kvchan_open_device(const char *uri, int *dd) {
  return guarded("open_device", [&] {
    if (dd != nullptr) *dd = 0;
    if (uri == nullptr || dd == nullptr) {
      syslog(LOG_ERR, "kvchan: open_device: missing URI or descriptor place");
      return KVCHAN_E_INVALID;
    }
    kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
    if (!parsed.ok) {
      syslog(LOG_ERR, "kvchan: bad device URI \"%s\": %s", uri, parsed.error.c_str());
      return KVCHAN_E_INVALID;
    }
    auto info = std::make_shared<kvchan::DeviceInfo>(uri, std::move(parsed.address));
    *dd = Registry::instance().add(std::make_shared<Device>(std::move(info)));
    return KVCHAN_OK;
  });
}

KVCHAN_EXPORT int kvchan_close_device(int dd) {
  return guarded("close_device", [&] {
    std::shared_ptr<Device> device = Registry::instance().remove(dd);
    if (!device) {
      syslog(LOG_ERR, "kvchan: close_device: no open device %d", dd);
      return KVCHAN_E_NO_DEVICE;
    }
    for (const std::shared_ptr<Channel> &channel : device->close_all()) {
      std::lock_guard lock(channel->mutex());
      channel->close();
    }
    return KVCHAN_OK;
  });
}

KVCHAN_EXPORT int kvchan_key_refusal(int dd, char *text, int size) {
  // guarded() answers a positive code on failure; this call's failures are negative.
  const int rc = guarded("key_refusal", [&]() -> int {
    if (text == nullptr || size <= 0) {
      syslog(LOG_ERR, "kvchan: key_refusal: missing text place");
      return -KVCHAN_E_INVALID;
    }
    text[0] = '\0';
    std::shared_ptr<Device> device = find_device(dd, "key_refusal");
    if (!device) return -KVCHAN_E_NO_DEVICE;
    const std::string refusal = device->info()->key_refusal();
    if (refusal.empty()) return 0;
    const size_t length = std::min(refusal.size(), static_cast<size_t>(size) - 1);
    memcpy(text, refusal.data(), length);
    text[length] = '\0';
    return 1;
  });
  return rc > 1 ? -rc : rc;
}

KVCHAN_EXPORT int kvchan_set_wake_fd(int dd, int fd) {
  if (fd < -1) {
    syslog(LOG_ERR, "kvchan: set_wake_fd: bad descriptor %d", fd);
    return KVCHAN_E_INVALID;
  }
  return guarded("set_wake_fd", [&] {
    std::shared_ptr<Device> device = find_device(dd, "set_wake_fd");
    if (!device) return KVCHAN_E_NO_DEVICE;
    device->info()->wake_fd.store(fd, std::memory_order_relaxed);
    return KVCHAN_OK;
  });
}

KVCHAN_EXPORT int kvchan_request(const char *uri, const void *request, int request_size,
                                 const char *enough, int millis, char *answer, int answer_size,
                                 int *answer_length) {
  return guarded("request", [&] {
    if (answer_length != nullptr) *answer_length = 0;
    if (uri == nullptr || request == nullptr || request_size < 0 || answer == nullptr ||
        answer_size < 0 || answer_length == nullptr) {
      return KVCHAN_E_INVALID;
    }
    size_t length = 0;
    const int rc = kvchan::short_request(
        uri, std::string_view(static_cast<const char *>(request), static_cast<size_t>(request_size)),
        enough != nullptr ? std::string_view(enough) : std::string_view(),
        kvchan::Clock::now() + std::chrono::milliseconds(std::max(millis, 0)), answer,
        static_cast<size_t>(answer_size), length);
    *answer_length = static_cast<int>(length);
    return rc;
  });
}

KVCHAN_EXPORT int kvchan_parse_uri(const char *uri, char *host, int host_size, int *port, int *tls) {
  return guarded("parse_uri", [&] {
    if (uri == nullptr || (host != nullptr && host_size <= 0)) return KVCHAN_E_INVALID;
    const kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
    if (!parsed.ok) return KVCHAN_E_INVALID;
    if (host != nullptr) {
      if (parsed.address.host.size() >= static_cast<size_t>(host_size)) return KVCHAN_E_INVALID;
      memcpy(host, parsed.address.host.c_str(), parsed.address.host.size() + 1);
    }
    if (port != nullptr) *port = parsed.address.port;
    if (tls != nullptr) *tls = parsed.address.tls ? 1 : 0;
    return KVCHAN_OK;
  });
}

KVCHAN_EXPORT int kvchan_channel_count(int dd, int *count) {
  return guarded("channel_count", [&] {
    if (count == nullptr) {
      syslog(LOG_ERR, "kvchan: channel_count: missing count place");
      return KVCHAN_E_INVALID;
    }
    *count = 0;
    std::shared_ptr<Device> device = find_device(dd, "channel_count");
    if (!device) return KVCHAN_E_NO_DEVICE;
    *count = device->count();
    return KVCHAN_OK;
  });
}

KVCHAN_EXPORT int kvchan_open_channel(int dd, const char *name, int *channel) {
  return guarded("open_channel", [&] {
    if (channel != nullptr) *channel = 0;
    if (name == nullptr || channel == nullptr) {
      syslog(LOG_ERR, "kvchan: open_channel: missing name or channel place");
      return KVCHAN_E_INVALID;
    }
    std::shared_ptr<Device> device = find_device(dd, "open_channel");
    if (!device) return KVCHAN_E_NO_DEVICE;
    if (!known_channel_name(name)) {
      syslog(LOG_ERR, "kvchan: %s offers no channel \"%s\"", device->info()->uri.c_str(), name);
      return KVCHAN_E_UNKNOWN_NAME;
    }
    auto ch = std::make_shared<Channel>(device->info(), name);
    int rc = ch->open();
    if (rc != KVCHAN_OK) return rc;
    int id = device->add(ch);
    if (id == 0) {
      ch->close();
      syslog(LOG_ERR, "kvchan: open_channel: device %d was closed meanwhile", dd);
      return KVCHAN_E_NO_DEVICE;
    }
    *channel = id;
    return KVCHAN_OK;
  });
}

KVCHAN_EXPORT int kvchan_read_channel(int dd, int channel, void *data, int size, int sectime,
                                      int *bytes_read) {
  return guarded("read_channel", [&] {
    if (bytes_read != nullptr) *bytes_read = 0;
    if (bytes_read == nullptr || size < 0 || (data == nullptr && size > 0)) {
      syslog(LOG_ERR, "kvchan: read_channel: bad arguments (size %d)", size);
      return KVCHAN_E_INVALID;
    }
    return with_channel(dd, channel, "read_channel",
                        [&](Channel &ch) { return ch.read(data, size, sectime, *bytes_read); });
  });
}

KVCHAN_EXPORT int kvchan_write_channel(int dd, int channel, const void *data, int size,
                                       int sectime, int *bytes_written) {
  return guarded("write_channel", [&] {
    int ignored = 0;
    int &written = bytes_written != nullptr ? *bytes_written : ignored;
    written = 0;
    if (size < 0 || (data == nullptr && size > 0)) {
      syslog(LOG_ERR, "kvchan: write_channel: bad arguments (size %d)", size);
      return KVCHAN_E_INVALID;
    }
    return with_channel(dd, channel, "write_channel",
                        [&](Channel &ch) { return ch.write(data, size, sectime, written); });
  });
}

KVCHAN_EXPORT int kvchan_close_channel(int dd, int channel) {
  return guarded("close_channel", [&] {
    std::shared_ptr<Device> device = find_device(dd, "close_channel");
    if (!device) return KVCHAN_E_NO_DEVICE;
    std::shared_ptr<Channel> ch = device->remove(channel);
    if (!ch) {
      syslog(LOG_ERR, "kvchan: close_channel: no open channel %d on %s", channel,
             device->info()->uri.c_str());
      return KVCHAN_E_NO_CHANNEL;
    }
    std::lock_guard lock(ch->mutex());
    ch->close();
    return KVCHAN_OK;
  });
}

}  // extern "C"
