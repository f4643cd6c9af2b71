// syslog as seen by a test executable: every line, formatted, kept in
// memory (the executable defines syslog, so the channel library and a
// loaded plug-in log here instead of to the system log).
#pragma once

#include <string>
#include <vector>

namespace itest {

struct LogLine {
  int level;
  std::string text;
  long long ms;  // milliseconds since the first line captured
};

std::vector<LogLine> captured_logs();
void clear_logs();
// True when a line of `level` contains `text`.
bool logged(int level, const std::string &text);
// The last `count` lines, one a line, for a failure message.
std::string last_logs(size_t count);

}  // namespace itest
