// The devices sane_get_devices lists: those of bbescl.conf first, then the
// eSCL scanners DNS-SD finds, one entry per scanner; and the device behind
// a discovered name, looked up afresh when it is opened.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config_file.h"
#include "scanner_entry.h"

namespace bbescl {

// SANE names of discovered devices: "dnssd:INSTANCE" (frontends see
// "bbescl:dnssd:INSTANCE"), which survives the device's address changing.
inline constexpr std::string_view kDnssdPrefix = "dnssd:";
// How long all configured devices together have to give their make and
// model while devices are listed.
inline constexpr int kProbeMillis = 1000;
// How long opening a discovered device waits for its instance to resolve.
inline constexpr int kResolveMillis = 5000;

std::vector<discovery::ScannerEntry> list_scanners(const BackendConfig &config);

// The SANE name of a listed entry.
std::string sane_name(const discovery::ScannerEntry &entry);

// The URL of DNS-SD instance `instance` now; empty when it is not found.
std::string resolve_instance(std::string_view instance);

}  // namespace bbescl
