#include "support/TempDir.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>

namespace testsupport {

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    std::ostringstream name;
    name << "vlmu-test-" << std::hex << rd() << rd();
    mPath = std::filesystem::temp_directory_path() / name.str();
    std::error_code ec;
    if (std::filesystem::create_directory(mPath, ec)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(mPath, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testsupport
