#pragma once
// Text forms used by vlmu-flash: device lines, the progress bar, rates and
// durations. Pure functions, so they can be tested without a device.
#include <cstdint>
#include <string>
#include <vector>

#include "vlmufwdl.h"

namespace vlmuflash {

// UTF-16 text (NUL-terminated within maxUnits) as UTF-8; unpaired
// surrogates become U+FFFD.
std::string Utf16ToUtf8(const uint16_t* text, size_t maxUnits);

// The device list columns of the upgrade program: "%04u / %04u".
std::string FormatIds(uint16_t vendorId, uint16_t productId);

// "1.23 MB/s" style rate (decimal megabytes, kilobytes or bytes per second).
std::string FormatRate(double bytesPerSecond);

// "m:ss" (or "h:mm:ss") for a number of seconds, rounded up.
std::string FormatDuration(double seconds);

// Snapshot of a running download for display.
struct Progress {
  uint32_t bytes = 0;
  uint32_t total = 0;
  double elapsedSeconds = 0;
};

// Per cent of the image accepted by the device (0..100).
unsigned Percent(const Progress& p);

// One terminal line: "[#####-----]  40960 / 65536 bytes   62%  1.20 MB/s  0:01 left".
// `barWidth` characters between the brackets.
std::string ProgressBarLine(const Progress& p, unsigned barWidth);

// One plain line for logs and pipes: "40960 / 65536 bytes (62%)".
std::string ProgressPlainLine(const Progress& p);

// What an abandoned download left on the device, in words: nothing (not
// started), maybe DFU mode, part of the image, or all of it unconfirmed.
std::string StateLeft(bool started, uint32_t bytes, uint32_t total);

// Columns of text, each as wide as its widest cell, two blanks apart; the
// last column is not padded.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

// Process exit status for a library status: 0 stays 0, 1..255 as is, larger
// codes (driver-level codes passed through by the serial-number calls) 255,
// so that no failure can ever end as 0.
int ExitStatusFor(uint32_t status);

}  // namespace vlmuflash
