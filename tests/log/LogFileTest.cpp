#include "log/LogFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/CaseName.h"
#include "support/TempDir.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using ::testing::ElementsAre;
using testsupport::ReadFile;
using testsupport::ReadTextFile;
using testsupport::TempDir;
using testsupport::WriteFile;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

struct Diagnostic {
  uint32_t type;
  uint32_t destinationMask;
  std::string text;
  bool operator==(const Diagnostic&) const = default;
};

void PrintTo(const Diagnostic& d, std::ostream* os) {
  *os << "{" << d.type << ", " << d.destinationMask << ", \"" << d.text << "\"}";
}

// Records what LogFile reports about itself.
class RecordingDiagnostics final : public LogFileDiagnostics {
 public:
  void LogFileDiagnosticV(uint32_t type, uint32_t destinationMask, const char* format, va_list args) override {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    entries.push_back({type, destinationMask, text});
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Diagnostic& d : entries) texts.push_back(d.text);
    return texts;
  }
  std::vector<Diagnostic> entries;
};

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() : file(&diagnostics) { file.SetOwnDestinationMask(1); }
  std::string Log() const { return dir.File("trace.log"); }
  std::string Bak() const { return dir.File("trace.bak"); }

  TempDir dir;
  RecordingDiagnostics diagnostics;
  LogFile file;
};

TEST_F(LogFileTest, OpenAppendsAndWritesLinesVerbatim) {
  WriteFile(Log(), "earlier\n");
  ASSERT_TRUE(file.Open(Log().c_str(), 1000, false));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(std::string(file.Path()), Log());
  EXPECT_EQ(file.MaxSize(), 1000u);
  EXPECT_FALSE(file.CheckSizeAfterEachEntry());
  ASSERT_TRUE(file.WriteEntry("100% %s %d %n done\n"));
  ASSERT_TRUE(file.WriteEntry("no line end, "));
  ASSERT_TRUE(file.WriteEntry("continued\n"));
  // Flushed at once: visible before the file is closed.
  EXPECT_EQ(ReadTextFile(Log()), "earlier\n100% %s %d %n done\nno line end, continued\n");
  EXPECT_THAT(diagnostics.Texts(), ElementsAre("Open log file \"" + Log() + "\" ...\n"));
  EXPECT_EQ(diagnostics.entries[0].type, static_cast<uint32_t>(LOG_INFO));
}

TEST_F(LogFileTest, CloseForgetsSettingsAndReportsNothingOpen) {
  ASSERT_TRUE(file.Open(Log().c_str(), 1000, true));
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_STREQ(file.Path(), "");
  EXPECT_EQ(file.MaxSize(), 0u);
  EXPECT_FALSE(file.CheckSizeAfterEachEntry());
  EXPECT_TRUE(file.Close());
  EXPECT_THAT(diagnostics.Texts(),
              ElementsAre("Open log file \"" + Log() + "\" ...\n", "Close: closing log file \"" + Log() + "\" ...\n",
                          "Close: no open log file to close.\n"));
}

TEST_F(LogFileTest, WriteWithoutOpenFileFailsWithAcuteAccentMessage) {
  EXPECT_FALSE(file.WriteEntry("lost\n"));
  ASSERT_EQ(diagnostics.entries.size(), 1u);
  EXPECT_EQ(diagnostics.entries[0],
            (Diagnostic{LOG_ERROR, 1, "WriteEntry: couldn\xB4t write log file because there is no open file\n"}));
}

TEST_F(LogFileTest, OpenInMissingDirectoryFails) {
  const std::string path = dir.File("missing/trace.log");
  EXPECT_FALSE(file.Open(path.c_str(), 1000, false));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_THAT(diagnostics.Texts(), ElementsAre("Open log file \"" + path + "\" ...\n",
                                               "Open log file: couldn\xB4t open the log file \"" + path + "\".\n"));
  EXPECT_EQ(diagnostics.entries[1].type, static_cast<uint32_t>(LOG_ERROR));
}

