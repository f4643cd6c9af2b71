// Diagnostics of the backend, in the manner of SANE backends: messages go
// to stderr when SANE_DEBUG_BBESCL is set to a level at least theirs.
#pragma once

namespace bbescl {

enum LogLevel { kLogError = 1, kLogInfo = 3, kLogDetail = 5, kLogTrace = 7 };

// Reads SANE_DEBUG_BBESCL once and sets the process's system log up for
// the plug-in's messages; sane_init calls it, log_exit (sane_exit) undoes it.
void log_init();
void log_exit();
// From this level on, every plug-in message appears on stderr too.
inline constexpr int kLogPluginAll = 7;
bool log_enabled(int level);
// A SANE status in words, for messages.
const char *status_text(int status);

void log_message(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace bbescl

#define BBESCL_LOG(level, ...)                                 \
  do {                                                         \
    if (::bbescl::log_enabled(level)) ::bbescl::log_message(level, __VA_ARGS__); \
  } while (0)
