#include "debug_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <atomic>

namespace bbescl {

namespace {
// Written by sane_init, read by the scan worker's thread too.
std::atomic<int> g_log_level{0};
}

// The plug-in logs through syslog(), level 6 for the course of every
// exchange and 3 for errors: hundreds of lines a page.  Its imports of
// syslog are routed here (route_of), so the host's own lines, mask,
// identity and facility stay as the host set them.
void log_init() {
  const char *level = getenv("SANE_DEBUG_BBESCL");
  g_log_level.store(level ? atoi(level) : 0, std::memory_order_relaxed);
}

void log_exit() { g_log_level.store(0, std::memory_order_relaxed); }

LogRoute route_of(int priority, int debug_level) {
  LogRoute route;
  route.system_log = LOG_PRI(priority) <= LOG_ERR;
  // Any debug level shows the errors on stderr too, next to the backend's
  // own messages; the plug-in's level shows the course of every exchange.
  route.standard_error = debug_level >= kLogPluginAll || (debug_level > 0 && route.system_log);
  return route;
}

void routed_vsyslog(int priority, const char *format, va_list args) {
  const LogRoute route = route_of(priority, g_log_level.load(std::memory_order_relaxed));
  if (route.standard_error) {
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
    // One fprintf a line: lines of threads never interleave.
    fprintf(stderr, "[bb_escl] %s\n", text);
  }
  // The host's identity, facility and mask apply.
  if (route.system_log) vsyslog(priority, format, args);
}

void routed_syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  routed_vsyslog(priority, format, args);
  va_end(args);
}

const char *status_text(int status) {
  static const char *const kTexts[] = {
      "success",          "operation not supported", "operation was cancelled", "device busy",
      "invalid argument", "end of file",             "document feeder jammed",  "document feeder out of documents",
      "scanner cover is open", "error during device I/O", "out of memory",    "access denied"};
  if (status >= 0 && status < static_cast<int>(sizeof kTexts / sizeof kTexts[0])) return kTexts[status];
  return "unknown status";
}

bool log_enabled(int level) { return level <= g_log_level.load(std::memory_order_relaxed); }

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
