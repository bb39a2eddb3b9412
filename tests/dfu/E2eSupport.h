#pragma once
// Helpers of the end-to-end download tests: images, a log file switched on
// through the exported logging switch, polling the download to its end.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "VldImage.h"
#include "support/ServiceControl.h"
#include "support/TempDir.h"
#include "support/TraceEntry.h"
#include "vlmufwdl.h"

namespace dfue2e {

inline std::string MakeImage(size_t payloadSize, uint32_t seed = 1, uint16_t suffixProductId = 0x5678) {
  vlmutool::VldImageLayout spec;
  spec.version = 1;
  spec.date = "20261207";
  spec.time = "120000";
  spec.modelId = 0x00010203;
  spec.softwareVersion = 0x01020304;
  spec.hwId = 0x0A;
  spec.vendorId = 0x123456;
  spec.infoText = "Velmora test firmware";
  spec.payload.resize(payloadSize);
  uint32_t x = seed * 2654435761u + 1u;
  for (char& c : spec.payload) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  vlmutool::DfuSuffixFields suffix;
  suffix.idVendor = 0x1234;
  suffix.idProduct = suffixProductId;
  spec.suffix = suffix;
  return vlmutool::BuildVldImage(spec);
}

class ExportLog {
 public:
  ExportLog() : mPath(mDir.File("library.log")) { mEnabled = VLMUFWDL_EnableLogging(mPath.c_str()) == 0; }
  ~ExportLog() { VLMUFWDL_EnableLogging(nullptr); }
  ExportLog(const ExportLog&) = delete;
  ExportLog& operator=(const ExportLog&) = delete;
  bool Enabled() const { return mEnabled; }
  std::string Text() const { return testsupport::ReadFile(mPath); }
  bool Has(const std::string& m) const { return Text().find(m) != std::string::npos; }

 private:
  testsupport::TempDir mDir;
  std::string mPath;
  bool mEnabled = false;
};

struct Outcome {
  uint32_t status = 0;
  uint32_t bytes = 0;
  uint32_t total = 0;
  bool ended = false;
  double seconds = 0;
};

// Polls VLMUFWDL_GetDownloadStatus every 20 ms until it is no longer 36,
// at most limitMs; `during` runs on every poll that still sees 36.
template <typename Fn>
Outcome WaitForDownload(uint32_t limitMs, Fn&& during) {
  Outcome o;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    o.status = VLMUFWDL_GetDownloadStatus(&o.bytes, &o.total);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (o.status != VLMUFWDL_STATUS_DOWNLOAD_RUNNING) {
      o.ended = true;
      return o;
    }
    if (o.seconds * 1000.0 > limitMs) return o;
    during(o);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
inline Outcome WaitForDownload(uint32_t limitMs) {
  return WaitForDownload(limitMs, [](const Outcome&) {});
}

// Closes the device once the worker has ended (35 while it finishes).
inline uint32_t CloseWhenIdle(uint32_t limitMs = 30000) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const uint32_t st = VLMUFWDL_CloseDevice();
    if (st != VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS) return st;
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(limitMs)) return st;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Control requests and port cycles of a trace, as compact words:
// "GS" DFU_GETSTATUS, "CLR", "DET", "DN<block>:<length>", "SET", "GET", "CYC".
inline std::vector<std::string> RequestWords(const std::vector<testsupport::TraceEntry>& trace) {
  std::vector<std::string> words;
  for (const auto& e : trace) {
    if (e.op != "ioctl") continue;
    if (e.code == 0x80892018) {
      words.push_back("CYC");
    } else if (e.code == 0x80892014 && e.hasSetup) {
      switch (e.bRequest) {
        case 3:
          words.push_back("GS");
          break;
        case 4:
          words.push_back("CLR");
          break;
        case 0x80:
          words.push_back("DET");
          break;
        case 1:
          words.push_back("DN" + std::to_string(e.wValue) + ":" + std::to_string(e.wLength));
          break;
        case 0x83:
          words.push_back("SET");
          break;
        case 0x84:
          words.push_back("GET");
          break;
        default:
          words.push_back("REQ" + std::to_string(e.bRequest));
          break;
      }
    }
  }
  return words;
}

inline std::string Join(const std::vector<std::string>& words) {
  std::string s;
  for (const auto& w : words) {
    if (!s.empty()) s += ' ';
    s += w;
  }
  return s;
}

}  // namespace dfue2e
