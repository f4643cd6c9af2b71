// Diagnostics of the backend, in the manner of SANE backends: messages go
// to stderr when SANE_DEBUG_BBESCL is set to a level at least theirs.
#pragma once

#include <stdarg.h>

namespace bbescl {

enum LogLevel { kLogError = 1, kLogInfo = 3, kLogDetail = 5, kLogTrace = 7 };

// Reads SANE_DEBUG_BBESCL; sane_init calls it.  The host's system log (its
// mask, identity and facility) is never changed: log_exit only forgets the
// level.
void log_init();
void log_exit();
// From this level on, every plug-in message appears on stderr too.
inline constexpr int kLogPluginAll = 7;
bool log_enabled(int level);
// A SANE status in words, for messages.
const char *status_text(int status);

void log_message(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Where a line the plug-in or the channel library gives syslog() goes:
// errors (LOG_ERR and more severe) to the host's system log as they are,
// and at the plug-in's debug level every line to stderr as well.
struct LogRoute {
  bool system_log = false;
  bool standard_error = false;
  bool operator==(const LogRoute &) const = default;
};
LogRoute route_of(int priority, int debug_level);

// What the loaded objects' syslog and vsyslog imports are bound to
// (import_binding.h); safe from any thread.
void routed_syslog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void routed_vsyslog(int priority, const char *format, va_list args) __attribute__((format(printf, 2, 0)));

}  // namespace bbescl

#define BBESCL_LOG(level, ...)                                 \
  do {                                                         \
    if (::bbescl::log_enabled(level)) ::bbescl::log_message(level, __VA_ARGS__); \
  } while (0)
