// A frontend on libsane, as GUI frontends use the backend: SANE's dll
// meta-backend loads it, pages are read with poll() on the select descriptor
// and non-blocking sane_read, and cancels come from another thread while a
// call is blocked.  The process's syslog mask is the frontend's own.
#include <dlfcn.h>
#include <poll.h>
#include <sane/sane.h>
#include <sane/saneopts.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "host_fixture.h"

extern char **environ;

namespace {

using host::now_ms;

// The mask a frontend sets for its own messages; the backend must find it
// and leave it so.
constexpr int kHostLogMask = LOG_UPTO(LOG_WARNING);
// Longest a non-blocking sane_read may take: a frontend calls it on its
// window's thread, between drawing.
constexpr double kNonBlockingReadMs = 30;
// Longest a blocked call may go on after a cancel.
constexpr double kCancelMs = 100;

#define BB_LIBSANE_CALLS(X)                                                                                     \
  X(sane_init) X(sane_exit) X(sane_open) X(sane_close) X(sane_get_option_descriptor) X(sane_control_option) \
  X(sane_get_parameters) X(sane_start) X(sane_read) X(sane_cancel) X(sane_set_io_mode) X(sane_get_select_fd)  \
  X(sane_strstatus)

// libsane is loaded when the tests run, so that a machine without it skips
// them, saying so, instead of failing to start them.
struct LibsaneCalls {
#define BB_LIBSANE_SLOT(name) decltype(&::name) name = nullptr;
  BB_LIBSANE_CALLS(BB_LIBSANE_SLOT)
#undef BB_LIBSANE_SLOT
  bool loaded = false;

  LibsaneCalls() {
    void *lib = dlopen("libsane.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
#define BB_LIBSANE_RESOLVE(name) name = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name));
    BB_LIBSANE_CALLS(BB_LIBSANE_RESOLVE)
#undef BB_LIBSANE_RESOLVE
    loaded = sane_init && sane_exit && sane_open && sane_close && sane_get_option_descriptor &&
             sane_control_option && sane_get_parameters && sane_start && sane_read && sane_cancel &&
             sane_set_io_mode && sane_get_select_fd && sane_strstatus;
  }
};

const LibsaneCalls &libsane() {
  static const LibsaneCalls lib;
  return lib;
}

// One opened device, every SANE call made through it noting the first one
// after which the log mask was no longer the frontend's.
class Frontend {
 public:
  const LibsaneCalls &sane = libsane();

  SANE_Status init() {
    SANE_Int version = 0;
    return note("sane_init", sane.sane_init(&version, nullptr));
  }
  SANE_Status open(const std::string &name) { return note("sane_open", sane.sane_open(name.c_str(), &handle_)); }
  SANE_Status start() { return note("sane_start", sane.sane_start(handle_)); }
  SANE_Status parameters(SANE_Parameters &p) { return note("sane_get_parameters", sane.sane_get_parameters(handle_, &p)); }
  SANE_Status non_blocking() { return note("sane_set_io_mode", sane.sane_set_io_mode(handle_, SANE_TRUE)); }
  SANE_Status select_fd(SANE_Int &fd) { return note("sane_get_select_fd", sane.sane_get_select_fd(handle_, &fd)); }
  SANE_Status read(SANE_Byte *data, SANE_Int max, SANE_Int &length) {
    return note("sane_read", sane.sane_read(handle_, data, max, &length));
  }
  void cancel() {
    sane.sane_cancel(handle_);
    note("sane_cancel", SANE_STATUS_GOOD);
  }
  void close() {
    if (!handle_) return;
    sane.sane_close(handle_);
    handle_ = nullptr;
    note("sane_close", SANE_STATUS_GOOD);
  }
  void exit() {
    sane.sane_exit();
    note("sane_exit", SANE_STATUS_GOOD);
  }

