#include "debug_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace bbescl {

namespace {
int g_log_level = 0;
}

void log_init() {
  const char *level = getenv("SANE_DEBUG_BBESCL");
  g_log_level = level ? atoi(level) : 0;
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
