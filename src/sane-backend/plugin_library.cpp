#include "plugin_library.h"

#include <dlfcn.h>
#include <stdlib.h>

#include "debug_log.h"
#include "import_binding.h"

namespace bbescl {

namespace {

// dlsym gives void*; the entry table holds typed function pointers.
template <typename Function>
bool resolve(void *handle, const char *name, Function &slot, std::string &error) {
  dlerror();
  void *symbol = dlsym(handle, name);
  if (!symbol) {
    const char *why = dlerror();
    error = std::string("missing ") + name + (why ? std::string(": ") + why : std::string());
    return false;
  }
  slot = reinterpret_cast<Function>(symbol);
  return true;
}

// The plug-in's and the channel library's syslog lines go through the
// backend's router; without it they would reach the host's log at every
// level, under whatever mask the host set.
void route_syslog(void *handle, const char *name) {
  const ImportBinding bindings[] = {
      {"syslog", reinterpret_cast<void *>(&routed_syslog)},
      {"vsyslog", reinterpret_cast<void *>(&routed_vsyslog)},
  };
  const int bound = bind_imports(handle, bindings, sizeof bindings / sizeof bindings[0]);
  if (bound < 0) BBESCL_LOG(kLogError, "cannot route the log lines of %s", name);
  else BBESCL_LOG(kLogDetail, "%d syslog import(s) of %s routed", bound, name);
}

void *open_global(const char *name, std::string &error) {
  void *handle = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    const char *why = dlerror();
    error = std::string("cannot load ") + name + ": " + (why ? why : "unknown reason");
  }
  return handle;
}

}  // namespace

bool PluginLibrary::load(std::string &error) {
  if (plugin_handle_) return true;
  channel_handle_ = open_global(kChannelLibrary, error);
  if (!channel_handle_) return false;
  math_handle_ = open_global(kMathLibrary, error);
  if (!math_handle_) {
    unload();
    return false;
  }
  if (!resolve(channel_handle_, "kvchan_open_device", channel_.open_device, error) ||
      !resolve(channel_handle_, "kvchan_close_device", channel_.close_device, error) ||
      !resolve(channel_handle_, "kvchan_set_tls_verify", channel_.set_tls_verify, error) ||
      !resolve(channel_handle_, "kvchan_key_refusal", channel_.key_refusal, error)) {
    unload();
    return false;
  }
  channel_.set_wake_fd = reinterpret_cast<int (*)(int, int)>(dlsym(channel_handle_, "kvchan_set_wake_fd"));

  const char *explicit_path = getenv(kPluginPathEnv);
  const char *plugin = (explicit_path && *explicit_path) ? explicit_path : BB_ESCL_SONAME;
  BBESCL_LOG(kLogInfo, "loading the plug-in %s", plugin);
  plugin_handle_ = dlopen(plugin, RTLD_NOW);
  if (!plugin_handle_) {
    const char *why = dlerror();
    error = std::string("cannot load the plug-in ") + plugin + ": " + (why ? why : "unknown reason");
    unload();
    return false;
  }

  route_syslog(channel_handle_, kChannelLibrary);
  route_syslog(plugin_handle_, plugin);

  bb_escl_entry_table &t = entries_;
  const bool all = resolve(plugin_handle_, "bb_open", t.open, error) &&
                   resolve(plugin_handle_, "bb_close", t.close, error) &&
                   resolve(plugin_handle_, "bb_get_parameters", t.get_parameters, error) &&
                   resolve(plugin_handle_, "bb_get_scanner_status", t.get_scanner_status, error) &&
                   resolve(plugin_handle_, "bb_get_adf_state", t.get_adf_state, error) &&
                   resolve(plugin_handle_, "bb_get_url", t.get_url, error) &&
                   resolve(plugin_handle_, "bb_get_ImagesToTransfer", t.get_ImagesToTransfer, error) &&
                   resolve(plugin_handle_, "bb_get_JobState", t.get_JobState, error) &&
                   resolve(plugin_handle_, "bb_check_scanner_to_continue",
                           t.check_scanner_to_continue, error) &&
                   resolve(plugin_handle_, "bb_post_scanjob", t.post_scanjob, error) &&
                   resolve(plugin_handle_, "bb_get_scanjob", t.get_scanjob, error) &&
                   resolve(plugin_handle_, "bb_start_scan", t.start_scan, error) &&
                   resolve(plugin_handle_, "bb_get_size", t.get_size, error) &&
                   resolve(plugin_handle_, "bb_get_image_data", t.get_image_data, error) &&
                   resolve(plugin_handle_, "bb_end_page", t.end_page, error) &&
                   resolve(plugin_handle_, "bb_end_scan", t.end_scan, error);
  if (!all) {
    error = std::string("the plug-in ") + plugin + " is incomplete: " + error;
    unload();
    return false;
  }
  return true;
}

void PluginLibrary::unload() {
  if (plugin_handle_) dlclose(plugin_handle_);
  if (math_handle_) dlclose(math_handle_);
  if (channel_handle_) dlclose(channel_handle_);
  plugin_handle_ = math_handle_ = channel_handle_ = nullptr;
  entries_ = {};
  channel_ = {};
}

}  // namespace bbescl
