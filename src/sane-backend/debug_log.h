// Diagnostics of the backend, in the manner of SANE backends: messages go
// to stderr when SANE_DEBUG_BBESCL is set to a level at least theirs.
#pragma once

namespace bbescl {

enum LogLevel { kLogError = 1, kLogInfo = 3, kLogDetail = 5, kLogTrace = 7 };

// Reads SANE_DEBUG_BBESCL once; sane_init calls it.
void log_init();
bool log_enabled(int level);
// A SANE status in words, for messages.
const char *status_text(int status);

void log_message(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace bbescl

#define BBESCL_LOG(level, ...)                                 \
  do {                                                         \
    if (::bbescl::log_enabled(level)) ::bbescl::log_message(level, __VA_ARGS__); \
  } while (0)
