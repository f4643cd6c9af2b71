// The frame bytes the scan worker decodes ahead of the frontend, page by
// page: a page's parameters, its rows in blocks, then how it ended; or, in
// place of a next page, why there is none.  Bounded (the rest of one page
// and the next, never more than a set number of bytes), held in memory
// only.
//
// Two descriptors tell the threads of each other's progress without a
// condition variable, so that both can also wait on the cancel's wake-up
// descriptor, which a signal handler can write but could never notify:
// ready_fd() is readable exactly when the frontend's next step has
// something to take (what SANE's select descriptor promises), room_fd()
// becomes readable whenever the frontend took something.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <mutex>
#include <vector>

#include <sane/sane.h>

namespace bbescl {

// Decoded frames are large (a colour A4 page at 600 dpi is about 100 MiB):
// the worker waits rather than hold more than this.  A frontend's peak
// memory must not grow with the page, so only a little is held: eight
// blocks of rows, enough to keep the frontend fed while the worker waits
// on the network, and, at a feeder, to finish receiving the last rows of a
// page and start the next sheet while the frontend still writes them.
inline constexpr size_t kMaxQueuedBytes = size_t{512} << 10;

class FrameQueue {
 public:
  explicit FrameQueue(size_t max_bytes = kMaxQueuedBytes);
  ~FrameQueue();
  FrameQueue(const FrameQueue &) = delete;
  FrameQueue &operator=(const FrameQueue &) = delete;

  // Whether the descriptors could be made.
  bool valid() const { return ready_fd_ >= 0 && room_fd_ >= 0; }
  int ready_fd() const { return ready_fd_; }
  int room_fd() const { return room_fd_; }

  // The worker's side.
  void push_page(const SANE_Parameters &params);
  // Whether `bytes` more fit; a queue holding nothing takes any block.
  bool has_room(size_t bytes) const;
  // A buffer of `bytes` to decode into, one the frontend emptied where
  // there is one: the same few blocks serve a whole page.
  std::vector<uint8_t> buffer(size_t bytes);
  void push_data(std::vector<uint8_t> &&bytes);
  // How the page ended: EOF, or the error that ended it; `batch_over` when
  // no page follows it.
  void push_page_end(SANE_Status status, bool batch_over);
  // No next page: the feeder's end (NO_DOCS), a jam, a failed start.
  void push_start_failure(SANE_Status status);
  // Drops whatever was fetched ahead; every later take gets `status`.
  void abandon(SANE_Status status);
  // Pages the frontend has begun (its sane_start returned them).
  int pages_taken() const;
  // Empties the room descriptor, before the worker looks at the queue.
  void drain_room();

  // The frontend's side.  Each returns false when nothing is there yet.
  // The next page: GOOD with its parameters, or why there is none.
  bool take_page(SANE_Status *status, SANE_Parameters *params);
  // Frame bytes of the current page (GOOD, *length > 0), or how it ended.
  bool read(uint8_t *data, int max_length, int *length, SANE_Status *status);
  // Between a page's start and the read that gave its end.
  bool reading() const;
  // The frontend took the batch's last word: no page or status follows.
  bool batch_over() const;

  // A new batch: nothing queued, nothing begun.
  void reset();
  size_t queued_bytes() const;

 private:
  enum class Kind { kPage, kData, kPageEnd, kStartFailure };
  struct Item {
    Kind kind = Kind::kData;
    SANE_Status status = SANE_STATUS_GOOD;
    bool batch_over = false;
    SANE_Parameters params{};
    std::vector<uint8_t> bytes;
    size_t taken = 0;  // bytes of `bytes` already handed out
  };
  void push(Item &&item);
  // Makes ready_fd() readable exactly when the frontend has something.
  void update_ready();
  void tell_room();
  void pop_front();

  mutable std::mutex mutex_;
  const size_t max_bytes_;
  std::deque<Item> items_;
  std::vector<std::vector<uint8_t>> spare_;  // emptied blocks
  size_t queued_ = 0;
  bool reading_ = false;
  bool batch_over_ = false;
  bool abandoned_ = false;
  SANE_Status final_ = SANE_STATUS_GOOD;
  int pages_taken_ = 0;
  bool signalled_ = false;
  int ready_fd_ = -1;
  int room_fd_ = -1;
};

}  // namespace bbescl
