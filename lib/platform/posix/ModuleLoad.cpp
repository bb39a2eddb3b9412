// How the shared object was loaded: "static" (load-time) against "dynamic"
// (run-time). The library counts as linked at load time when it belongs to the
// objects that the program needs at start-up, that is when it is the object
// that a DT_NEEDED entry of the program or, transitively, of another object
// the program needs resolves to (the first loaded object of that name);
// otherwise it was loaded on request with dlopen.
#include <link.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Module.h"

namespace {

struct LoadedObject {
  std::string name;                 // DT_SONAME, else the base name of the path
  std::vector<std::string> needed;  // DT_NEEDED entries
  bool isSelf = false;
};

struct Scan {
  uintptr_t self = 0;
  std::vector<LoadedObject> objects;  // the program comes first
};

std::string BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int CollectObject(dl_phdr_info* info, size_t, void* data) {
  Scan& scan = *static_cast<Scan*>(data);
  LoadedObject object;
  const ElfW(Dyn)* dynamic = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    const uintptr_t start = info->dlpi_addr + header.p_vaddr;
    if (header.p_type == PT_LOAD && scan.self >= start && scan.self < start + header.p_memsz) object.isSelf = true;
    if (header.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(start);
  }
  if (dynamic != nullptr) {
    uintptr_t strtab = 0;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
      if (d->d_tag == DT_STRTAB) strtab = d->d_un.d_ptr;
    }
    // The loader relocates these addresses in place on most systems; where it
    // does not, they are still relative to the load address.
    if (strtab != 0 && strtab < info->dlpi_addr) strtab += info->dlpi_addr;
    if (strtab != 0) {
      const char* strings = reinterpret_cast<const char*>(strtab);
      for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_NEEDED) object.needed.emplace_back(strings + d->d_un.d_val);
        if (d->d_tag == DT_SONAME) object.name = strings + d->d_un.d_val;
      }
    }
  }
  if (object.name.empty() && info->dlpi_name != nullptr) object.name = BaseName(info->dlpi_name);
  scan.objects.push_back(std::move(object));
  return 0;
}

}  // namespace

namespace platform {

bool LoadedWithProgram(ModuleInstance module) {
  Scan scan;
  scan.self = reinterpret_cast<uintptr_t>(module);
  dl_iterate_phdr(&CollectObject, &scan);
  if (scan.objects.empty()) return false;
  if (scan.objects.front().isSelf) return true;  // linked into the program itself

  // A DT_NEEDED entry names the first loaded object of that name: objects
  // loaded at start-up come first, so a later copy with the same name (loaded
  // with dlopen) is not the one the program needs.
  const auto firstNamed = [&scan](const std::string& name) -> size_t {
    for (size_t i = 0; i < scan.objects.size(); ++i) {
      if (scan.objects[i].name == name) return i;
    }
    return scan.objects.size();
  };
  std::vector<bool> atStartup(scan.objects.size(), false);
  std::vector<size_t> pending{0};
  atStartup[0] = true;
  while (!pending.empty()) {
    const size_t current = pending.back();
    pending.pop_back();
    for (const std::string& needed : scan.objects[current].needed) {
      const size_t index = firstNamed(needed);
      if (index < scan.objects.size() && !atStartup[index]) {
        atStartup[index] = true;
        pending.push_back(index);
      }
    }
  }
  for (size_t i = 0; i < scan.objects.size(); ++i) {
    if (scan.objects[i].isSelf) return atStartup[i];
  }
  return false;
}

}  // namespace platform
