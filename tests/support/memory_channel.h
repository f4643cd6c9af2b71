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

// A device of the caller's making, for a whole conversation: while one is
// set, every channel call and usleep goes to it instead of the feed.
struct ScriptedDevice {
  int (*open)(const char *name, int *channel);
  int (*read)(int channel, void *data, int size, int *bytes_read);
  int (*write)(int channel, const void *data, int size, int *written);
  int (*close)(int channel);
  void (*sleep)(unsigned us);
};
// nullptr goes back to the feed.
void use_device(const ScriptedDevice *device);

}  // namespace memchan
