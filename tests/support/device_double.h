// Test doubles for what the plug-in takes from its host process: the four
// kvchan_ calls (a scripted device), syslog (captured lines) and usleep
// (recorded, never slept).  A test reads as a device conversation:
//
//   fake::Device dev;                     // resets all captures
//   dev.next("KV-ESCL-SCAN").reply("HTTP/1.1 200 OK\r\n...");
//   ... call the plug-in ...
//   EXPECT_EQ(dev.channel(0).written, "GET /eSCL/ScannerStatus ...");
//   EXPECT_THAT(fake::logs(), Contains(fake::Log{6, "bb_escl 909: ..."}));
#pragma once

#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace fake {

// One scripted answer to a kvchan_read_channel call.
struct ReadStep {
  std::string bytes;  // delivered (at most the size asked; the rest stays for the next read)
  int result = 0;     // non-zero: the call returns this code and no bytes
};

// The script and the record of one channel.
struct Channel {
  int id = 0;
  std::string name;
  std::deque<ReadStep> script;
  std::string written;                  // every byte written, in order
  std::vector<std::string> writes;      // one entry per write call
  std::vector<int> write_timeouts;      // sectime of each write
  std::vector<int> read_timeouts;       // sectime of each read call
  std::vector<int> read_sizes;          // size asked by each read call
  int write_result = 0;                 // result of every write call
  bool closed = false;

  // Appends bytes that arrive as one read (split by the reader's size).
  Channel &reply(const std::string &bytes) {
    script.push_back({bytes, 0});
    return *this;
  }
  // Appends bytes that arrive `piece` bytes per read.
  Channel &reply_in_pieces(const std::string &bytes, size_t piece);
  // Appends a read that returns `code` with no bytes (49, 12 or an error).
  Channel &fail_read(int code) {
    script.push_back({"", code});
    return *this;
  }
  // Appends a read that brings no bytes in time (result 0, 0 bytes).
  Channel &silence() {
    script.push_back({"", 0});
    return *this;
  }
};

struct Log {
  int level;
  std::string text;
  bool operator==(const Log &o) const { return level == o.level && text == o.text; }
};
std::ostream &operator<<(std::ostream &os, const Log &l);

// The scripted device.  Only one exists at a time; constructing it resets
// logs, sleeps and channels.
class Device {
 public:
  Device();
  ~Device();
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  // The script for the next channel opened with `name` (queued in order).
  Channel &next(const std::string &name);
  // The next open of `name` fails with `result` (non-zero).
  void refuse(const std::string &name, int result = 5);

  // Every channel opened so far, in order of opening.
  std::vector<Channel *> opened() const;
  Channel &channel(size_t i) const { return *opened().at(i); }
  // Names of the channels opened so far, in order.
  std::vector<std::string> opened_names() const;
  // Channels opened and not closed.
  int open_count() const;
  // Number of kvchan_open_channel calls, failed ones included.
  int open_calls() const { return open_calls_; }

  int dd() const { return 7; }

  // Internal, for the kvchan_ definitions.
  int do_open(int dd, const char *name, int *channel);
  int do_read(int dd, int channel, void *data, int size, int sectime, int *bytes_read);
  int do_write(int dd, int channel, const void *data, int size, int sectime, int *written);
  int do_close(int dd, int channel);

 private:
  struct Pending {
    std::string name;
    bool refuse = false;
    int result = 0;
    Channel *script = nullptr;  // owned by store_
  };
  Channel *find(int id) const;

  std::deque<Pending> pending_;
  std::deque<Channel> store_;
  std::vector<Channel *> opened_;
  int next_id_ = 1;
  int open_calls_ = 0;
};

// Captured syslog lines (formatted) and usleep arguments since the last reset.
const std::vector<Log> &logs();
const std::vector<unsigned> &sleeps();
void reset_captures();
// Called after each recorded sleep with the number of sleeps so far (a host
// asking for a cancel mid-wait, say); cleared by reset_captures().
void on_sleep(std::function<void(size_t)> hook);
// Log lines whose text begins with `prefix` (e.g. "bb_escl 1663:").
std::vector<Log> logs_starting(const std::string &prefix);
bool logged(int level, const std::string &text);
// Sum of all recorded sleeps, in microseconds.
unsigned long long slept_total();
// A pointer as "%p" prints it, for log lines that carry addresses.
std::string ptr(const void *p);

}  // namespace fake
