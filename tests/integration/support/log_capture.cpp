#include "log_capture.h"

#include <syslog.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace itest {
namespace {

std::mutex g_mutex;
std::vector<LogLine> g_lines;
// A scan logs a few lines per chunk; keep the memory of a long run bounded.
constexpr size_t kMaxLines = 200000;

long long milliseconds_since_start() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace

std::vector<LogLine> captured_logs() {
  std::lock_guard lock(g_mutex);
  return g_lines;
}

void clear_logs() {
  std::lock_guard lock(g_mutex);
  g_lines.clear();
}

bool logged(int level, const std::string &text) {
  std::lock_guard lock(g_mutex);
  for (const LogLine &l : g_lines) {
    if (l.level == level && l.text.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string last_logs(size_t count) {
  std::lock_guard lock(g_mutex);
  std::string out;
  size_t first = g_lines.size() > count ? g_lines.size() - count : 0;
  for (size_t i = first; i < g_lines.size(); ++i) {
    out += std::to_string(g_lines[i].ms) + " " + std::to_string(g_lines[i].level) + " " +
           g_lines[i].text;
    if (out.empty() || out.back() != '\n') out += '\n';
  }
  return out;
}

}  // namespace itest

extern "C" void syslog(int priority, const char *format, ...) {
  char text[8192];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  std::lock_guard lock(itest::g_mutex);
  if (itest::g_lines.size() < itest::kMaxLines) {
    itest::g_lines.push_back({LOG_PRI(priority), text, itest::milliseconds_since_start()});
  }
}
