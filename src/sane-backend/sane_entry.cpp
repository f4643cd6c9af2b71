// The SANE entry points.  SANE's dll meta-backend looks them up as
// sane_bbescl_*; the plain sane_* names are aliases for a frontend linked
// to the backend directly.
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include <sane/sane.h>

#include "config_file.h"
#include "debug_log.h"
#include "device.h"
#include "device_request.h"
#include "device_listing.h"

#ifndef BBESCL_SYSCONF_DIR
#define BBESCL_SYSCONF_DIR "/etc/sane.d"
#endif

using bbescl::Device;

namespace {

constexpr const char *kBackendName = "bbescl";
constexpr SANE_Int kBuildVersion = 1;

// What sane_get_devices hands out stays valid until the next call.
struct DeviceList {
  std::vector<bbescl::discovery::ScannerEntry> entries;
  std::vector<std::string> names;
  std::vector<SANE_Device> devices;
  std::vector<const SANE_Device *> pointers;
};
DeviceList *g_device_list = nullptr;
std::vector<Device *> *g_open_devices = nullptr;

bbescl::BackendConfig backend_config() {
  std::vector<std::string> defaults{BBESCL_SYSCONF_DIR, "/etc/sane.d"};
  return bbescl::read_config(bbescl::config_dirs(getenv("SANE_CONFIG_DIR"), defaults));
}

// What frontends show of a configured device nothing more is known of:
// its name if it has one, else its host and port.
void name_configured(bbescl::discovery::ScannerEntry &entry) {
  if (!entry.name.empty()) entry.model = entry.name;
  if (entry.vendor.empty()) entry.vendor = "eSCL";
  if (entry.model.empty()) entry.model = std::string(bbescl::authority_of(entry.url));
  if (entry.type.empty()) entry.type = "network scanner";
}

Device *device_of(SANE_Handle handle) { return static_cast<Device *>(handle); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) SANE_Status sane_bbescl_init(SANE_Int *version_code,
                                                                    SANE_Auth_Callback) {
  bbescl::log_init();
  BBESCL_LOG(bbescl::kLogInfo, "sane_init: backend %s %d.%d.%d", kBackendName, SANE_CURRENT_MAJOR, 0,
             kBuildVersion);
  if (version_code) *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, kBuildVersion);
  try {
    if (!g_open_devices) g_open_devices = new std::vector<Device *>;
  } catch (const std::bad_alloc &) {
    return SANE_STATUS_NO_MEM;
  }
  return SANE_STATUS_GOOD;
}

