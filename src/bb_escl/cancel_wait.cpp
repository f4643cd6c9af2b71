// Waits of the plug-in that a host's cancel cuts short.
#include <unistd.h>

#include "bb_escl.h"
#include "job_control.h"

namespace {

// A cancel is seen within this much of any wait.
constexpr useconds_t kWaitSliceUs = 100000;

}  // namespace

namespace bb {

bool wait_unless_cancelled(const host_session *hs, useconds_t us) {
  while (us > 0) {
    if (cancel_asked(hs)) return false;
    useconds_t slice = us < kWaitSliceUs ? us : kWaitSliceUs;
    usleep(slice);
    us -= slice;
  }
  return !cancel_asked(hs);
}

}  // namespace bb
