#include "support/BuildPaths.h"

namespace testsupport {

std::string BuildDir() { return VLMU_BUILD_DIR; }
std::string SourceDir() { return VLMU_SOURCE_DIR; }
std::string FlashBinary() { return BuildDir() + "/tools/flasher/vlmu-flash"; }

}  // namespace testsupport
