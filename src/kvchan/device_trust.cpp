#include "device_trust.h"

#include <syslog.h>

#include "known_devices.h"

namespace kvchan {

Trust trust_session(const TlsSession &tls, const std::string &uri, const DeviceAddress &address, TlsVerify mode,
                    std::string &error, std::string &refusal) {
  if (mode == TlsVerify::off) {
    syslog(LOG_DEBUG, "kvchan: %s: certificate accepted without a check (TLS verification off)", uri.c_str());
    return Trust::trusted;
  }
  if (mode == TlsVerify::system) return Trust::trusted;
  // Trust on first use: the key a device showed first is the one it must
  // show ever after; nothing is sent to a device showing another.
  const std::string path = known_devices_path();
  const std::string fingerprint = tls.peer_key_fingerprint();
  std::string remembered;
  switch (check_device_key(path, device_key_name(address), fingerprint, remembered, error)) {
    case KeyCheck::first_use:
      syslog(LOG_INFO, "kvchan: %s shows the key %s for the first time; remembered in %s", uri.c_str(),
             fingerprint.c_str(), path.c_str());
      return Trust::trusted;
    case KeyCheck::known:
      return Trust::trusted;
    case KeyCheck::changed:
      refusal = uri + " shows the key " + fingerprint + ", not the key " + remembered +
                " it showed before: refused (if the device was reset or replaced, remove its line from " + path +
                ")";
      syslog(LOG_ERR, "kvchan: %s", refusal.c_str());
      error = "the device's key changed";
      return Trust::key_changed;
    case KeyCheck::failed:
      error = "cannot check the device's key: " + error;
      return Trust::failed;
  }
  return Trust::failed;
}

}  // namespace kvchan
