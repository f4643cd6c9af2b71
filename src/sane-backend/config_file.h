// bbescl.conf: one device a line, as a bare URI or as `"NAME" = URI` (the
// name is what frontends show), plus the discovery settings
// `discovery = on|off` and `discovery-timeout = MILLISECONDS`, and how https
// devices are trusted, `tls-verify = pin|system|off`, and how long
// sane_start waits for a busy device, `busy-timeout = SECONDS`.  Blank lines
// and lines starting with '#' are ignored.  The file is looked up in the
// SANE configuration directories, as every SANE backend does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kvchan.h"

namespace bbescl {

inline constexpr const char *kConfigFileName = "bbescl.conf";
inline constexpr int kDefaultDiscoveryMillis = 1000;
inline constexpr int kLongestDiscoveryMillis = 60000;
// A device refuses new jobs while it is busy or warming up; GUI frontends
// wait in sane_start meanwhile (a cancel ends the wait), so by default not
// long.  An hour at most: beyond that the device is not coming back.
inline constexpr int kDefaultBusyTimeoutSeconds = 10;
inline constexpr int kLongestBusyTimeoutSeconds = 3600;

struct ConfiguredDevice {
  std::string name;  // empty for a bare URI
  std::string uri;
  bool operator==(const ConfiguredDevice &) const = default;
};

// How https devices' certificates are trusted: the channel library's
// modes, with its numbers.
enum class TlsVerify {
  kPin = KVCHAN_TLS_PIN,        // the key a device shows first, and no other, ever after
  kSystem = KVCHAN_TLS_SYSTEM,  // a chain to the system's certificate store, for the host name
  kOff = KVCHAN_TLS_OFF,        // anything, as devices' self-signed certificates would need
};

struct BackendConfig {
  std::vector<ConfiguredDevice> devices;
  bool discovery = true;
  int discovery_millis = kDefaultDiscoveryMillis;
  TlsVerify tls_verify = TlsVerify::kPin;
  int busy_timeout_seconds = kDefaultBusyTimeoutSeconds;
};

// The directories searched, in order.  SANE_CONFIG_DIR is a colon-separated
// list; when it is unset, or ends with a colon, the default directories
// follow it.  `config_dir_env` may be null.
std::vector<std::string> config_dirs(const char *config_dir_env,
                                     const std::vector<std::string> &defaults);

// The settings of the file's text; lines that make no sense are logged and
// skipped.
BackendConfig parse_config(std::string_view text);

// Reads bbescl.conf from the first directory that has one; the defaults
// (no device, discovery on) when none has.
BackendConfig read_config(const std::vector<std::string> &dirs);

}  // namespace bbescl
