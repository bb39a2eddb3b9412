// Throughput of describing a firmware image (DFU suffix CRC over the whole
// file, header checks) next to the cost of simply reading the file and
// running zlib's crc32 over it. Both report bytes per second.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <system_error>

#include "VldImage.h"
#include "vlmufwdl.h"

namespace {

class ImageFiles {
 public:
  ImageFiles() {
    mDir = std::filesystem::temp_directory_path() / ("vlmu-image-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(mDir);
  }
  ~ImageFiles() {
    std::error_code ec;
    std::filesystem::remove_all(mDir, ec);
  }
  ImageFiles(const ImageFiles&) = delete;
  ImageFiles& operator=(const ImageFiles&) = delete;

  // A version-1 image with a DFU suffix of `size` bytes in all, made once.
  const std::string& Image(std::size_t size) {
    const std::string path = (mDir / ("image-" + std::to_string(size) + ".vld")).string();
    if (!std::filesystem::exists(path)) {
      vlmutool::VldImageLayout spec;
      spec.infoText = "Benchmark image";
      const std::size_t fixed = 112 + spec.infoText.size() + 16;
      spec.payload.resize(size - fixed);
      std::mt19937 rng(7);
      for (char& c : spec.payload) c = static_cast<char>(rng());
      spec.suffix = vlmutool::DfuSuffixFields{};
      const std::string bytes = vlmutool::BuildVldImage(spec);
      std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    mLast = path;
    return mLast;
  }

 private:
  std::filesystem::path mDir;
  std::string mLast;
};

ImageFiles& Files() {
  static ImageFiles files;
  return files;
}

void BM_GetVldFileInfo(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::string path = Files().Image(size);
  VLMUFWDL_VLD_FILE_INFO info;
  for (auto _ : state) {
    const uint32_t status = VLMUFWDL_GetVldFileInfo(path.c_str(), &info);
    if (status != 0) {
      state.SkipWithError("VLMUFWDL_GetVldFileInfo failed");
      break;
    }
    benchmark::DoNotOptimize(info);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// Baseline: open, read the whole file in 256 KiB pieces and run zlib's crc32.
void BM_ReadPlusZlibCrc32(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::string path = Files().Image(size);
  constexpr std::size_t kChunk = 256 * 1024;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
  for (auto _ : state) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      state.SkipWithError("cannot open the image");
      break;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    std::size_t n;
    while ((n = std::fread(buffer.get(), 1, kChunk, file)) > 0) {
      crc = crc32(crc, buffer.get(), static_cast<uInt>(n));
    }
    std::fclose(file);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

constexpr int64_t kOneMiB = 1 << 20;
constexpr int64_t kSixtyFourMiB = 64 << 20;

BENCHMARK(BM_GetVldFileInfo)->Arg(kOneMiB)->Arg(kSixtyFourMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlusZlibCrc32)->Arg(kOneMiB)->Arg(kSixtyFourMiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
