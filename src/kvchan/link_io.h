// One read or one write on a device's connection: recv() or send() on the
// socket itself, or through the TLS session over it when one is active.
// Each answers as recv() and send() do (the bytes moved; 0 from a receive
// when the device closed; -1 with errno set), and sets `again` when nothing
// moved yet because TLS waits for the socket: the caller waits for
// `events` on it, then calls again.  Never raises SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "tls_session.h"

namespace kvchan {

ssize_t receive_some(int fd, TlsSession &tls, void *data, size_t size, bool &again, short &events);
ssize_t send_some(int fd, TlsSession &tls, const void *data, size_t size, bool &again, short &events);

}  // namespace kvchan