  // Sets an option by name; strings and numbers as the option's type wants.
  SANE_Status set(const char *name, const std::string &text) {
    for (SANE_Int i = 1;; ++i) {
      const SANE_Option_Descriptor *d = sane.sane_get_option_descriptor(handle_, i);
      note("sane_get_option_descriptor", SANE_STATUS_GOOD);
      if (!d) return SANE_STATUS_INVAL;
      if (!d->name || std::string(d->name) != name) continue;
      SANE_Int info = 0;
      std::string buffer(static_cast<size_t>(d->size) + 1, '\0');
      if (d->type == SANE_TYPE_STRING) {
        buffer.replace(0, text.size(), text);
      } else {
        const double number = std::stod(text);
        const SANE_Word word = d->type == SANE_TYPE_FIXED ? SANE_FIX(number) : static_cast<SANE_Word>(number);
        buffer.replace(0, sizeof word, reinterpret_cast<const char *>(&word), sizeof word);
      }
      return note("sane_control_option",
                  sane.sane_control_option(handle_, i, SANE_ACTION_SET_VALUE, buffer.data(), &info));
    }
  }

  std::string status_text(SANE_Status s) const { return sane.sane_strstatus(s); }
  // Empty while every call left the mask alone.
  std::string mask_changed_by() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mask_changed_by_;
  }

 private:
  SANE_Status note(const char *call, SANE_Status status) {
    // setlogmask(0) reads the mask without changing it.
    const int mask = setlogmask(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (mask != kHostLogMask && mask_changed_by_.empty()) {
      char text[96];
      std::snprintf(text, sizeof text, "%s (mask 0x%x, the frontend's 0x%x)", call, static_cast<unsigned>(mask),
                    static_cast<unsigned>(kHostLogMask));
      mask_changed_by_ = text;
    }
    return status;
  }

  SANE_Handle handle_ = nullptr;
  mutable std::mutex mutex_;
  std::string mask_changed_by_;
};

// The SANE configuration of this process: the dll meta-backend reads the
// folder's name once, so every test writes its device into the same one.
std::string config_dir() { return getenv("SANE_CONFIG_DIR"); }

struct Area {
  const char *source;
  const char *mode;
};

// 50 x 40 mm at 150 dpi, as the scanimage tests scan it.
void set_small_area(Frontend &f, const Area &area) {
  for (const auto &[name, value] :
       std::vector<std::pair<const char *, std::string>>{{SANE_NAME_SCAN_SOURCE, area.source},
                                                         {SANE_NAME_SCAN_MODE, area.mode},
                                                         {SANE_NAME_SCAN_RESOLUTION, "150"},
                                                         {SANE_NAME_SCAN_BR_X, "50"},
                                                         {SANE_NAME_SCAN_BR_Y, "40"}})
    ASSERT_EQ(f.set(name, value), SANE_STATUS_GOOD) << name << " = " << value;
}

// One row's device and frontend: the simulator, the device naming it,
// sane_init and sane_open; closed and left when it goes.
class Session {
 public:
  Frontend f;
  std::unique_ptr<escl_sim::Server> sim;

  void open(const escl_sim::Config &cfg) {
    sim = host::start_simulator(cfg);
    host::write_backend_config(config_dir(), sim->base_url());
    ASSERT_EQ(f.init(), SANE_STATUS_GOOD);
    initialized_ = true;
    const SANE_Status s = f.open("bbescl:" + sim->base_url());
    ASSERT_EQ(s, SANE_STATUS_GOOD) << f.status_text(s);
  }

  // Closes and leaves as a frontend does, then checks what every row
  // checks: the frontend's log mask, and no job left at the device.
  void finish() {
    leave();
    EXPECT_EQ(f.mask_changed_by(), "") << "the log mask was not the frontend's after this call";
    EXPECT_EQ(sim->jobs_alive(), 0) << "a job is left at the device";
  }

  ~Session() { leave(); }

 private:
  void leave() {
    f.close();
    if (initialized_) f.exit();
    initialized_ = false;
  }

  bool initialized_ = false;
};

class Libsane : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!libsane().loaded) GTEST_SKIP() << "skipped: libsane.so.1 (libsane1) is not installed";
  }
};

