// White-box test programs link the library's objects instead of loading the
// DLL, so no DllMain runs: the library's entry is called here instead, before
// the tests are registered and after they have run, as the loader would.
#include "api/LibraryEntry.h"

namespace {

struct LibraryLifetime {
  LibraryLifetime() {
    static const int loadTimeMarker = 0;
    LibraryEntry(platform::ThisModule(), kLibraryProcessAttach, &loadTimeMarker);
  }
  ~LibraryLifetime() { LibraryEntry(platform::ThisModule(), kLibraryProcessDetach, nullptr); }
};

__attribute__((init_priority(101))) LibraryLifetime gLibraryLifetime;

}  // namespace
