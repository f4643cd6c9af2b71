// Whether a device's TLS session may carry requests: the one decision the
// channels and the backend's own short requests (make and model while
// devices are listed) both take, so that a device refused for one is
// refused for the other.
#pragma once

#include <string>

#include "device_uri.h"
#include "tls_session.h"

namespace kvchan {

enum class Trust {
  trusted,
  key_changed,  // pinned to another key: `refusal` says so for the user
  failed,       // the key could not be checked: `error` says why
};

// After a successful handshake (with the chain verified already when
// `mode` is system): off accepts (said at debug level), system accepts,
// pin accepts the key remembered for the device, or a first key, which it
// then remembers.  `uri` names the device in messages.
Trust trust_session(const TlsSession &tls, const std::string &uri, const DeviceAddress &address, TlsVerify mode,
                    std::string &error, std::string &refusal);

}  // namespace kvchan
