#include "device_double.h"

#include <functional>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace fake {
namespace {

Device *g_device = nullptr;
std::vector<Log> g_logs;
std::vector<unsigned> g_sleeps;
std::function<void(size_t)> g_on_sleep;

}  // namespace

std::ostream &operator<<(std::ostream &os, const Log &l) {
  return os << "{" << l.level << ", \"" << l.text << "\"}";
}

Channel &Channel::reply_in_pieces(const std::string &bytes, size_t piece) {
  for (size_t i = 0; i < bytes.size(); i += piece) script.push_back({bytes.substr(i, piece), 0});
  return *this;
}

Device::Device() {
  reset_captures();
  g_device = this;
}

Device::~Device() {
  if (g_device == this) g_device = nullptr;
}

Channel &Device::next(const std::string &name) {
  store_.emplace_back();
  Channel *c = &store_.back();
  c->name = name;
  pending_.push_back({name, false, 0, c});
  return *c;
}

void Device::refuse(const std::string &name, int result) {
  pending_.push_back({name, true, result, nullptr});
}

std::vector<Channel *> Device::opened() const { return opened_; }

std::vector<std::string> Device::opened_names() const {
  std::vector<std::string> names;
  for (auto *c : opened_) names.push_back(c->name);
  return names;
}

int Device::open_count() const {
  return static_cast<int>(
      std::count_if(opened_.begin(), opened_.end(), [](Channel *c) { return !c->closed; }));
}

Channel *Device::find(int id) const {
  for (auto *c : opened_)
    if (c->id == id) return c;
  return nullptr;
}

int Device::do_open(int dd, const char *name, int *channel) {
  ++open_calls_;
  if (dd != this->dd()) return 3;
  Channel *c = nullptr;
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Pending &p) { return p.name == name; });
  if (it != pending_.end()) {
    if (it->refuse) {
      int r = it->result;
      pending_.erase(it);
      return r;
    }
    c = it->script;
    pending_.erase(it);
  } else {
    // Unscripted channel: opens, but the device never answers.
    store_.emplace_back();
    c = &store_.back();
    c->name = name;
  }
  c->id = next_id_++;
  opened_.push_back(c);
  *channel = c->id;
  return 0;
}

int Device::do_read(int dd, int channel, void *data, int size, int sectime, int *bytes_read) {
  *bytes_read = 0;
  Channel *c = find(channel);
  if (c == nullptr || dd != this->dd()) return 5;
  if (c->closed) throw std::logic_error("read on a closed channel");
  c->read_timeouts.push_back(sectime);
  c->read_sizes.push_back(size);
  if (c->script.empty()) return 0;
  ReadStep &step = c->script.front();
  if (step.result != 0) {
    int r = step.result;
    c->script.pop_front();
    return r;
  }
  size_t n = std::min(step.bytes.size(), static_cast<size_t>(size < 0 ? 0 : size));
  memcpy(data, step.bytes.data(), n);
  *bytes_read = static_cast<int>(n);
  if (n == step.bytes.size())
    c->script.pop_front();
  else
    step.bytes.erase(0, n);
  return 0;
}

int Device::do_write(int dd, int channel, const void *data, int size, int sectime, int *written) {
  *written = 0;
  Channel *c = find(channel);
  if (c == nullptr || dd != this->dd()) return 5;
  if (c->closed) throw std::logic_error("write on a closed channel");
  std::string bytes(static_cast<const char *>(data), static_cast<size_t>(size));
  c->written += bytes;
  c->writes.push_back(bytes);
  c->write_timeouts.push_back(sectime);
  if (c->write_result == 0) *written = size;
  return c->write_result;
}

int Device::do_close(int dd, int channel) {
  Channel *c = find(channel);
  if (c == nullptr || dd != this->dd()) return 5;
  if (c->closed) throw std::logic_error("channel closed twice");
  c->closed = true;
  return 0;
}

const std::vector<Log> &logs() { return g_logs; }
const std::vector<unsigned> &sleeps() { return g_sleeps; }

void on_sleep(std::function<void(size_t)> hook) { g_on_sleep = std::move(hook); }

void reset_captures() {
  g_logs.clear();
  g_sleeps.clear();
  g_on_sleep = nullptr;
}

std::vector<Log> logs_starting(const std::string &prefix) {
  std::vector<Log> out;
  for (const auto &l : g_logs)
    if (l.text.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
  return out;
}

bool logged(int level, const std::string &text) {
  return std::find(g_logs.begin(), g_logs.end(), Log{level, text}) != g_logs.end();
}

unsigned long long slept_total() {
  unsigned long long t = 0;
  for (unsigned s : g_sleeps) t += s;
  return t;
}

std::string ptr(const void *p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

}  // namespace fake

// What the plug-in resolves against its host process.
extern "C" {

int kvchan_open_channel(int dd, const char *name, int *channel) {
  if (fake::g_device == nullptr) return 3;
  return fake::g_device->do_open(dd, name, channel);
}

int kvchan_read_channel(int dd, int channel, void *data, int size, int sectime, int *bytes_read) {
  if (fake::g_device == nullptr) return 3;
  return fake::g_device->do_read(dd, channel, data, size, sectime, bytes_read);
}

int kvchan_write_channel(int dd, int channel, const void *data, int size, int sectime,
                         int *bytes_written) {
  if (fake::g_device == nullptr) return 3;
  return fake::g_device->do_write(dd, channel, data, size, sectime, bytes_written);
}

int kvchan_close_channel(int dd, int channel) {
  if (fake::g_device == nullptr) return 3;
  return fake::g_device->do_close(dd, channel);
}

void syslog(int priority, const char *format, ...) {
  char text[8192];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  fake::g_logs.push_back({LOG_PRI(priority), text});
}

int usleep(useconds_t usec) {
  fake::g_sleeps.push_back(usec);
  if (fake::g_on_sleep) fake::g_on_sleep(fake::g_sleeps.size());
  return 0;
}

}  // extern "C"
