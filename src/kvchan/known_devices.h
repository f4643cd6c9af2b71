// Devices met over TLS, in the spirit of SSH's known_hosts: the SHA-256 of
// the public key each device showed first, kept per device URI with the
// date, one line a device ("URI sha256:HEX YYYY-MM-DD").
#pragma once

#include <string>

namespace kvchan {

// $XDG_STATE_HOME/bbescl/known-devices, else ~/.local/state/bbescl/...,
// else (a user without a home) /var/lib/bbescl/known-devices.
std::string known_devices_path();

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
