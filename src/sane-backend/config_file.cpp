#include "config_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "debug_log.h"
#include "text.h"

namespace bbescl {

namespace {

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

namespace {

// `"NAME" = URI`: the name between the first two quotes, the URI after '='.
bool parse_named(std::string_view line, ConfiguredDevice &device) {
  const size_t close = line.find('"', 1);
  if (close == std::string_view::npos) return false;
  std::string_view rest = trim(line.substr(close + 1));
  if (rest.empty() || rest.front() != '=') return false;
  device.name = std::string(trim(line.substr(1, close - 1)));
  device.uri = std::string(trim(rest.substr(1)));
  return !device.name.empty() && !device.uri.empty();
}

bool parse_switch(std::string_view value, bool &on) {
  if (value == "on" || value == "yes" || value == "true") on = true;
  else if (value == "off" || value == "no" || value == "false") on = false;
  else return false;
  return true;
}

bool parse_millis(std::string_view value, int &millis) {
  if (value.empty() || value.size() > 6) return false;
  int n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  millis = std::min(n, kLongestDiscoveryMillis);
  return true;
}

bool parse_seconds(std::string_view value, int &seconds) {
  if (value.empty() || value.size() > 6) return false;
  int n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  seconds = std::min(n, kLongestBusyTimeoutSeconds);
  return true;
}

bool parse_tls_verify(std::string_view value, TlsVerify &mode) {
  if (value == "pin") mode = TlsVerify::kPin;
  else if (value == "system") mode = TlsVerify::kSystem;
  else if (value == "off") mode = TlsVerify::kOff;
  else return false;
  return true;
}

void parse_line(std::string_view line, BackendConfig &config) {
  if (line.front() == '"') {
    ConfiguredDevice device;
    if (parse_named(line, device)) config.devices.push_back(std::move(device));
    else BBESCL_LOG(kLogError, "%s: unreadable named device: %.*s", kConfigFileName,
                    static_cast<int>(line.size()), line.data());
    return;
  }
  // A URI may carry '=' in its query: anything with a scheme first is one.
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos || line.find("://") < equals) {
    config.devices.push_back({{}, std::string(line)});
    return;
  }
  const std::string_view key = trim(line.substr(0, equals));
  const std::string_view value = trim(line.substr(equals + 1));
  bool known = true;
  bool good = false;
  if (key == "discovery") good = parse_switch(value, config.discovery);
  else if (key == "discovery-timeout") good = parse_millis(value, config.discovery_millis);
  else if (key == "tls-verify") good = parse_tls_verify(value, config.tls_verify);
  else if (key == "busy-timeout") good = parse_seconds(value, config.busy_timeout_seconds);
  else known = false;
  if (!known || !good)
    BBESCL_LOG(kLogError, "%s: %s setting ignored: %.*s", kConfigFileName, known ? "bad" : "unknown",
               static_cast<int>(line.size()), line.data());
}

}  // namespace

BackendConfig parse_config(std::string_view text) {
  BackendConfig config;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    if (!line.empty() && line.front() != '#') parse_line(line, config);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return config;
}

BackendConfig read_config(const std::vector<std::string> &dirs) {
  for (const std::string &dir : dirs) {
    const std::string path = dir + "/" + kConfigFileName;
    std::ifstream file(path);
    if (!file) continue;
    std::ostringstream text;
    text << file.rdbuf();
    BackendConfig config = parse_config(text.str());
    BBESCL_LOG(kLogInfo, "read %zu device(s) from %s, discovery %s", config.devices.size(), path.c_str(),
               config.discovery ? "on" : "off");
    return config;
  }
  BBESCL_LOG(kLogInfo, "no %s in the configuration directories", kConfigFileName);
  return {};
}

}  // namespace bbescl