struct PageRead {
  SANE_Status end = SANE_STATUS_GOOD;
  long long bytes = 0;
  double slowest_read_ms = 0;
  int ready_but_empty = 0;  // reads after poll() said ready that had nothing
  double elapsed_ms = 0;
};

// Reads a page as a GUI frontend does between redrawing its window.
PageRead read_polling(Frontend &f, int fd) {
  PageRead r;
  std::vector<SANE_Byte> buffer(32768);
  const double begun = now_ms();
  while (r.end == SANE_STATUS_GOOD && now_ms() - begun < 60000 && r.ready_but_empty < 100) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    SANE_Int length = 0;
    const double before = now_ms();
    r.end = f.read(buffer.data(), static_cast<SANE_Int>(buffer.size()), length);
    r.slowest_read_ms = std::max(r.slowest_read_ms, now_ms() - before);
    r.bytes += length;
    if (r.end == SANE_STATUS_GOOD && length == 0) ++r.ready_but_empty;
  }
  r.elapsed_ms = now_ms() - begun;
  return r;
}

struct SlowPageRow {
  const char *name;
  Area area;
  int pages;
};

// The page comes at a scanner head's pace; the frontend's thread never
// waits for it in sane_read.
TEST_F(Libsane, SlowPagesAreReadWithPollAndNonBlockingReads) {
  const SlowPageRow rows[] = {
      {"flatbed grey", {"Flatbed", "Gray"}, 1},
      {"flatbed colour", {"Flatbed", "Color"}, 1},
      {"feeder, 2 sheets", {"ADF", "Gray"}, 2},
  };
  for (const SlowPageRow &row : rows) {
    SCOPED_TRACE(row.name);
    escl_sim::Config cfg;
    cfg.adf_sheets = row.pages;
    // Bytes a second: the chart's small page (one or two kB of PNG) takes
    // half a second or more.
    cfg.scan_rate = 2000;
    cfg.head_start = 0;
    cfg.chunk_size = 4096;
    Session s;
    ASSERT_NO_FATAL_FAILURE(s.open(cfg));
    ASSERT_NO_FATAL_FAILURE(set_small_area(s.f, row.area));
    for (int page = 1; page <= row.pages; ++page) {
      SCOPED_TRACE("page " + std::to_string(page));
      SANE_Status status = s.f.start();
      ASSERT_EQ(status, SANE_STATUS_GOOD) << s.f.status_text(status);
      SANE_Parameters p{};
      ASSERT_EQ(s.f.parameters(p), SANE_STATUS_GOOD);
      ASSERT_GT(p.lines, 0);
      status = s.f.non_blocking();
      ASSERT_EQ(status, SANE_STATUS_GOOD) << "sane_set_io_mode(SANE_TRUE): " << s.f.status_text(status);
      SANE_Int fd = -1;
      status = s.f.select_fd(fd);
      ASSERT_EQ(status, SANE_STATUS_GOOD) << "sane_get_select_fd: " << s.f.status_text(status);
      ASSERT_GE(fd, 0);
      const PageRead r = read_polling(s.f, fd);
      EXPECT_EQ(r.end, SANE_STATUS_EOF) << s.f.status_text(r.end);
      EXPECT_EQ(r.bytes, static_cast<long long>(p.bytes_per_line) * p.lines);
      EXPECT_LE(r.slowest_read_ms, kNonBlockingReadMs);
      // The descriptor is readable only when sane_read has data or its end.
      EXPECT_EQ(r.ready_but_empty, 0);
      EXPECT_GT(r.elapsed_ms, 200) << "the page was all there when sane_start returned: no read came early";
      std::printf("%s %s: page over %.0f ms, slowest sane_read %.2f ms\n", row.area.source, row.area.mode,
                  r.elapsed_ms, r.slowest_read_ms);
    }
    if (std::string(row.area.source) == "ADF") {
      EXPECT_EQ(s.f.start(), SANE_STATUS_NO_DOCS);
    }
    s.finish();
  }
}

enum class Blocked { kStart, kRead };

struct CancelRow {
  const char *name;
  void (*device)(escl_sim::Config &);
  Area area;
  Blocked in;
  int jobs_while_blocked;  // the device's live jobs while the call waits
};

