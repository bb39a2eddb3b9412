#include "platform/Module.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

namespace {
// Any function of this module names the module's mapping for dladdr.
void ModuleAnchor() {}
}  // namespace

ModuleInstance ThisModule() { return reinterpret_cast<const void*>(&ModuleAnchor); }

uint32_t ErrorNameTooLong() { return ENAMETOOLONG; }

uint32_t ModuleFilePath(ModuleInstance module, std::string& path) {
  path.clear();
  Dl_info info{};
  link_map* map = nullptr;
  if (module == nullptr || dladdr1(module, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    return ENOENT;
  }
  if (map->l_prev == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') {
    // The main program: the loader knows it only by its start-up name.
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return errno != 0 ? static_cast<uint32_t>(errno) : ENOENT;
    path.assign(buffer, static_cast<size_t>(length));
    return 0;
  }
  if (map->l_name[0] == '/') {
    path = map->l_name;
    return 0;
  }
  char resolved[PATH_MAX];
  if (realpath(map->l_name, resolved) == nullptr) return static_cast<uint32_t>(errno);
  path = resolved;
  return 0;
}

}  // namespace platform

namespace platform {

namespace {
std::atomic<bool> gThreadNotificationsDisabled{false};
}  // namespace

void DisableThreadNotifications(ModuleInstance) {
  // The Linux loader calls no entry point when threads start or end.
  gThreadNotificationsDisabled = true;
}

bool ThreadNotificationsDisabled() { return gThreadNotificationsDisabled; }

}  // namespace platform
