// saned serving the backend on loopback and scanimage scanning through
// SANE's net backend, as a scanner shared with other machines is used.
// saned runs with a /dev/log of the test's own (in a private mount
// namespace), so what it and the backend inside it send to syslog is read
// here: saned's lines keep its identity, its own lines still come once the
// device is open, and a scan that succeeds logs no error.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "host_fixture.h"
#include "scan_fixture.h"

namespace {

// One datagram as the C library's syslog() writes it:
// "<PRI>Mmm dd hh:mm:ss TAG[PID]: text".
struct LogLine {
  int priority = -1;  // facility | level; -1 when the datagram is not such a line
  std::string tag;
  bool with_pid = false;
  std::string text;
  std::string raw;
};

LogLine parse_log_line(const std::string &raw) {
  LogLine line;
  line.raw = raw;
  const size_t close = raw.find('>');
  if (raw.empty() || raw[0] != '<' || close == std::string::npos) return line;
  // The time stamp is always 15 characters and a blank.
  const size_t tag_at = close + 1 + 16;
  const size_t colon = raw.find(": ", tag_at);
  if (colon == std::string::npos) return line;
  line.priority = std::atoi(raw.c_str() + 1);
  const std::string tag = raw.substr(tag_at, colon - tag_at);
  line.with_pid = tag.find('[') != std::string::npos;
  line.tag = tag.substr(0, tag.find('['));
  line.text = raw.substr(colon + 2);
  while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\0')) line.text.pop_back();
  return line;
}

// A Unix datagram socket standing in for /dev/log, read on a thread of its
// own: loggers block when a datagram socket's queue is full.
class LogSocket {
 public:
  explicit LogSocket(const std::string &path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path);
    path.copy(address.sun_path, path.size());
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot bind " + path);
    stop_ = eventfd(0, EFD_CLOEXEC);
    reader_ = std::thread([this] { read_lines(); });
  }
  ~LogSocket() {
    const uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != sizeof one) std::abort();
    reader_.join();
    close(stop_);
    close(fd_);
  }
  LogSocket(const LogSocket &) = delete;
  LogSocket &operator=(const LogSocket &) = delete;

  std::vector<LogLine> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // The text of the first line holding `part` that comes within timeout_ms,
  // or empty.
  std::string wait_for(const std::string &part, int timeout_ms, size_t from = 0) const {
    for (const double deadline = host::now_ms() + timeout_ms; host::now_ms() < deadline; usleep(10000)) {
      const std::vector<LogLine> seen = lines();
      for (size_t i = from; i < seen.size(); ++i)
        if (seen[i].text.find(part) != std::string::npos) return seen[i].text;
    }
    return {};
  }

 private:
  void read_lines() {
    std::vector<char> datagram(65536);
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[0].revents & POLLIN) {
        const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back(parse_log_line(std::string(datagram.data(), static_cast<size_t>(n))));
        }
        continue;
      }
      if (p[1].revents & POLLIN) return;
    }
  }

  int fd_ = -1;
  int stop_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

// saned logs every request it receives at debug level 4 and up; request 7
// of SANE's net protocol is sane_start.
constexpr const char *kSanedStartLine = "process_request: got request 7";
constexpr const char *kSanedPortLine = "selected ephemeral port: ";
constexpr const char *kSanedConnectionEnd = "quit: exiting";

class Saned : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*SANED_PATH) GTEST_SKIP() << "skipped: saned (sane-utils) is not installed";
    if (!*SCANIMAGE_PATH) GTEST_SKIP() << "skipped: scanimage (sane-utils) is not installed";
    if (!*UNSHARE_PATH) GTEST_SKIP() << "skipped: unshare (util-linux) is not installed";
    if (!host::private_mounts_allowed())
      GTEST_SKIP() << "skipped: unshare --mount is refused here (a private /dev/log needs root)";
  }

  // `unshare` running the mount script before `command`.
  static std::vector<std::string> in_private_mounts(std::vector<std::string> mounts,
                                                    const std::vector<std::string> &command) {
    std::vector<std::string> argv{UNSHARE_PATH, "--mount", "--propagation", "private", PRIVATE_MOUNTS_SCRIPT};
    argv.insert(argv.end(), mounts.begin(), mounts.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
  }
};

struct ScanRow {
  const char *name;
  const char *source;
  bool batch;
  int pages;
};

