// bbescl.conf: one device URI a line; blank lines and lines starting with
// '#' are ignored.  The file is looked up in the SANE configuration
// directories, as every SANE backend does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bbescl {

inline constexpr const char *kConfigFileName = "bbescl.conf";

// The directories searched, in order.  SANE_CONFIG_DIR is a colon-separated
// list; when it is unset, or ends with a colon, the default directories
// follow it.  `config_dir_env` may be null.
std::vector<std::string> config_dirs(const char *config_dir_env,
                                     const std::vector<std::string> &defaults);

// The device URIs of the file's text.
std::vector<std::string> parse_device_uris(std::string_view text);

// Reads bbescl.conf from the first directory that has one; an empty list
// when none has.
std::vector<std::string> read_configured_uris(const std::vector<std::string> &dirs);

}  // namespace bbescl
