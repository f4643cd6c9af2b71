#include "scanner_entry.h"

#include <algorithm>
#include <cctype>

#include "kvchan.h"
#include "text.h"

namespace bbescl::discovery {

namespace {

// fe80::/10: reachable only through the interface it was seen on.
bool link_local(std::string_view address) {
  if (address.size() < 4) return false;
  const std::string head = lower(address.substr(0, 4));
  return head == "fe80" || head == "fe90" || head == "fea0" || head == "feb0";
}

std::string host_port(std::string_view host, uint16_t port) {
  const bool v6 = host.find(':') != std::string_view::npos;
  std::string out = lower(host);
  if (v6) out.insert(0, 1, '[').push_back(']');
  return out.append(":").append(std::to_string(port));
}

}  // namespace

std::string_view txt_value(const std::vector<std::string> &txt, std::string_view key) {
  for (const std::string &item : txt) {
    const std::string_view entry(item);
    const size_t equals = entry.find('=');
    if (same_text(entry.substr(0, equals), key))
      return equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
  }
  return {};
}

std::string device_url(std::string_view address, std::string_view interface, uint16_t port,
                       std::string_view root, bool tls) {
  std::string url = tls ? "https://" : "http://";
  if (address.find(':') != std::string_view::npos) {
    url.append("[").append(address);
    if (link_local(address) && !interface.empty()) url.append("%25").append(interface);
    url.append("]");
  } else {
    url.append(address);
  }
  url.append(":").append(std::to_string(port)).append("/").append(root);
  return url;
}

void split_make_and_model(std::string_view make_and_model, std::string &vendor, std::string &model) {
  make_and_model = trim(make_and_model);
  const size_t space = make_and_model.find(' ');
  if (space == std::string_view::npos) {
    vendor = "eSCL";
    model = std::string(make_and_model);
    return;
  }
  vendor = std::string(make_and_model.substr(0, space));
  model = std::string(trim(make_and_model.substr(space + 1)));
}

std::string device_type(std::string_view input_sources) {
  bool platen = false;
  bool feeder = false;
  while (!input_sources.empty()) {
    const size_t comma = input_sources.find(',');
    const std::string_view source = trim(input_sources.substr(0, comma));
    if (same_text(source, "platen")) platen = true;
    if (same_text(source, "adf") || same_text(source, "feeder")) feeder = true;
    if (comma == std::string_view::npos) break;
    input_sources.remove_prefix(comma + 1);
  }
  if (platen && feeder) return "multi-function peripheral";
  if (feeder) return "sheetfed scanner";
  return "flatbed scanner";
}

bool entry_from_service(const ResolvedService &service, ScannerEntry &entry, std::string &why_not) {
  std::string_view root = trim(txt_value(service.txt, "rs"));
  while (!root.empty() && root.front() == '/') root.remove_prefix(1);
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  if (!root.empty() && root != "eSCL") {
    why_not = "its eSCL root is /" + std::string(root) + ", not /eSCL";
    return false;
  }
  if (service.port == 0 || service.address.empty()) {
    why_not = "no address or port";
    return false;
  }
  entry = {};
  entry.instance = service.instance;
  entry.url = device_url(service.address, service.interface, service.port, "eSCL", service.tls);
  entry.endpoint = endpoint_of(entry.url);
  entry.ipv6 = service.address.find(':') != std::string::npos;
  entry.tls = service.tls;

  const std::string_view usb_make = trim(txt_value(service.txt, "usb_MFG"));
  const std::string_view usb_model = trim(txt_value(service.txt, "usb_MDL"));
  const std::string_view ty = trim(txt_value(service.txt, "ty"));
  if (!usb_make.empty() && !usb_model.empty()) {
    entry.vendor = usb_make;
    entry.model = usb_model;
  } else if (!ty.empty()) {
    split_make_and_model(ty, entry.vendor, entry.model);
    // "ty" repeats the maker's name that usb_MFG gives on its own.
    if (!usb_make.empty() && ty.size() > usb_make.size() && same_text(ty.substr(0, usb_make.size()), usb_make) &&
        ty[usb_make.size()] == ' ') {
      entry.vendor = usb_make;
      entry.model = std::string(trim(ty.substr(usb_make.size())));
    }
  } else {
    entry.vendor = "eSCL";
    entry.model = service.instance;
  }
  entry.type = device_type(txt_value(service.txt, "is"));

  std::string_view uuid = trim(txt_value(service.txt, "UUID"));
  if (uuid.size() > 9 && same_text(uuid.substr(0, 9), "urn:uuid:")) uuid.remove_prefix(9);
  entry.uuid = lower(uuid);
  return true;
}

std::string endpoint_of(std::string_view url) {
  // Room for any host a URI may name (a DNS name is at most 253 bytes).
  char host[512] = {};
  int port = 0;
  if (kvchan_parse_uri(std::string(url).c_str(), host, sizeof host, &port, nullptr) != KVCHAN_OK) return {};
  return host_port(host, static_cast<uint16_t>(port));
}

}  // namespace bbescl::discovery