// GUI frontends scan on a thread of their own and cancel from their
// window's: the blocked call ends at once, and the job is deleted.
TEST_F(Libsane, ACancelFromAnotherThreadEndsABlockedCallAtOnce) {
  const CancelRow rows[] = {
      // A feeder job: a platen job is Completed once its page is on its way.
      {"sane_read while the page stalls", [](escl_sim::Config &c) { c.stall_image_at = 3000; },
       {"ADF", "Gray"}, Blocked::kRead, 1},
      {"sane_start while the job is Pending", [](escl_sim::Config &c) { c.pending_polls = 1000000; },
       {"ADF", "Gray"}, Blocked::kStart, 1},
      {"sane_start while the device is busy", [](escl_sim::Config &c) { c.busy_503 = 1000000; },
       {"Flatbed", "Gray"}, Blocked::kStart, 0},
  };
  for (const CancelRow &row : rows) {
    SCOPED_TRACE(row.name);
    escl_sim::Config cfg;
    row.device(cfg);
    Session s;
    ASSERT_NO_FATAL_FAILURE(s.open(cfg));
    ASSERT_NO_FATAL_FAILURE(set_small_area(s.f, row.area));
    if (row.in == Blocked::kRead) {
      ASSERT_EQ(s.f.start(), SANE_STATUS_GOOD);
    }

    std::atomic<double> entered{0}, returned{0};
    std::atomic<int> status{-1};
    std::thread frontend([&] {
      if (row.in == Blocked::kStart) {
        entered = now_ms();
        status = s.f.start();
        returned = now_ms();
        return;
      }
      std::vector<SANE_Byte> buffer(32768);
      SANE_Status st = SANE_STATUS_GOOD;
      while (st == SANE_STATUS_GOOD) {
        SANE_Int length = 0;
        entered = now_ms();
        st = s.f.read(buffer.data(), static_cast<SANE_Int>(buffer.size()), length);
      }
      status = st;
      returned = now_ms();
    });
    // Blocked: one call has gone on for half a second.
    const double waiting_from = now_ms();
    while (returned == 0 && !(entered > 0 && now_ms() - entered > 500) && now_ms() - waiting_from < 20000)
      usleep(1000);
    const bool blocked = returned == 0;
    if (blocked) {
      EXPECT_EQ(s.sim->jobs_alive(), row.jobs_while_blocked);
    }
    const double asked = now_ms();
    s.f.cancel();
    while (returned == 0 && now_ms() - asked < 30000) usleep(200);
    if (returned == 0) {
      // The thread is still inside the backend: nothing can be torn down.
      std::fprintf(stderr, "%s: the blocked call did not end within 30 s of the cancel\n", row.name);
      std::abort();
    }
    frontend.join();
    ASSERT_TRUE(blocked) << "the call ended before the cancel: " << s.f.status_text(SANE_Status(status.load()));
    EXPECT_EQ(status, SANE_STATUS_CANCELLED) << s.f.status_text(SANE_Status(status.load()));
    EXPECT_LE(returned - asked, kCancelMs);
    std::printf("%s: ended %.1f ms after the cancel\n", row.name, returned - asked);
    s.finish();
  }
}

}  // namespace

// The dynamic loader reads LD_LIBRARY_PATH once, when a program starts, and
// the backend loads the channel library by name: the tests run in this
// program started again with the backend's environment and a SANE
// configuration folder of its own, which goes when it ends.
int main(int argc, char **argv) {
  if (getenv("BBESCL_HOST_TEST_DIR")) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The frontend's own log mask, set before anything of SANE runs.
    setlogmask(kHostLogMask);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
  }
  const e2e::TempDir dir;
  std::filesystem::create_directories(dir.file("sane.d"));
  host::write_file(dir.file("sane.d/dll.conf"), "bbescl\n");
  host::Environment env = host::backend_environment(dir.file("state"));
  env["SANE_CONFIG_DIR"] = dir.file("sane.d");
  env["BBESCL_HOST_TEST_DIR"] = dir.path();
  for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) return 1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
