/* A program outside the project that uses the installed library the way a
 * third party would: the public header and the library found through
 * pkg-config or find_package. */
#include <stdio.h>

#include <vlmufwdl.h>

int main(int argc, char** argv) {
  const uint32_t version = VLMUFWDL_GetApiVersion();
  if (version != VLMUFWDL_API_VERSION) {
    fprintf(stderr, "API version 0x%08X, expected 0x%08X\n", (unsigned)version, (unsigned)VLMUFWDL_API_VERSION);
    return 1;
  }
  /* A call that takes the global lock and reaches the image reader. */
  VLMUFWDL_VLD_FILE_INFO info;
  const uint32_t status = VLMUFWDL_GetVldFileInfo(argc > 1 ? argv[1] : "/nonexistent/image.vld", &info);
  if (status != VLMUFWDL_STATUS_FILE_OPEN_FAILED) {
    fprintf(stderr, "VLMUFWDL_GetVldFileInfo of a missing file returned %u\n", (unsigned)status);
    return 1;
  }
  printf("consumer: API version %u.%u\n", (unsigned)VLMUFWDL_API_VERSION_MAJOR(version),
         (unsigned)VLMUFWDL_API_VERSION_MINOR(version));
  return 0;
}
