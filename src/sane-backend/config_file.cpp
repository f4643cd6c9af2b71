#include "config_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "debug_log.h"

namespace bbescl {

namespace {

std::string_view trim(std::string_view s) {
  const char *blanks = " \t\r\n\f\v";
  const size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

void add_unique(std::vector<std::string> &dirs, std::string_view dir) {
  if (dir.empty()) return;
  if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.emplace_back(dir);
}

}  // namespace

std::vector<std::string> config_dirs(const char *config_dir_env,
                                     const std::vector<std::string> &defaults) {
  std::vector<std::string> dirs;
  bool append_defaults = true;
  if (config_dir_env && *config_dir_env) {
    std::string_view list(config_dir_env);
    append_defaults = list.back() == ':';
    while (!list.empty()) {
      const size_t colon = list.find(':');
      add_unique(dirs, list.substr(0, colon));
      if (colon == std::string_view::npos) break;
      list.remove_prefix(colon + 1);
    }
  }
  if (append_defaults)
    for (const std::string &dir : defaults) add_unique(dirs, dir);
  return dirs;
}

std::vector<std::string> parse_device_uris(std::string_view text) {
  std::vector<std::string> uris;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    if (!line.empty() && line.front() != '#') uris.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return uris;
}

std::vector<std::string> read_configured_uris(const std::vector<std::string> &dirs) {
  for (const std::string &dir : dirs) {
    const std::string path = dir + "/" + kConfigFileName;
    std::ifstream file(path);
    if (!file) continue;
    std::ostringstream text;
    text << file.rdbuf();
    std::vector<std::string> uris = parse_device_uris(text.str());
    BBESCL_LOG(kLogInfo, "read %zu device(s) from %s", uris.size(), path.c_str());
    return uris;
  }
  BBESCL_LOG(kLogInfo, "no %s in the configuration directories", kConfigFileName);
  return {};
}

}  // namespace bbescl
