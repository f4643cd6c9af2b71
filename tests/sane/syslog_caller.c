/* A small object that logs through the C library's syslog and vsyslog,
 * as the plug-in and the channel library do, for the import binding test. */
#include <stdarg.h>
#include <syslog.h>

void caller_syslog(int priority, const char *text) { syslog(priority, "caller: %s", text); }

static void log_varargs(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

void caller_vsyslog(int priority, const char *text) { log_varargs(priority, "caller v: %s", text); }
