// The plug-in's syslog lines are routed by the backend: errors to the
// host's log (and stderr when debugging), everything to stderr when
// debugging the plug-in; the host's own log mask is never touched.
#include <stdlib.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "debug_log.h"

namespace {

TEST(PluginLog, RouteFollowsLevelAndDebugLevel) {
  struct Case {
    int priority;
    int debug_level;
    bbescl::LogRoute route;
  };
  const Case cases[] = {
      {LOG_INFO, 0, {false, false}},
      {LOG_ERR, 0, {true, false}},
      {LOG_CRIT | LOG_DAEMON, 0, {true, false}},  // the facility does not change the level
      {LOG_WARNING, 3, {false, false}},
      {LOG_ERR, 1, {true, true}},  // errors show at any debug level
      {LOG_INFO, 1, {false, false}},
      {LOG_INFO, bbescl::kLogPluginAll, {false, true}},
      {LOG_ERR, bbescl::kLogPluginAll, {true, true}},
      {LOG_DEBUG, 9, {false, true}},
  };
  for (const Case &c : cases)
    EXPECT_EQ(bbescl::route_of(c.priority, c.debug_level), c.route) << c.priority << " at " << c.debug_level;
}

TEST(PluginLog, TheHostsMaskStaysAsTheHostSetIt) {
  const int before = setlogmask(LOG_UPTO(LOG_NOTICE));
  for (const char *level : {"0", "3", "7"}) {
    setenv("SANE_DEBUG_BBESCL", level, 1);
    bbescl::log_init();
    EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_NOTICE)) << level;
    bbescl::routed_syslog(LOG_INFO, "a line at %s", level);
    bbescl::log_exit();
    EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_NOTICE)) << level;
  }
  unsetenv("SANE_DEBUG_BBESCL");
  setlogmask(before);
}

}  // namespace
