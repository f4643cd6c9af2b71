// A loaded object's syslog and vsyslog imports bound to functions of the
// test: through lazily bound PLT slots, and through GOT slots the loader
// made read-only (full RELRO, no PLT).
#include "import_binding.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Line {
  int priority;
  std::string text;
  bool operator==(const Line &) const = default;
};
std::vector<Line> g_lines;

void record_vsyslog(int priority, const char *format, va_list args) {
  char text[256];
  vsnprintf(text, sizeof text, format, args);
  g_lines.push_back({priority, text});
}

void record_syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record_vsyslog(priority, format, args);
  va_end(args);
}

TEST(ImportBinding, RoutesAnObjectsSyslog) {
  struct Case {
    const char *path;
    bool bind_vsyslog;
    std::vector<Line> lines;
  };
  const Case cases[] = {
      {SYSLOG_CALLER_PLT, true, {{LOG_ERR, "caller: one"}, {LOG_INFO, "caller v: two"}}},
      {SYSLOG_CALLER_RELRO, true, {{LOG_ERR, "caller: one"}, {LOG_INFO, "caller v: two"}}},
      // An import left unbound still reaches the C library.
      {SYSLOG_CALLER_RELRO, false, {{LOG_ERR, "caller: one"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.bind_vsyslog ? "" : ", syslog only"));
    void *handle = dlopen(c.path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const bbescl::ImportBinding bindings[] = {
        {"syslog", reinterpret_cast<void *>(&record_syslog)},
        {"vsyslog", reinterpret_cast<void *>(&record_vsyslog)},
    };
    EXPECT_EQ(bbescl::bind_imports(handle, bindings, c.bind_vsyslog ? 2 : 1), c.bind_vsyslog ? 2 : 1);
    auto log = reinterpret_cast<void (*)(int, const char *)>(dlsym(handle, "caller_syslog"));
    auto vlog = reinterpret_cast<void (*)(int, const char *)>(dlsym(handle, "caller_vsyslog"));
    ASSERT_TRUE(log && vlog);
    g_lines.clear();
    const int mask = setlogmask(LOG_UPTO(LOG_EMERG));  // what reaches the C library stays quiet
    log(LOG_ERR, "one");
    vlog(LOG_INFO, "two");
    setlogmask(mask);
    EXPECT_EQ(g_lines, c.lines);
    dlclose(handle);
  }
}

TEST(ImportBinding, RefusesWhatIsNoObject) {
  const bbescl::ImportBinding binding{"syslog", reinterpret_cast<void *>(&record_syslog)};
  EXPECT_EQ(bbescl::bind_imports(nullptr, &binding, 1), -1);
}

}  // namespace
