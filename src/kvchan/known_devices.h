// Devices met over TLS, in the spirit of SSH's known_hosts: the SHA-256 of
// the public key each device showed first, kept per device URI with the
// date, one line a device ("URI sha256:HEX YYYY-MM-DD").
#pragma once

#include <string>

#include "device_uri.h"

namespace kvchan {

// The name a device's key is remembered under: "https://HOST:PORT/", the
// host in lower case (an IPv6 address in brackets), whatever path, port
// spelling or case the URI it was opened by had.  One device named two
// ways (configured, discovered) must not be met "for the first time"
// twice: the second time would take any key.

// $XDG_STATE_HOME/bbescl/known-devices, else ~/.local/state/bbescl/...,
// else (a user without a home) /var/lib/bbescl/known-devices.
std::string known_devices_path();

std::string device_key_name(const DeviceAddress &address);

enum class KeyCheck {
  first_use,  // not known before: remembered now
  known,      // the same key as remembered
  changed,    // another key is remembered: `remembered` holds it
  failed,     // the file could not be read or written: `error` says why
};

KeyCheck check_device_key(const std::string &path, const std::string &uri,
                          const std::string &fingerprint, std::string &remembered,
                          std::string &error);

}  // namespace kvchan
