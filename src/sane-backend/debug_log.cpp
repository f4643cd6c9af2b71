#include "debug_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

namespace bbescl {

namespace {
int g_log_level = 0;
int g_saved_log_mask = -1;  // the process's mask before log_init, -1: untouched
bool g_log_opened = false;
}

// The plug-in logs through the process's syslog(), level 6 for the course
// of every exchange and 3 for errors: hundreds of lines a page.  By default
// only its errors pass the mask.  When debugging, the log is opened with
// LOG_PERROR, so what passes the mask also goes to stderr, in order with
// the backend's own messages.  Mask and options belong to the process:
// other code in it that logs below error level is quieted the same way
// until sane_exit.
void log_init() {
  const char *level = getenv("SANE_DEBUG_BBESCL");
  g_log_level = level ? atoi(level) : 0;
  const int mask = g_log_level >= kLogPluginAll ? LOG_UPTO(LOG_DEBUG) : LOG_UPTO(LOG_ERR);
  const int previous = setlogmask(mask);
  if (g_saved_log_mask < 0) g_saved_log_mask = previous;
  if (g_log_level > 0 && !g_log_opened) {
    openlog(nullptr, LOG_PERROR, LOG_USER);
    g_log_opened = true;
  }
}

void log_exit() {
  if (g_saved_log_mask >= 0) setlogmask(g_saved_log_mask);
  g_saved_log_mask = -1;
  if (g_log_opened) closelog();
  g_log_opened = false;
}

const char *status_text(int status) {
  static const char *const kTexts[] = {
      "success",          "operation not supported", "operation was cancelled", "device busy",
      "invalid argument", "end of file",             "document feeder jammed",  "document feeder out of documents",
      "scanner cover is open", "error during device I/O", "out of memory",    "access denied"};
  if (status >= 0 && status < static_cast<int>(sizeof kTexts / sizeof kTexts[0])) return kTexts[status];
  return "unknown status";
}

bool log_enabled(int level) { return level <= g_log_level; }

void log_message(int level, const char *format, ...) {
  // One fprintf per message, so lines of a message never interleave.
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fprintf(stderr, "[bbescl] %s%s\n", level == kLogError ? "error: " : "", text);
}

}  // namespace bbescl
