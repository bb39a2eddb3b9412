/* upgrade.c: upgrades the device with a given serial number through the
 * library's exports, the smallest complete caller. Error handling is brief
 * but never reports a failure as success.
 *
 *   cc -o upgrade upgrade.c $(pkg-config --cflags --libs velmora_dfu)
 *   ./upgrade firmware.vld SN0001
 */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <vlmufwdl.h>

/* The serial number of a device record as 8-bit text (ASCII serials). */
static void SerialText(const VLMUFWDL_DEVICE_INFO* info, char* out, size_t size) {
  size_t i = 0;
  for (; i + 1 < size && info->SerialNumber[i] != 0; ++i) out[i] = (char)(info->SerialNumber[i] & 0x7F);
  out[i] = '\0';
}

static int Fail(const char* step, uint32_t status) {
  fprintf(stderr, "%s: %s (status %u)\n", step, VLMUFWDL_StatusText(status), (unsigned)status);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s IMAGE.vld SERIAL\n", argv[0]);
    return 2;
  }
  const uint32_t version = VLMUFWDL_GetApiVersion();
  if (VLMUFWDL_API_VERSION_MAJOR(version) != 1 || VLMUFWDL_API_VERSION_MINOR(version) < 1) {
    fprintf(stderr, "unsupported library API version 0x%08X\n", (unsigned)version);
    return 1;
  }
  VLMUFWDL_VLD_FILE_INFO image;
  uint32_t status = VLMUFWDL_GetVldFileInfo(argv[1], &image);
  if (status != 0) return Fail("VLMUFWDL_GetVldFileInfo", status);

  /* Find the device by its serial number, never by its position alone. */
  uint32_t count = 0, index = 0, found = 0;
  status = VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count);
  if (status != 0) return Fail("VLMUFWDL_EnumerateDevices", status);
  VLMUFWDL_DEVICE_INFO info, chosen;
  char serial[VLMUFWDL_SERIAL_NUMBER_CHARS];
  for (uint32_t i = 0; i < count; ++i) {
    if (VLMUFWDL_GetDeviceInfo(i, &info) != 0) continue;
    SerialText(&info, serial, sizeof serial);
    if (strcmp(serial, argv[2]) == 0) {
      index = i;
      chosen = info;
      ++found;
    }
  }
  if (found != 1) {
    fprintf(stderr, found == 0 ? "no device with serial number %s\n" : "serial number %s is not unique\n", argv[2]);
    return 1;
  }

  /* Open it and check that the device opened is the one chosen. */
  status = VLMUFWDL_OpenDevice(index);
  if (status != 0) {
    VLMUFWDL_CloseDevice();
    return Fail("VLMUFWDL_OpenDevice", status);
  }
  if (VLMUFWDL_GetDeviceInfo(index, &info) != 0 || memcmp(&info, &chosen, sizeof info) != 0) {
    VLMUFWDL_CloseDevice();
    fprintf(stderr, "the device changed before it was opened; nothing was written\n");
    return 1;
  }
  status = VLMUFWDL_StartDownload(argv[1], 0);
  if (status != 0) {
    VLMUFWDL_CloseDevice();
    return Fail("VLMUFWDL_StartDownload", status);
  }

  /* The download runs on the library's worker: poll until it ends. */
  uint32_t done = 0, total = 0;
  const struct timespec period = {0, 200 * 1000 * 1000};
  while ((status = VLMUFWDL_GetDownloadStatus(&done, &total)) == VLMUFWDL_STATUS_DOWNLOAD_RUNNING) {
    printf("\r%u / %u bytes", (unsigned)done, (unsigned)total);
    fflush(stdout);
    nanosleep(&period, NULL);
  }
  printf("\n");
  /* The worker may need a moment after its final status; close waits for it. */
  while (VLMUFWDL_CloseDevice() == VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS) nanosleep(&period, NULL);
  if (status != 0) return Fail("download", status);
  printf("%s upgraded: %u bytes\n", argv[2], (unsigned)total);
  return 0;
}
