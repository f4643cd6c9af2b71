// The open devices and their channels.  Descriptors and channel numbers
// are handed out from counters and looked up in hash maps, so a host may
// hold any number of them; each device and each channel has its own lock,
// so I/O on one never waits for another.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "channel.h"

namespace kvchan {

class Device {
 public:
  explicit Device(std::shared_ptr<const DeviceInfo> info) : info_(std::move(info)) {}

  const std::shared_ptr<const DeviceInfo> &info() const { return info_; }
  // Adds an open channel and numbers it (greater than 0); 0 when the
  // device has been closed meanwhile.
  int add(std::shared_ptr<Channel> channel);
  std::shared_ptr<Channel> find(int id);
  std::shared_ptr<Channel> remove(int id);
  int count();
  // Marks the device closed and hands over all its channels.
  std::vector<std::shared_ptr<Channel>> close_all();

 private:
  const std::shared_ptr<const DeviceInfo> info_;
  std::mutex mutex_;
  bool closed_ = false;
  int next_id_ = 1;
  std::unordered_map<int, std::shared_ptr<Channel>> channels_;
};

class Registry {
 public:
  static Registry &instance();

  int add(std::shared_ptr<Device> device);  // the new descriptor, greater than 0
  std::shared_ptr<Device> find(int dd);
  std::shared_ptr<Device> remove(int dd);

 private:
  std::mutex mutex_;
  int next_dd_ = 1;
  std::unordered_map<int, std::shared_ptr<Device>> devices_;
};

}  // namespace kvchan
