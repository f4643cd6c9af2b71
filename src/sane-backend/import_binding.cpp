#include "import_binding.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdint.h>

namespace bbescl {

namespace {

// Where the object lies in memory, and the part of it the loader made
// read-only once relocated (RELRO: with -z now, the GOT is there).
struct ObjectSpan {
  uintptr_t base = 0;
  uintptr_t dynamic = 0;
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  uintptr_t relro_lo = 0, relro_hi = 0;
  bool found = false;

  bool holds(uintptr_t p, size_t size) const { return p >= lo && p <= hi && hi - p >= size; }
  bool in_relro(uintptr_t p) const { return p >= relro_lo && p < relro_hi; }
};

// The object is told by its dynamic section's address: two objects never
// share it, while the base alone is 0 for the main program and a
// prelinked object alike.
int find_span(dl_phdr_info *info, size_t, void *data) {
  ObjectSpan &span = *static_cast<ObjectSpan *>(data);
  if (info->dlpi_addr != span.base) return 0;
  ObjectSpan found = span;
  bool is_it = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD) {
      if (start < found.lo) found.lo = start;
      if (start + ph.p_memsz > found.hi) found.hi = start + ph.p_memsz;
    } else if (ph.p_type == PT_GNU_RELRO) {
      // The loader makes read-only only the whole pages of the range: the
      // page its end falls in stays writable, and must stay so.
      const uintptr_t page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
      found.relro_lo = start & ~(page_size - 1);
      found.relro_hi = (start + ph.p_memsz) & ~(page_size - 1);
    } else if (ph.p_type == PT_DYNAMIC) {
      is_it = start == span.dynamic;
    }
  }
  if (!is_it) return 0;
  found.found = true;
  span = found;
  return 1;
}

// glibc relocates the dynamic section's addresses when it loads an
// object; other loaders leave them as link-time offsets.  Either way the
// result must lie inside the object.
uintptr_t address_in(const ObjectSpan &span, ElfW(Addr) value, size_t size) {
  if (span.holds(value, size)) return value;
  if (span.holds(span.base + value, size)) return span.base + value;
  return 0;
}

bool write_slot(const ObjectSpan &span, uintptr_t slot, void *target) {
  if (!span.in_relro(slot)) {
    __atomic_store_n(reinterpret_cast<uintptr_t *>(slot), reinterpret_cast<uintptr_t>(target), __ATOMIC_RELAXED);
    return true;
  }
  const uintptr_t page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  void *page = reinterpret_cast<void *>(slot & ~(page_size - 1));
  if (mprotect(page, page_size, PROT_READ | PROT_WRITE) != 0) return false;
  __atomic_store_n(reinterpret_cast<uintptr_t *>(slot), reinterpret_cast<uintptr_t>(target), __ATOMIC_RELAXED);
  // Read-only again, as the loader left it.
  mprotect(page, page_size, PROT_READ);
  return true;
}

}  // namespace

int bind_imports(void *handle, const ImportBinding *bindings, size_t count) {
#if defined(__x86_64__)
  link_map *map = nullptr;
  if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_ld) return -1;
  ObjectSpan span;
  span.base = map->l_addr;
  span.dynamic = reinterpret_cast<uintptr_t>(map->l_ld);
  dl_iterate_phdr(find_span, &span);
  if (!span.found) return -1;

  ElfW(Addr) symtab = 0, strtab = 0, jmprel = 0, rela = 0;
  size_t strsz = 0, pltrelsz = 0, relasz = 0, relaent = sizeof(ElfW(Rela));
  for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB: symtab = d->d_un.d_ptr; break;
      case DT_STRTAB: strtab = d->d_un.d_ptr; break;
      case DT_STRSZ: strsz = d->d_un.d_val; break;
      case DT_JMPREL: jmprel = d->d_un.d_ptr; break;
      case DT_PLTRELSZ: pltrelsz = d->d_un.d_val; break;
      case DT_RELA: rela = d->d_un.d_ptr; break;
      case DT_RELASZ: relasz = d->d_un.d_val; break;
      case DT_RELAENT: relaent = d->d_un.d_val; break;
      default: break;
    }
  }
  const uintptr_t symbols = address_in(span, symtab, sizeof(ElfW(Sym)));
  const uintptr_t names = address_in(span, strtab, strsz);
  if (!symbols || !names || relaent != sizeof(ElfW(Rela))) return -1;

  int written = 0;
  const struct {
    ElfW(Addr) at;
    size_t size;
  } tables[] = {{jmprel, pltrelsz}, {rela, relasz}};
  for (const auto &table : tables) {
    if (!table.at || table.size == 0) continue;
    const uintptr_t start = address_in(span, table.at, table.size);
    if (!start) return -1;
    const auto *r = reinterpret_cast<const ElfW(Rela) *>(start);
    for (size_t i = 0; i < table.size / sizeof(ElfW(Rela)); ++i) {
      const uint32_t type = ELF64_R_TYPE(r[i].r_info);
      if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
      const uintptr_t sym = symbols + ELF64_R_SYM(r[i].r_info) * sizeof(ElfW(Sym));
      if (!span.holds(sym, sizeof(ElfW(Sym)))) continue;
      const ElfW(Word) name_at = reinterpret_cast<const ElfW(Sym) *>(sym)->st_name;
      if (name_at >= strsz) continue;
      const char *name = reinterpret_cast<const char *>(names + name_at);
      const size_t room = strsz - name_at;
      for (size_t b = 0; b < count; ++b) {
        if (strnlen(name, room) == room || strcmp(name, bindings[b].name) != 0) continue;
        const uintptr_t slot = span.base + r[i].r_offset;
        if (!span.holds(slot, sizeof(void *))) break;
        if (write_slot(span, slot, bindings[b].target)) ++written;
        break;
      }
    }
  }
  return written;
#else
  (void)handle;
  (void)bindings;
  (void)count;
  return -1;
#endif
}

}  // namespace bbescl
