#include "registry.h"

#include <climits>

namespace kvchan {
namespace {

// The next free number after `next`, never 0 or negative; wraps around
// after INT_MAX so that a host that runs for years keeps getting numbers.
template <typename Map>
int take_number(int &next, const Map &in_use) {
  while (next <= 0 || in_use.count(next) != 0) next = next == INT_MAX ? 1 : next + 1;
  int id = next;
  next = next == INT_MAX ? 1 : next + 1;
  return id;
}

}  // namespace

int Device::add(std::shared_ptr<Channel> channel) {
  std::lock_guard lock(mutex_);
  if (closed_) return 0;
  int id = take_number(next_id_, channels_);
  channel->set_id(id);
  channels_.emplace(id, std::move(channel));
  return id;
}

std::shared_ptr<Channel> Device::find(int id) {
  std::lock_guard lock(mutex_);
  auto it = channels_.find(id);
  return it == channels_.end() ? nullptr : it->second;
}

std::shared_ptr<Channel> Device::remove(int id) {
  std::lock_guard lock(mutex_);
  auto it = channels_.find(id);
  if (it == channels_.end()) return nullptr;
  std::shared_ptr<Channel> channel = std::move(it->second);
  channels_.erase(it);
  return channel;
}

int Device::count() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(channels_.size());
}

std::vector<std::shared_ptr<Channel>> Device::close_all() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  std::vector<std::shared_ptr<Channel>> all;
  all.reserve(channels_.size());
  for (auto &[id, channel] : channels_) all.push_back(std::move(channel));
  channels_.clear();
  return all;
}

Registry &Registry::instance() {
  // Never destroyed: a host thread may still close a device while the
  // process exits.
  static Registry *registry = new Registry;
  return *registry;
}

int Registry::add(std::shared_ptr<Device> device) {
  std::lock_guard lock(mutex_);
  int dd = take_number(next_dd_, devices_);
  devices_.emplace(dd, std::move(device));
  return dd;
}

std::shared_ptr<Device> Registry::find(int dd) {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(dd);
  return it == devices_.end() ? nullptr : it->second;
}

std::shared_ptr<Device> Registry::remove(int dd) {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(dd);
  if (it == devices_.end()) return nullptr;
  std::shared_ptr<Device> device = std::move(it->second);
  devices_.erase(it);
  return device;
}

}  // namespace kvchan
