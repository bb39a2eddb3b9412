#pragma once
// A fresh directory under the system temporary directory, removed with its
// contents when the object goes out of scope.
#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return mPath; }
  std::string File(const std::string& name) const { return (mPath / name).string(); }

 private:
  std::filesystem::path mPath;
};

// Whole content of a file as bytes ("" when missing).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Content of a text file such as the diagnostic log, read in text mode: the
// line ends the system's text mode wrote ("\r\n" on Windows) read as "\n".
std::string ReadTextFile(const std::string& path);

}  // namespace testsupport
