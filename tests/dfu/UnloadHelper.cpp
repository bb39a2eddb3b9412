// Loads the library at run time, starts a download through its exports and
// unloads the library while the download runs. Exits 0 when everything up
// to and including the unload went through; the test that runs it checks
// that the process neither crashed nor hung.
//
//   dfu_unload_helper LIBRARY IMAGE LOGFILE [replug]
//
// With "replug" the unload comes 500 ms after the start, while the worker
// waits for the device to come back (no block has been sent).
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace {

template <typename Fn>
Fn Bind(void* lib, const char* name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

}  // namespace

int main(int argc, char** argv) {
  const bool duringReplug = argc == 5 && std::string(argv[4]) == "replug";
  if (argc != 4 && !duringReplug) {
    std::fprintf(stderr, "usage: dfu_unload_helper LIBRARY IMAGE LOGFILE [replug]\n");
    return 64;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 10;
  }
  using EnableLogging = uint32_t (*)(const char*);
  using Enumerate = uint32_t (*)(const char*, uint32_t*);
  using Open = uint32_t (*)(uint32_t);
  using Start = uint32_t (*)(const char*, uint32_t);
  using Status = uint32_t (*)(uint32_t*, uint32_t*);
  auto enumerate = Bind<Enumerate>(lib, "VLMUFWDL_EnumerateDevices");
  auto open = Bind<Open>(lib, "VLMUFWDL_OpenDevice");
  auto start = Bind<Start>(lib, "VLMUFWDL_StartDownload");
  auto status = Bind<Status>(lib, "VLMUFWDL_GetDownloadStatus");
  auto enableLogging = Bind<EnableLogging>(lib, "VLMUFWDL_EnableLogging");
  if (!enableLogging || !enumerate || !open || !start || !status) {
    std::fprintf(stderr, "missing export\n");
    return 11;
  }
  if (enableLogging(argv[3]) != 0) return 18;
  uint32_t count = 0;
  if (enumerate("{49F4A1FF-55DD-4d45-9743-7B623EFF0361}", &count) != 0 || count == 0) return 12;
  if (open(0) != 0) return 13;
  if (start(argv[2], 0) != 0) return 14;
  uint32_t bytes = 0, total = 0;
  if (duringReplug) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (status(&bytes, &total) != 36 || bytes != 0) return 15;
  } else {
    // Unload while blocks are being sent.
    for (int i = 0; i < 5000 && bytes == 0; ++i) {
      if (status(&bytes, &total) != 36) return 15;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (bytes == 0) return 16;
  }
  const auto t0 = std::chrono::steady_clock::now();
  if (dlclose(lib) != 0) return 17;
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("unloaded after %.1f ms with %u of %u bytes sent\n", ms, bytes, total);
  return 0;
}
