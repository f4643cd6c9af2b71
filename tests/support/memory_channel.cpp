#include "memory_channel.h"

#include <string.h>
#include <syslog.h>
#include <unistd.h>

namespace memchan {
namespace {
const unsigned char *g_data = nullptr;
size_t g_size = 0;
size_t g_pos = 0;
size_t g_piece = 4096;
int g_open = 0;
int g_refuse = 0;
const ScriptedDevice *g_device = nullptr;
}  // namespace

void feed(const void *data, size_t size, size_t piece) {
  g_data = static_cast<const unsigned char *>(data);
  g_size = size;
  g_pos = 0;
  g_piece = piece == 0 ? 1 : piece;
}
void rewind() { g_pos = 0; }
int open_channels() { return g_open; }
void refuse_opens(int n) { g_refuse = n; }
void use_device(const ScriptedDevice *device) { g_device = device; }

}  // namespace memchan

extern "C" {

int kvchan_open_channel(int, const char *name, int *channel) {
  if (memchan::g_device != nullptr) return memchan::g_device->open(name, channel);
  if (memchan::g_refuse > 0) {
    --memchan::g_refuse;
    return 5;
  }
  ++memchan::g_open;
  *channel = 1;
  return 0;
}

int kvchan_read_channel(int, int channel, void *data, int size, int, int *bytes_read) {
  using namespace memchan;
  if (g_device != nullptr) return g_device->read(channel, data, size, bytes_read);
  size_t left = g_size - g_pos;
  size_t n = left < g_piece ? left : g_piece;
  if (size >= 0 && n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
  if (n > 0) memcpy(data, g_data + g_pos, n);
  g_pos += n;
  *bytes_read = static_cast<int>(n);
  return 0;
}

int kvchan_write_channel(int, int channel, const void *data, int size, int, int *written) {
  if (memchan::g_device != nullptr) return memchan::g_device->write(channel, data, size, written);
  *written = size;
  return 0;
}

int kvchan_close_channel(int, int channel) {
  if (memchan::g_device != nullptr) return memchan::g_device->close(channel);
  --memchan::g_open;
  return 0;
}

void syslog(int, const char *, ...) {}
int usleep(useconds_t us) {
  if (memchan::g_device != nullptr) memchan::g_device->sleep(us);
  return 0;
}

}  // extern "C"