TEST_F(LogFileTest, OverlongPathIsRefusedNotCut) {
  const std::string path = dir.path().string() + "/" + std::string(300, 'x') + ".log";
  EXPECT_FALSE(file.Open(path.c_str(), 1000, false));
  EXPECT_FALSE(file.IsOpen());
  ASSERT_EQ(diagnostics.entries.size(), 1u);
  EXPECT_EQ(diagnostics.entries[0].type, static_cast<uint32_t>(LOG_ERROR));
}

TEST_F(LogFileTest, OpenRotatesOversizedFileFirst) {
  WriteFile(Log(), "0123456789A");  // 11 bytes
  WriteFile(Bak(), "older backup");
  ASSERT_TRUE(file.Open(Log().c_str(), 10, false));
  EXPECT_EQ(ReadTextFile(Bak()), "0123456789A");
  EXPECT_EQ(ReadTextFile(Log()), "");
  EXPECT_THAT(diagnostics.Texts(), ElementsAre("BackupIfRequired: deleting old backup file \"" + Bak() + "\" ...\n",
                                               "BackupIfRequired: creating new backup file \"" + Bak() + "\" ...\n",
                                               "Open log file \"" + Log() + "\" ...\n"));
}

struct SizeCase {
  const char* name;
  size_t size;
  uint32_t maxSize;
  bool rotated;
};

class LogFileSizeTest : public LogFileTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(LogFileSizeTest, RotatesOnlyBeyondTheMaximum) {
  const SizeCase& c = GetParam();
  const std::string content(c.size, 'x');
  WriteFile(Log(), content);
  ASSERT_TRUE(file.Open(Log().c_str(), c.maxSize, false));
  EXPECT_EQ(Exists(Bak()), c.rotated);
  EXPECT_EQ(ReadTextFile(Log()), c.rotated ? "" : content);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogFileSizeTest,
                         ::testing::Values(SizeCase{"exactly_max", 100, 100, false},
                                           SizeCase{"one_more", 101, 100, true}, SizeCase{"below", 99, 100, false},
                                           SizeCase{"empty_with_max_zero", 0, 0, false},
                                           SizeCase{"one_byte_with_max_zero", 1, 0, true},
                                           SizeCase{"largest_max", 10, 0xFFFFFFFFu, false}),
                         [](const ::testing::TestParamInfo<SizeCase>& p) { return std::string(p.param.name); });

TEST_F(LogFileTest, MaxZeroWithCheckKeepsOnlyLatestEntryInBackup) {
  ASSERT_TRUE(file.Open(Log().c_str(), 0, true));
  for (const char* line : {"first\n", "second\n", "third\n"}) {
    ASSERT_TRUE(file.WriteEntry(line));
    EXPECT_EQ(ReadTextFile(Log()), "");
    EXPECT_EQ(ReadTextFile(Bak()), line);
  }
  EXPECT_TRUE(file.IsOpen());
}

TEST_F(LogFileTest, WithoutCheckTheFileGrowsUntilNextOpen) {
  ASSERT_TRUE(file.Open(Log().c_str(), 10, false));
  ASSERT_TRUE(file.WriteEntry("0123456789\n"));
  ASSERT_TRUE(file.WriteEntry("0123456789\n"));
  EXPECT_EQ(ReadTextFile(Log()).size(), 22u);
  EXPECT_FALSE(Exists(Bak()));
  ASSERT_TRUE(file.Open(Log().c_str(), 10, false));
  EXPECT_EQ(ReadTextFile(Bak()).size(), 22u);
  EXPECT_EQ(ReadTextFile(Log()), "");
}

// Captures what is written to stderr while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& file) : mFile(file) {
    std::fflush(stderr);
    mSaved = ::dup(2);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() { Stop(); }
  std::string Stop() {
    if (mSaved >= 0) {
      std::fflush(stderr);
      ::dup2(mSaved, 2);
      ::close(mSaved);
      mSaved = -1;
    }
    return ReadTextFile(mFile);  // stderr is a text stream
  }

 private:
  std::string mFile;
  int mSaved = -1;
};

