// The file-system contract of the platform layer, built for both systems
// (also into the Wine platform tests).
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(FileSystem, AttributesOfFileDirectoryAndMissingPath) {
  TempDir dir;
  const std::string file = dir.File("a.log");
  WriteFile(file, "12345");
  platform::FileAttributes attributes;
  ASSERT_TRUE(platform::QueryFileAttributes(file.c_str(), attributes));
  EXPECT_EQ(attributes.size, 5u);
  EXPECT_FALSE(attributes.isDirectory);
  EXPECT_FALSE(attributes.readOnly);

  ASSERT_TRUE(platform::QueryFileAttributes(dir.path().string().c_str(), attributes));
  EXPECT_TRUE(attributes.isDirectory);

  EXPECT_FALSE(platform::QueryFileAttributes(dir.File("missing").c_str(), attributes));
  EXPECT_FALSE(platform::QueryFileAttributes(nullptr, attributes));
  EXPECT_TRUE(platform::FileExists(file.c_str()));
  EXPECT_FALSE(platform::FileExists(dir.File("missing").c_str()));
}

TEST(FileSystem, DeleteHonoursReadOnlyAndRefusesDirectories) {
  TempDir dir;
  const std::string file = dir.File("ro.bak");
  WriteFile(file, "x");
  // Without write permission: the read-only attribute on Windows.
  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  platform::FileAttributes attributes;
  ASSERT_TRUE(platform::QueryFileAttributes(file.c_str(), attributes));
  EXPECT_TRUE(attributes.readOnly);
  EXPECT_FALSE(platform::RemoveFile(file.c_str()));
  EXPECT_TRUE(platform::FileExists(file.c_str()));

  fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(platform::RemoveFile(file.c_str()));
  EXPECT_FALSE(platform::FileExists(file.c_str()));

  const std::string sub = dir.File("sub");
  ASSERT_TRUE(fs::create_directory(sub));
  EXPECT_FALSE(platform::RemoveFile(sub.c_str()));
  EXPECT_FALSE(platform::RemoveFile(dir.File("missing").c_str()));
}

TEST(FileSystem, RenameDoesNotReplaceAnExistingFile) {
  TempDir dir;
  const std::string from = dir.File("trace.log");
  const std::string to = dir.File("trace.bak");
  WriteFile(from, "new");
  WriteFile(to, "old");
  EXPECT_FALSE(platform::RenameFile(from.c_str(), to.c_str()));
  EXPECT_EQ(ReadFile(to), "old");
  EXPECT_EQ(ReadFile(from), "new");

  ASSERT_TRUE(platform::RemoveFile(to.c_str()));
  EXPECT_TRUE(platform::RenameFile(from.c_str(), to.c_str()));
  EXPECT_EQ(ReadFile(to), "new");
  EXPECT_FALSE(platform::FileExists(from.c_str()));
  EXPECT_FALSE(platform::RenameFile(from.c_str(), to.c_str()));
}

TEST(FileSystem, FirstByteTest) {
  TempDir dir;
  const std::string empty = dir.File("empty.cfg");
  const std::string full = dir.File("full.cfg");
  WriteFile(empty, "");
  WriteFile(full, "\n");
  EXPECT_EQ(platform::ReadFirstByte(empty.c_str()), platform::FirstByte::Empty);
  EXPECT_EQ(platform::ReadFirstByte(full.c_str()), platform::FirstByte::Readable);
  EXPECT_EQ(platform::ReadFirstByte(dir.File("missing").c_str()), platform::FirstByte::CannotOpen);
  EXPECT_EQ(platform::ReadFirstByte(dir.path().string().c_str()), platform::FirstByte::CannotOpen);
}

}  // namespace