// scanimage on SANE's net backend, saned on a port it picks serving the
// backend: a flatbed page and a feeder batch.
TEST_F(Saned, ScansThroughSanedKeepItsLogItsOwn) {
  const ScanRow rows[] = {
      {"flatbed page", "Flatbed", false, 1},
      {"feeder batch of 5 sheets", "ADF", true, 5},
  };
  for (const ScanRow &row : rows) {
    SCOPED_TRACE(row.name);
    const e2e::TempDir dir;
    escl_sim::Config cfg;
    cfg.adf_sheets = row.pages;
    const std::unique_ptr<escl_sim::Server> sim = host::start_simulator(cfg);

    // saned's side: its access list, the dll meta-backend naming the backend.
    const std::string server_dir = dir.file("server"), client_dir = dir.file("client");
    std::filesystem::create_directories(server_dir);
    std::filesystem::create_directories(client_dir);
    host::write_file(server_dir + "/saned.conf", "127.0.0.1\n");
    host::write_file(server_dir + "/dll.conf", "bbescl\n");
    host::write_backend_config(server_dir, sim->base_url());
    const LogSocket log(dir.file("log"));
    host::Environment saned_env = host::backend_environment(dir.file("state"));
    saned_env["SANE_CONFIG_DIR"] = server_dir;
    std::vector<std::string> saned_command{"/usr/bin/env"};
    for (const auto &[name, value] : host::sanitizer_environment()) saned_command.push_back(name + "=" + value);
    saned_command.insert(saned_command.end(), {SANED_PATH, "-l", "-b", "127.0.0.1", "-p", "0", "-d", "4"});
    host::Child saned(in_private_mounts({"--log", dir.file("log")}, saned_command), saned_env, dir.file("saned.out"),
                      dir.file("saned.err"));
    ASSERT_TRUE(saned.started());
    const std::string port_line = log.wait_for(kSanedPortLine, 10000);
    ASSERT_FALSE(port_line.empty()) << "saned did not say its port: " << e2e::read_file(dir.file("saned.err"));
    const std::string port = port_line.substr(port_line.find(kSanedPortLine) + std::strlen(kSanedPortLine));
    const size_t lines_before_scan = log.lines().size();

    // scanimage's side: the net backend finds saned's port by the service
    // name sane-port, so its /etc/services names the port saned picked.
    host::write_file(client_dir + "/dll.conf", "net\n");
    host::write_file(client_dir + "/net.conf", "connect_timeout = 5\n127.0.0.1\n");
    host::write_file(dir.file("services"), "sane-port " + port + "/tcp\n");
    std::vector<std::string> scan{SCANIMAGE_PATH, "-d", "net:127.0.0.1:bbescl:" + sim->base_url(), "--source",
                                  row.source, "--mode", "Gray"};
    scan.push_back(row.batch ? "--batch=" + dir.file("page%d.png") : "--output-file=" + dir.file("page1.png"));
    scan.insert(scan.end(), e2e::kSmallArea.begin(), e2e::kSmallArea.end());
    host::Child scanimage(in_private_mounts({"--services", dir.file("services")}, scan),
                          {{"SANE_CONFIG_DIR", client_dir}}, dir.file("scan.out"), dir.file("scan.err"));
    ASSERT_TRUE(scanimage.wait_for(120000)) << "scanimage still runs after 120 s";
    EXPECT_EQ(scanimage.exit_code(), 0) << e2e::read_file(dir.file("scan.err"));
    for (int page = 1; page <= row.pages; ++page) {
      const e2e::PngPage png = e2e::read_png(dir.file("page" + std::to_string(page) + ".png"), e2e::PageMode::kGray);
      EXPECT_EQ(png.error, "") << "page " << page;
      EXPECT_EQ(png.width, e2e::kPageWidth) << "page " << page;
      EXPECT_EQ(png.height, e2e::kPageHeight) << "page " << page;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("page" + std::to_string(row.pages + 1) + ".png")));
    EXPECT_EQ(sim->jobs_alive(), 0);

    // saned's process for the connection logs its end after sane_exit.
    EXPECT_NE(log.wait_for(kSanedConnectionEnd, 10000, lines_before_scan), "");
    const std::vector<LogLine> lines = log.lines();
    std::string not_saned, errors;
    int starts = 0;
    for (const LogLine &line : lines) {
      if (line.priority < 0 || line.tag != "saned" || !line.with_pid || (line.priority & LOG_FACMASK) != LOG_DAEMON)
        not_saned += line.raw;
      if (line.priority >= 0 && (line.priority & LOG_PRIMASK) <= LOG_ERR) errors += line.raw;
      if (line.text == kSanedStartLine) ++starts;
    }
    EXPECT_EQ(not_saned, "") << "lines not under saned's identity (saned[PID], daemon facility)";
    EXPECT_GE(starts, row.pages) << "saned's own lines for the client's sane_start requests are missing";
    EXPECT_EQ(errors, "") << "error-level lines in saned's log after a scan that succeeded";

    saned.stop();
    EXPECT_EQ(host::sanitizer_report(e2e::read_file(dir.file("saned.err"))), "");
  }
}

}  // namespace
