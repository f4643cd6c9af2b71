#include "known_devices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "tcp_socket.h"

namespace kvchan {
namespace {

constexpr const char *kRelative = "bbescl/known-devices";

// Creates every missing folder of the file's path, private to the user.
bool make_parents(const std::string &path, std::string &error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      error = folder + ": " + error_text(errno);
      return false;
    }
  }
  return true;
}

std::string today() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  return text;
}

}  // namespace

std::string known_devices_path() {
  const char *state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/" + kRelative;
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/' && std::string_view(home) != "/")
    return std::string(home) + "/.local/state/" + kRelative;
  return std::string("/var/lib/") + kRelative;
}

std::string device_key_name(const DeviceAddress &address) {
  std::string host = address.host;
  // Host names and addresses compare without case; an interface name (an
  // IPv6 zone) does not, and is written "%25zone" as in the URI.
  const size_t zone = host.find('%');
  for (size_t i = 0; i < std::min(zone, host.size()); ++i)
    host[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(host[i])));
  if (zone != std::string::npos) host.insert(zone + 1, "25");
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "https://" + host + ":" + std::to_string(address.port) + "/";
}

KeyCheck check_device_key(const std::string &path, const std::string &uri,
                          const std::string &fingerprint, std::string &remembered,
                          std::string &error) {
  if (FILE *file = std::fopen(path.c_str(), "re")) {
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
      std::string_view text(line);
      const size_t space = text.find(' ');
      if (space == std::string_view::npos || text.substr(0, space) != uri) continue;
      std::string_view rest = text.substr(space + 1);
      remembered.assign(rest.substr(0, rest.find_first_of(" \n")));
      std::fclose(file);
      return remembered == fingerprint ? KeyCheck::known : KeyCheck::changed;
    }
    std::fclose(file);
  } else if (errno != ENOENT) {
    error = path + ": " + error_text(errno);
    return KeyCheck::failed;
  }
  if (!make_parents(path, error)) return KeyCheck::failed;
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = path + ": " + error_text(errno);
    return KeyCheck::failed;
  }
  // One write: lines of processes remembering at once do not mix.
  const std::string entry = uri + " " + fingerprint + " " + today() + "\n";
  const bool written = write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
  if (!written) error = path + ": " + error_text(errno);
  close(fd);
  return written ? KeyCheck::first_use : KeyCheck::failed;
}

}  // namespace kvchan
