#include "FlashText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vlmuflash {

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Utf16ToUtf8(const uint16_t* text, size_t maxUnits) {
  std::string out;
  for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < maxUnits && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        const uint32_t low = text[i + 1];
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
      AppendUtf8(out, 0xFFFD);
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string FormatIds(uint16_t vendorId, uint16_t productId) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04u / %04u", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId));
  return buffer;
}

std::string FormatRate(double bytesPerSecond) {
  char buffer[32];
  if (!(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond)) return "-- B/s";
  if (bytesPerSecond >= 1e6) {
    std::snprintf(buffer, sizeof buffer, "%.2f MB/s", bytesPerSecond / 1e6);
  } else if (bytesPerSecond >= 1e3) {
    std::snprintf(buffer, sizeof buffer, "%.1f kB/s", bytesPerSecond / 1e3);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.0f B/s", bytesPerSecond);
  }
  return buffer;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds) || seconds > 359999.0) return "--:--";
  const auto total = static_cast<unsigned long>(std::ceil(seconds));
  const unsigned long h = total / 3600, m = (total / 60) % 60, s = total % 60;
  char buffer[32];
  if (h > 0) {
    std::snprintf(buffer, sizeof buffer, "%lu:%02lu:%02lu", h, m, s);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lu:%02lu", m, s);
  }
  return buffer;
}

unsigned Percent(const Progress& p) {
  if (p.total == 0) return 0;
  const uint64_t bytes = p.bytes > p.total ? p.total : p.bytes;
  return static_cast<unsigned>(bytes * 100u / p.total);
}

std::string ProgressBarLine(const Progress& p, unsigned barWidth) {
  const uint64_t bytes = p.bytes > p.total ? p.total : p.bytes;
  const unsigned filled = p.total == 0 ? 0u : static_cast<unsigned>(bytes * barWidth / p.total);
  std::string line = "[";
  line.append(filled, '#');
  line.append(barWidth - filled, '-');
  line += "]";

  const double rate = p.elapsedSeconds > 0 ? static_cast<double>(bytes) / p.elapsedSeconds : 0.0;
  std::string left = "--:--";
  if (bytes >= p.total && p.total != 0) {
    left = "0:00";
  } else if (rate > 0) {
    left = FormatDuration(static_cast<double>(p.total - bytes) / rate);
  }
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, " %10u / %u bytes %3u%%  %s  %s left", static_cast<unsigned>(bytes),
                static_cast<unsigned>(p.total), Percent(p), FormatRate(rate).c_str(), left.c_str());
  return line + buffer;
}

std::string ProgressPlainLine(const Progress& p) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%u / %u bytes (%u%%)", static_cast<unsigned>(p.bytes),
                static_cast<unsigned>(p.total), Percent(p));
  return buffer;
}

std::string StateLeft(bool started, uint32_t bytes, uint32_t total) {
  const std::string replug = "unplug it, plug it in again and ";
  if (!started) return "untouched: the download had not started";
  if (bytes == 0) return "nothing written; it may be left in DFU mode: " + replug + "upgrade it again";
  if (bytes < total)
    return "image partly written (" + std::to_string(bytes) + " of " + std::to_string(total) +
           " bytes); it is left in DFU mode without firmware: " + replug + "upgrade it again";
  return "image written, its manifestation not confirmed: " + replug + "check it with 'vlmu-flash list'";
}

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) {
      if (widths.size() <= c) widths.push_back(0);
      widths[c] = std::max(widths[c], row[c].size());
    }
  std::string out;
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      out += row[c];
      if (c + 1 < row.size()) out.append(widths[c] - row[c].size() + 2, ' ');
    }
    out += '\n';
  }
  return out;
}

int ExitStatusFor(uint32_t status) {
  if (status == 0) return 0;
  if (status <= 255) return static_cast<int>(status);
  return 255;
}

}  // namespace vlmuflash
