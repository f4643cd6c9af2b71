// Binds a loaded object's imports of a function to another function, by
// writing the GOT slots its relocations name.
//
// The plug-in and the channel library log through the process's syslog();
// the backend routes those lines itself (debug_log.h) instead of changing
// the host's log mask, identity or facility.  The objects are left as
// they were built: only their own slots change, so nothing else in the
// process is affected.
#pragma once

#include <stddef.h>

namespace bbescl {

struct ImportBinding {
  const char *name;  // the imported symbol, as the object's dynamic symbol table spells it
  void *target;      // what its calls reach from now on
};

// Rewrites every PLT and GOT slot of the object behind `handle` (from
// dlopen) that imports one of `bindings`; the number of slots written, or
// -1 when the object's dynamic tables cannot be read (or on a machine
// whose relocations this does not know).
int bind_imports(void *handle, const ImportBinding *bindings, size_t count);

}  // namespace bbescl
