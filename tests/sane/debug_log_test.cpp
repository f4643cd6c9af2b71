// The plug-in logs through the process's syslog(): the backend keeps it to
// errors by default, lets everything through when debugging, and gives the
// process its own mask back at the end.
#include <stdlib.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "debug_log.h"

namespace {

TEST(PluginLog, MaskFollowsTheDebugLevel) {
  struct Case {
    const char *level;  // nullptr: unset
    int mask;
  };
  const Case cases[] = {
      {nullptr, LOG_UPTO(LOG_ERR)},
      {"3", LOG_UPTO(LOG_ERR)},
      {"7", LOG_UPTO(LOG_DEBUG)},
  };
  const int before = setlogmask(LOG_UPTO(LOG_NOTICE));
  for (const Case &c : cases) {
    if (c.level) setenv("SANE_DEBUG_BBESCL", c.level, 1); else unsetenv("SANE_DEBUG_BBESCL");
    bbescl::log_init();
    EXPECT_EQ(setlogmask(0), c.mask) << (c.level ? c.level : "unset");
    bbescl::log_exit();
    EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_NOTICE)) << "the process's own mask comes back";
  }
  unsetenv("SANE_DEBUG_BBESCL");
  setlogmask(before);
}

}  // namespace
