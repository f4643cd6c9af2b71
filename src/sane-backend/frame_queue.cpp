#include "frame_queue.h"

#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace bbescl {

namespace {

void signal_fd(int fd) {
  const uint64_t one = 1;
  // Only fails when the counter would overflow: it is readable then anyway.
  [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

void drain_fd(int fd) {
  uint64_t count = 0;
  // Non-blocking: an empty counter answers EAGAIN.
  [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
}

}  // namespace

FrameQueue::FrameQueue(size_t max_bytes) : max_bytes_(max_bytes) {
  ready_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  room_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

FrameQueue::~FrameQueue() {
  if (ready_fd_ >= 0) close(ready_fd_);
  if (room_fd_ >= 0) close(room_fd_);
}

void FrameQueue::update_ready() {
  bool want = abandoned_;
  if (!want && reading_) want = !items_.empty() && items_.front().kind != Kind::kPage;
  else if (!want) want = !items_.empty();
  if (want == signalled_) return;
  if (want) signal_fd(ready_fd_);
  else drain_fd(ready_fd_);
  signalled_ = want;
}

void FrameQueue::tell_room() { signal_fd(room_fd_); }

void FrameQueue::drain_room() { drain_fd(room_fd_); }

void FrameQueue::push(Item &&item) {
  std::lock_guard lock(mutex_);
  if (abandoned_) return;
  queued_ += item.bytes.size();
  items_.push_back(std::move(item));
  update_ready();
}

void FrameQueue::push_page(const SANE_Parameters &params) {
  Item item;
  item.kind = Kind::kPage;
  item.params = params;
  push(std::move(item));
}

bool FrameQueue::has_room(size_t bytes) const {
  std::lock_guard lock(mutex_);
  return queued_ == 0 || queued_ + bytes <= max_bytes_;
}

std::vector<uint8_t> FrameQueue::buffer(size_t bytes) {
  std::vector<uint8_t> block;
  {
    std::lock_guard lock(mutex_);
    if (!spare_.empty()) {
      block = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  block.resize(bytes);
  return block;
}

void FrameQueue::pop_front() {
  Item &front = items_.front();
  // No more blocks are kept than the bound lets the worker fill.
  if (front.kind == Kind::kData && spare_.size() * front.bytes.capacity() < max_bytes_) {
    front.bytes.clear();
    spare_.push_back(std::move(front.bytes));
  }
  items_.pop_front();
}

void FrameQueue::push_data(std::vector<uint8_t> &&bytes) {
  if (bytes.empty()) return;
  Item item;
  item.kind = Kind::kData;
  item.bytes = std::move(bytes);
  push(std::move(item));
}

void FrameQueue::push_page_end(SANE_Status status, bool batch_over) {
  Item item;
  item.kind = Kind::kPageEnd;
  item.status = status;
  item.batch_over = batch_over;
  push(std::move(item));
}

void FrameQueue::push_start_failure(SANE_Status status) {
  Item item;
  item.kind = Kind::kStartFailure;
  item.status = status;
  push(std::move(item));
}

void FrameQueue::abandon(SANE_Status status) {
  std::lock_guard lock(mutex_);
  items_.clear();
  queued_ = 0;
  abandoned_ = true;
  final_ = status;
  update_ready();
}

int FrameQueue::pages_taken() const {
  std::lock_guard lock(mutex_);
  return pages_taken_;
}

bool FrameQueue::take_page(SANE_Status *status, SANE_Parameters *params) {
  std::lock_guard lock(mutex_);
  if (abandoned_) {
    *status = final_;
    batch_over_ = true;
    return true;
  }
  if (reading_ || items_.empty()) return false;
  Item &front = items_.front();
  if (front.kind == Kind::kPage) {
    *status = SANE_STATUS_GOOD;
    *params = front.params;
    reading_ = true;
    ++pages_taken_;
  } else {
    // Only a page's start or the reason there is none can be first here:
    // a page's rows and end are taken by reads before the next start.
    *status = front.status;
    batch_over_ = true;
  }
  pop_front();
  update_ready();
  tell_room();
  return true;
}

bool FrameQueue::read(uint8_t *data, int max_length, int *length, SANE_Status *status) {
  *length = 0;
  std::lock_guard lock(mutex_);
  if (abandoned_) {
    *status = final_;
    batch_over_ = true;
    return true;
  }
  if (!reading_ || items_.empty()) return false;
  Item &front = items_.front();
  if (front.kind == Kind::kData) {
    const size_t n = std::min(front.bytes.size() - front.taken, static_cast<size_t>(std::max(max_length, 0)));
    if (n > 0) memcpy(data, front.bytes.data() + front.taken, n);
    front.taken += n;
    queued_ -= n;
    *length = static_cast<int>(n);
    *status = SANE_STATUS_GOOD;
    if (front.taken == front.bytes.size()) pop_front();
  } else {
    *status = front.status;
    reading_ = false;
    batch_over_ = front.batch_over || front.status != SANE_STATUS_EOF;
    pop_front();
  }
  update_ready();
  tell_room();
  return true;
}

bool FrameQueue::reading() const {
  std::lock_guard lock(mutex_);
  return reading_;
}

bool FrameQueue::batch_over() const {
  std::lock_guard lock(mutex_);
  return batch_over_;
}

void FrameQueue::reset() {
  std::lock_guard lock(mutex_);
  items_.clear();
  queued_ = 0;
  reading_ = false;
  batch_over_ = false;
  abandoned_ = false;
  final_ = SANE_STATUS_GOOD;
  pages_taken_ = 0;
  update_ready();
  drain_fd(room_fd_);
}

size_t FrameQueue::queued_bytes() const {
  std::lock_guard lock(mutex_);
  return queued_;
}

}  // namespace bbescl
