#include "device_listing.h"

#include <chrono>
#include <map>

#include "avahi_browse.h"
#include "capabilities_probe.h"
#include "debug_log.h"
#include "kvchan.h"
#include "scanner_list.h"

namespace bbescl {

namespace {

void log_skipped(const discovery::ResolvedService &s, const std::string &why) {
  BBESCL_LOG(kLogInfo, "DNS-SD: %s at %s port %u not listed: %s", s.instance.c_str(), s.address.c_str(),
             static_cast<unsigned>(s.port), why.c_str());
}

// What configured devices said of themselves, kept for the process: a
// frontend lists devices again and again.
std::map<std::string, discovery::DeviceFacts> &known_facts() {
  static std::map<std::string, discovery::DeviceFacts> facts;
  return facts;
}

void learn_facts(discovery::ScannerEntry &entry, std::chrono::steady_clock::time_point deadline) {
  auto known = known_facts().find(entry.url);
  if (known == known_facts().end()) {
    const discovery::DeviceFacts facts = probe_device(entry.url, deadline);
    if (facts.make_and_model.empty()) {
      BBESCL_LOG(kLogInfo, "%s did not say its make and model in time", entry.url.c_str());
      return;
    }
    known = known_facts().emplace(entry.url, facts).first;
  }
  const discovery::DeviceFacts &facts = known->second;
  discovery::split_make_and_model(facts.make_and_model, entry.vendor, entry.model);
  entry.type = discovery::device_type(facts.input_sources);
  entry.uuid = facts.uuid;
}

}  // namespace

std::vector<discovery::ScannerEntry> list_scanners(const BackendConfig &config) {
  std::vector<discovery::ScannerEntry> list;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeMillis);
  // The probes are the channel library's, trusting https devices as the
  // process does: that is the configuration's setting, before any device
  // is opened too.
  if (!config.devices.empty()) kvchan_set_tls_verify(static_cast<int>(config.tls_verify));
  for (const ConfiguredDevice &device : config.devices) {
    discovery::ScannerEntry entry;
    entry.name = device.name;
    entry.url = device.uri;
    entry.endpoint = discovery::endpoint_of(device.uri);
    learn_facts(entry, deadline);
    discovery::add_scanner(list, std::move(entry));
  }
  if (!config.discovery) return list;

  const discovery::BrowseResult found = discovery::browse(config.discovery_millis);
  if (!found.daemon_running) {
    BBESCL_LOG(kLogInfo, "DNS-SD: no Avahi daemon answers; only configured devices are listed");
    return list;
  }
  for (const discovery::ResolvedService &service : found.services) {
    discovery::ScannerEntry entry;
    std::string why;
    if (!discovery::entry_from_service(service, entry, why)) {
      log_skipped(service, why);
      continue;
    }
    BBESCL_LOG(kLogDetail, "DNS-SD: %s at %s", entry.instance.c_str(), entry.url.c_str());
    discovery::add_scanner(list, std::move(entry));
  }
  return list;
}

std::string sane_name(const discovery::ScannerEntry &entry) {
  if (entry.instance.empty()) return entry.url;
  return std::string(kDnssdPrefix) + entry.instance;
}

std::string resolve_instance(std::string_view instance) {
  const discovery::BrowseResult found = discovery::browse(kResolveMillis, instance);
  if (!found.daemon_running) {
    BBESCL_LOG(kLogError, "DNS-SD: no Avahi daemon answers; cannot look %.*s up", static_cast<int>(instance.size()),
               instance.data());
    return {};
  }
  // The best way it is offered, as listing chose: TLS, then IPv4.
  std::vector<discovery::ScannerEntry> offers;
  for (const discovery::ResolvedService &service : found.services) {
    if (service.instance != instance) continue;
    discovery::ScannerEntry entry;
    std::string why;
    if (discovery::entry_from_service(service, entry, why)) discovery::add_scanner(offers, std::move(entry));
    else log_skipped(service, why);
  }
  if (!offers.empty()) return offers.front().url;
  BBESCL_LOG(kLogError, "DNS-SD: no eSCL scanner named %.*s answers", static_cast<int>(instance.size()),
             instance.data());
  return {};
}

}  // namespace bbescl