TEST_F(LogFileTest, FailedRotationIsToldOnStderrAndLoggingGoesOnInTheLiveFile) {
  // Both ways a rotation fails: an old backup that cannot be deleted, and a
  // backup name that is a directory.
  for (const bool directory : {false, true}) {
    SCOPED_TRACE(directory ? "backup is a directory" : "backup is write-protected");
    ::chmod(Bak().c_str(), 0644);
    std::filesystem::remove_all(Bak());
    std::filesystem::remove(Log());
    if (directory) {
      ASSERT_TRUE(std::filesystem::create_directory(Bak()));
      ASSERT_TRUE(std::filesystem::create_directory(Bak() + "/inside"));
    } else {
      WriteFile(Bak(), "protected");
      ASSERT_EQ(::chmod(Bak().c_str(), 0444), 0);
    }
    LogFile log(&diagnostics);
    log.SetOwnDestinationMask(1);
    ASSERT_TRUE(log.Open(Log().c_str(), 5, true));
    diagnostics.entries.clear();
    StderrCapture err(dir.File("stderr.txt"));

    EXPECT_FALSE(log.WriteEntry("first entry\n")) << "the rotation failed";
    EXPECT_TRUE(log.IsOpen()) << "the live file is open again";
    EXPECT_THAT(
        diagnostics.Texts(),
        ElementsAre("BackupIfRequired: closing current log file ...\n",
                    "BackupIfRequired: deleting old backup file \"" + Bak() + "\" ...\n",
                    "BackupIfRequired: old backup file couldn\xB4t be deleted\n",
                    "WriteEntry: BackupIfRequired failed after writing entry \"first entry\n\" in the log file\n"));
    EXPECT_FALSE(log.WriteEntry("second entry\n"));
    const std::string told = err.Stop();
    EXPECT_EQ(told, "velmora_dfu: warning: log file \"" + Log() + "\" cannot be rotated to \"" + Bak() +
                        "\"; logging goes on in it\n")
        << "told once";
    EXPECT_EQ(ReadTextFile(Log()), "first entry\nsecond entry\n");
    if (!directory) {
      EXPECT_EQ(ReadTextFile(Bak()), "protected");
    }
  }
  ::chmod(Bak().c_str(), 0644);
}

TEST_F(LogFileTest, BackupNameThatIsADirectoryFailsOpen) {
  WriteFile(Log(), "0123456789");
  ASSERT_TRUE(std::filesystem::create_directory(Bak()));
  EXPECT_FALSE(file.Open(Log().c_str(), 5, false));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(diagnostics.Texts().back(), "Open log file: BackupIfRequired failed\n");
  EXPECT_EQ(ReadTextFile(Log()), "0123456789");
}

TEST_F(LogFileTest, DiagnosticsCarryTheOwnDestinationMask) {
  file.SetOwnDestinationMask(5);
  ASSERT_TRUE(file.Open(Log().c_str(), 1000, false));
  ASSERT_TRUE(file.Close());
  ASSERT_FALSE(diagnostics.entries.empty());
  for (const Diagnostic& d : diagnostics.entries) EXPECT_EQ(d.destinationMask, 5u) << d.text;
}

struct NameCase {
  const char* path;
  const char* backup;
};

TEST(LogFileBackupName, ReplacesOrAddsTheExtension) {
  const NameCase cases[] = {
      {"/tmp/trace.log", "/tmp/trace.bak"},
      {"/tmp/trace", "/tmp/trace.bak"},
      {"/tmp/dir.d/trace", "/tmp/dir.d/trace.bak"},
      {"/tmp/a.b.c", "/tmp/a.b.bak"},
      {"trace.txt", "trace.bak"},
      {"/tmp/trace.", "/tmp/trace.bak"},
  };
  for (const NameCase& c : cases) {
    char out[300];
    ASSERT_TRUE(LogFile::BackupName(c.path, out, sizeof out)) << c.path;
    EXPECT_STREQ(out, c.backup) << c.path;
  }
  char small[8];
  EXPECT_FALSE(LogFile::BackupName("/tmp/trace.log", small, sizeof small));
  char cfg[64];
  ASSERT_TRUE(LogFile::ReplaceExtension("/opt/lib/libvelmora_dfu_x64.so", "cfg", cfg, sizeof cfg));
  EXPECT_STREQ(cfg, "/opt/lib/libvelmora_dfu_x64.cfg");
}

}  // namespace
