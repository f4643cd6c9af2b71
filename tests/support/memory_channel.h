// A device whose every channel reads from one in-memory byte string, for the
// fuzz targets and benchmarks.  syslog and usleep are no-ops there.
#pragma once

#include <stddef.h>

namespace memchan {

// Every channel opened after this reads `data` from the start, at most
// `piece` bytes a read; once it is used up, reads bring no bytes.
void feed(const void *data, size_t size, size_t piece = 4096);
// Rewinds the current feed (cheap; for benchmark loops).
void rewind();
// Channels opened and not yet closed.
int open_channels();
// Makes the next `n` channel opens fail.
void refuse_opens(int n);

}  // namespace memchan