__attribute__((visibility("default"))) void sane_bbescl_exit(void) {
  if (g_open_devices) {
    for (Device *d : *g_open_devices) delete d;
    delete g_open_devices;
    g_open_devices = nullptr;
  }
  delete g_device_list;
  g_device_list = nullptr;
  bbescl::log_exit();
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_get_devices(const SANE_Device ***device_list,
                                                                           SANE_Bool) {
  try {
    auto list = std::make_unique<DeviceList>();
    list->entries = bbescl::list_scanners(backend_config());
    for (bbescl::discovery::ScannerEntry &e : list->entries) {
      if (e.instance.empty()) name_configured(e);
      list->names.push_back(bbescl::sane_name(e));
    }
    for (size_t i = 0; i < list->entries.size(); ++i) {
      const bbescl::discovery::ScannerEntry &e = list->entries[i];
      list->devices.push_back({list->names[i].c_str(), e.vendor.c_str(), e.model.c_str(), e.type.c_str()});
    }
    for (const SANE_Device &d : list->devices) list->pointers.push_back(&d);
    list->pointers.push_back(nullptr);
    delete g_device_list;
    g_device_list = list.release();
    *device_list = g_device_list->pointers.data();
    return SANE_STATUS_GOOD;
  } catch (const std::bad_alloc &) {
    return SANE_STATUS_NO_MEM;
  }
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_open(SANE_String_Const name, SANE_Handle *handle) {
  try {
    if (!g_open_devices) g_open_devices = new std::vector<Device *>;
    const bbescl::BackendConfig config = backend_config();
    std::string uri = name ? name : "";
    // Names reach us without the "bbescl:" that the dll meta-backend adds,
    // but a frontend linked directly may pass it.
    const std::string prefix = std::string(kBackendName) + ":";
    if (uri.compare(0, prefix.size(), prefix) == 0) uri.erase(0, prefix.size());
    if (uri.empty()) {
      // The first configured device, else the first one found.
      if (!config.devices.empty()) {
        uri = config.devices.front().uri;
      } else {
        const std::vector<bbescl::discovery::ScannerEntry> found = bbescl::list_scanners(config);
        if (found.empty()) {
          BBESCL_LOG(bbescl::kLogError, "no device named, none in %s and none found", bbescl::kConfigFileName);
          return SANE_STATUS_INVAL;
        }
        uri = found.front().url;
      }
    } else if (uri.compare(0, bbescl::kDnssdPrefix.size(), bbescl::kDnssdPrefix) == 0) {
      // Looked up afresh: the device may have moved since it was listed.
      uri = bbescl::resolve_instance(std::string_view(uri).substr(bbescl::kDnssdPrefix.size()));
      if (uri.empty()) return SANE_STATUS_INVAL;
    }
    std::unique_ptr<Device> device;
    const SANE_Status status = Device::open(uri, config.tls_verify, config.busy_timeout_seconds, device);
    if (status != SANE_STATUS_GOOD) return status;
    g_open_devices->push_back(device.get());
    *handle = device.release();
    return SANE_STATUS_GOOD;
  } catch (const std::bad_alloc &) {
    return SANE_STATUS_NO_MEM;
  }
}

__attribute__((visibility("default"))) void sane_bbescl_close(SANE_Handle handle) {
  Device *device = device_of(handle);
  if (g_open_devices) std::erase(*g_open_devices, device);
  delete device;
}

__attribute__((visibility("default"))) const SANE_Option_Descriptor *sane_bbescl_get_option_descriptor(
    SANE_Handle handle, SANE_Int option) {
  return device_of(handle)->option_descriptor(option);
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_control_option(SANE_Handle handle, SANE_Int option,
                                                                              SANE_Action action, void *value,
                                                                              SANE_Int *info) {
  return device_of(handle)->control_option(option, action, value, info);
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_get_parameters(SANE_Handle handle,
                                                                              SANE_Parameters *params) {
  if (!params) return SANE_STATUS_INVAL;
  return device_of(handle)->parameters(params);
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_start(SANE_Handle handle) {
  try {
    return device_of(handle)->start();
  } catch (const std::bad_alloc &) {
    return SANE_STATUS_NO_MEM;
  }
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_read(SANE_Handle handle, SANE_Byte *data,
                                                                    SANE_Int max_length, SANE_Int *length) {
  if (!length) return SANE_STATUS_INVAL;
  try {
    return device_of(handle)->read(data, max_length, length);
  } catch (const std::bad_alloc &) {
    *length = 0;
    return SANE_STATUS_NO_MEM;
  }
}

__attribute__((visibility("default"))) void sane_bbescl_cancel(SANE_Handle handle) {
  device_of(handle)->cancel();
}

// Once a scan has started, reads may return at once with nothing, and the
// select descriptor is readable exactly when a read has data or an end.
__attribute__((visibility("default"))) SANE_Status sane_bbescl_set_io_mode(SANE_Handle handle,
                                                                           SANE_Bool non_blocking) {
  return device_of(handle)->set_io_mode(non_blocking == SANE_TRUE);
}

__attribute__((visibility("default"))) SANE_Status sane_bbescl_get_select_fd(SANE_Handle handle, SANE_Int *fd) {
  if (!fd) return SANE_STATUS_INVAL;
  return device_of(handle)->select_fd(fd);
}

__attribute__((visibility("default"))) SANE_String_Const sane_bbescl_strstatus(SANE_Status status) {
  return bbescl::status_text(status);
}

#define BBESCL_ALIAS(name) __attribute__((visibility("default"), alias("sane_bbescl_" #name)))
SANE_Status sane_init(SANE_Int *, SANE_Auth_Callback) BBESCL_ALIAS(init);
void sane_exit(void) BBESCL_ALIAS(exit);
SANE_Status sane_get_devices(const SANE_Device ***, SANE_Bool) BBESCL_ALIAS(get_devices);
SANE_Status sane_open(SANE_String_Const, SANE_Handle *) BBESCL_ALIAS(open);
void sane_close(SANE_Handle) BBESCL_ALIAS(close);
const SANE_Option_Descriptor *sane_get_option_descriptor(SANE_Handle, SANE_Int) BBESCL_ALIAS(get_option_descriptor);
SANE_Status sane_control_option(SANE_Handle, SANE_Int, SANE_Action, void *, SANE_Int *) BBESCL_ALIAS(control_option);
SANE_Status sane_get_parameters(SANE_Handle, SANE_Parameters *) BBESCL_ALIAS(get_parameters);
SANE_Status sane_start(SANE_Handle) BBESCL_ALIAS(start);
SANE_Status sane_read(SANE_Handle, SANE_Byte *, SANE_Int, SANE_Int *) BBESCL_ALIAS(read);
void sane_cancel(SANE_Handle) BBESCL_ALIAS(cancel);
SANE_Status sane_set_io_mode(SANE_Handle, SANE_Bool) BBESCL_ALIAS(set_io_mode);
SANE_Status sane_get_select_fd(SANE_Handle, SANE_Int *) BBESCL_ALIAS(get_select_fd);
SANE_String_Const sane_strstatus(SANE_Status) BBESCL_ALIAS(strstatus);

}  // extern "C"
