// White-box tests of the firmware image reader: every way an image can be
// malformed, the exact ERROR entry, the status, and that the reader is left
// closed and empty after a failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <grp.h>
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/LogLines.h"
#include "image/RecordExpectations.h"
#include "image/TestImages.h"
#include "image/VldFile.h"
#include "log/DiagnosticLog.h"
#include "support/CaseName.h"
#include "support/TempDir.h"

using testimages::Build;
using testimages::Params;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class VldFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mLogPath = mDir.File("image.log");
    ASSERT_TRUE(TheDiagnosticLog().SetLogFile(mLogPath.c_str(), 5000000, false));
  }
  void TearDown() override { TheDiagnosticLog().StopLogFile(); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = mDir.File(name);
    testsupport::WriteFile(path, bytes);
    return path;
  }
  std::vector<std::string> Entries() const { return testlog::Entries(mLogPath); }
  std::vector<std::string> Errors() const { return testlog::OfType(Entries(), "ERROR"); }
  std::vector<std::string> Warnings() const { return testlog::OfType(Entries(), "WARNING"); }

  static void ExpectClosedAndEmpty(VldFile& reader) {
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.FileSize(), 0u);
    EXPECT_EQ(reader.Version(), 0u);
    EXPECT_TRUE(reader.Path().empty());
    EXPECT_TRUE(reader.InfoText().empty());
  }

  testsupport::TempDir mDir;
  std::string mLogPath;
};

// ---------------------------------------------------------------------------
// Malformed images

struct BadImage {
  const char* name;
  std::function<std::string()> bytes;
  uint32_t status;
  const char* error;  // the ERROR entry; {path} stands for the file's path
};

std::string Truncated(uint32_t version, std::size_t size) {
  Params p;
  p.version = version;
  p.info = "An info text of some length";
  return Build(p).substr(0, size);
}

std::string WithHeaderWord(uint32_t version, std::size_t offset, uint32_t value) {
  Params p;
  p.version = version;
  std::string image = Build(p);
  testimages::SetLe32(image, offset, value);
  testimages::FixHeaderCrc(image);
  return image;
}

// A file of exactly 16 bytes that is nothing but a DFU suffix.
std::string BareSuffix(bool goodCrc) {
  std::string image;
  testimages::AppendSuffix(image);
  if (!goodCrc) image[12] = static_cast<char>(image[12] ^ 0x40);
  return image;
}

const char kCommonFailed[] = "reading common file header from file '{path}' failed";
const char kV0Failed[] = "reading V0-specific file header from file '{path}' failed";
const char kV1Failed[] = "reading V1-specific file header from file '{path}' failed";
const char kInfoFailed[] = "reading info text of file '{path}' failed";
const char kSuffixCrc[] = "VldFile::Open: File '{path}' is corrupt. Calculated DFU CRC is wrong.";
const char kHeaderCrc[] = "Unexpected CRC header value in file '{path}'";

const BadImage kBadImages[] = {
    {"Empty", [] { return Truncated(1, 0); }, 4, kCommonFailed},
    {"Truncated15", [] { return Truncated(1, 15); }, 4, kCommonFailed},
    {"Truncated16", [] { return Truncated(1, 16); }, 4, kCommonFailed},
    {"Truncated47", [] { return Truncated(1, 47); }, 4, kCommonFailed},
    {"V0Truncated48", [] { return Truncated(0, 48); }, 4, kV0Failed},
    {"V1Truncated48", [] { return Truncated(1, 48); }, 4, kV1Failed},
    {"V0Truncated95", [] { return Truncated(0, 95); }, 4, kV0Failed},
    {"V1Truncated95", [] { return Truncated(1, 95); }, 4, kV1Failed},
    {"V1Truncated111", [] { return Truncated(1, 111); }, 4, kV1Failed},
    {"V0Truncated111InsideInfoText", [] { return Truncated(0, 111); }, 4, kInfoFailed},
    {"V1TruncatedInsideInfoText", [] { return Truncated(1, 112 + 5); }, 4, kInfoFailed},
    {"V1SectionOffsetInsideHeader", [] { return WithHeaderWord(1, 80, 100); }, 5,
     "File '{path}' is corrupt: section offset 100 lies inside the header of 112 bytes."},
    {"V0SectionOffsetInsideHeader", [] { return WithHeaderWord(0, 48, 50); }, 5,
     "File '{path}' is corrupt: section offset 50 lies inside the header of 96 bytes."},
    {"V0SectionOffsetOne", [] { return WithHeaderWord(0, 64, 1); }, 5,
     "File '{path}' is corrupt: section offset 1 lies inside the header of 96 bytes."},
    {"SectionOffsetBeyondEnd", [] { return WithHeaderWord(1, 80, 112 + 21 + 200 + 1); }, 4, kInfoFailed},
    {"SectionOffsetHuge", [] { return WithHeaderWord(1, 80, 0xFFFFFFF0u); }, 4, kInfoFailed},
    {"UnknownIdentifier",
     [] {
       Params p;
       p.identifier = "VLMD";
       return Build(p);
     },
     5, "unknown file identifier for file '{path}' found."},
    {"V1FileVersion2",
     [] {
       Params p;
       p.fileVersion = 2;
       return Build(p);
     },
     5, "file '{path}': expected file version = 1, found version = 2"},
    {"V1FileVersion0",
     [] {
       Params p;
       p.fileVersion = 0;
       return Build(p);
     },
     5, "file '{path}': expected file version = 1, found version = 0"},
    {"V0HeaderCrcWrong",
     [] {
       Params p;
       p.version = 0;
       std::string image = Build(p);
       image[44] = static_cast<char>(image[44] ^ 1);
       return image;
     },
     6, kHeaderCrc},
    {"V1HeaderCrcWrong",
     [] {
       std::string image = Build(Params{});
       image[47] = static_cast<char>(image[47] ^ 0x80);
       return image;
     },
     6, kHeaderCrc},
    {"V0UnusedHeaderByteChanged",  // the CRC covers all 96 bytes, used or not
     [] {
       Params p;
       p.version = 0;
       std::string image = Build(p);
       image[95] = static_cast<char>(image[95] ^ 1);
       return image;
     },
     6, kHeaderCrc},
    {"V1ByteAt100Changed",  // inside a version-1 header, outside a version-0 one
     [] {
       std::string image = Build(Params{});
       image[100] = static_cast<char>(image[100] ^ 1);
       return image;
     },
     6, kHeaderCrc},
    {"SuffixCrcWrong",
     [] {
       Params p;
       p.suffix = true;
       std::string image = Build(p);
       image[image.size() - 1] = static_cast<char>(image.back() ^ 0x01);
       return image;
     },
     48, kSuffixCrc},
    {"SuffixCrcCoversDeviceRelease",
     [] {
       Params p;
       p.suffix = true;
       std::string image = Build(p);
       image[image.size() - 16] = static_cast<char>(image[image.size() - 16] ^ 0x01);
       return image;
     },
     48, kSuffixCrc},
    {"SuffixCrcCoversLength",
     [] {
       Params p;
       p.suffix = true;
       std::string image = Build(p);
       image[image.size() - 5] = 17;
       return image;
     },
     48, kSuffixCrc},
    {"SuffixCrcCoversPayload",
     [] {
       Params p;
       p.suffix = true;
       std::string image = Build(p);
       image[150] = static_cast<char>(image[150] ^ 0x10);
       return image;
     },
     48, kSuffixCrc},
    {"SuffixCheckedBeforeHeader",
     [] {
       Params p;
       p.suffix = true;
       std::string image = Build(p);
       image[44] = static_cast<char>(image[44] ^ 1);  // breaks both CRCs
       return image;
     },
     48, kSuffixCrc},
    {"SuffixOnlyFileGoodCrc", [] { return BareSuffix(true); }, 4, kCommonFailed},
    {"SuffixOnlyFileBadCrc", [] { return BareSuffix(false); }, 48, kSuffixCrc},
};

class BadImageTest : public VldFileTest, public ::testing::WithParamInterface<BadImage> {};

TEST_P(BadImageTest, IsRejectedWithItsStatusAndEntryAndLeavesTheReaderClosed) {
  const BadImage& c = GetParam();
  const std::string path = Write(std::string(c.name) + ".vld", c.bytes());
  {
    VldFile reader;
    EXPECT_EQ(reader.Open(path.c_str()), c.status);
    ExpectClosedAndEmpty(reader);
    EXPECT_THAT(Errors(), ElementsAre(ReplaceAll(c.error, "{path}", path)));

    VLMUFWDL_VLD_FILE_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    EXPECT_EQ(reader.GetFileInfo(&info), 1u);
    const VLMUFWDL_VLD_FILE_INFO zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
    char buffer[16];
    uint32_t got = 99;
    EXPECT_EQ(reader.Read(buffer, sizeof buffer, got), 1u);

    // The same reader opens a good image afterwards.
    const std::string good = Write("good.vld", Build(Params{}));
    EXPECT_EQ(reader.Open(good.c_str()), 0u);
    EXPECT_TRUE(reader.IsOpen());
  }
}

INSTANTIATE_TEST_SUITE_P(Images, BadImageTest, ::testing::ValuesIn(kBadImages),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// Good images

TEST_F(VldFileTest, Version1ImageIsDescribedField_by_field) {
  Params p;
  p.suffix = true;
  const std::string bytes = Build(p);
  const std::string path = Write("v1.vld", bytes);
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_TRUE(reader.IsOpen());
  EXPECT_EQ(reader.Version(), 1u);
  EXPECT_EQ(reader.FileSize(), bytes.size());
  EXPECT_EQ(reader.Path(), path);

  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0xCC, sizeof info);
  ASSERT_EQ(reader.GetFileInfo(&info), 0u);
  testimages::ExpectRecordOf(p, info);

  const auto entries = Entries();
  EXPECT_THAT(testlog::OfType(entries, "INFO"), Contains("VldFile::Open: DFU suffix found."));
  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_THAT(Warnings(), IsEmpty());
}

TEST_F(VldFileTest, Version0ImageWithAnyFileVersionIsAccepted) {
  Params p;
  p.version = 0;
  p.fileVersion = 0xDEADBEEF;  // not read in a version-0 image
  const std::string path = Write("v0.vld", Build(p));
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.Version(), 0u);
  EXPECT_EQ(reader.InfoText(), "Velmora test firmware");
  EXPECT_THAT(testlog::OfType(Entries(), "INFO"), Contains("VldFile::Open: no DFU suffix found."));
}

TEST_F(VldFileTest, Version0HeaderCrcDoesNotCoverTheInfoText) {
  Params p;
  p.version = 0;
  std::string image = Build(p);
  image[100] = 'X';  // inside the info text of a version-0 image
  const std::string path = Write("v0.vld", image);
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.InfoText(), "VelmXra test firmware");
}

TEST_F(VldFileTest, SignatureBytesChangedMeansNoSuffixAndNoCrcCheck) {
  Params p;
  p.suffix = true;
  std::string image = Build(p);
  image[image.size() - 1] = static_cast<char>(image.back() ^ 0x01);  // wrong dwCRC
  image[image.size() - 8] = 'X';                                     // "UFD" -> "XFD"
  const std::string path = Write("nosuffix.vld", image);
  VldFile reader;
  EXPECT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_THAT(testlog::OfType(Entries(), "INFO"), Contains("VldFile::Open: no DFU suffix found."));
  EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(VldFileTest, HeaderCrcMatchesZlibOverTheWholeHeader) {
  for (const uint32_t version : {0u, 1u}) {
    Params p;
    p.version = version;
    std::string image = Build(p);
    const uint32_t length = version == 0 ? 96 : 112;
    std::string header = image.substr(0, length);
    testimages::SetLe32(header, 44, 0);
    EXPECT_EQ(testimages::Le32(image, 44), testimages::ZlibCrc(header.data(), length));
    const std::string path = Write("zlib.vld", image);
    VldFile reader;
    EXPECT_EQ(reader.Open(path.c_str()), 0u) << "version " << version;
  }
}

struct OffsetCase {
  const char* name;
  uint32_t version;
  std::optional<uint32_t> o48, o64, o80;
  std::size_t expectedLength;
};

class InfoTextLengthTest : public VldFileTest, public ::testing::WithParamInterface<OffsetCase> {};

TEST_P(InfoTextLengthTest, ComesFromTheFirstSectionOffset) {
  const OffsetCase& c = GetParam();
  Params p;
  p.version = c.version;
  p.info = "0123456789ABCDEFGHIJ";  // 20 characters, then the payload
  p.payload = std::string(64, 'p');
  const uint32_t header = c.version == 0 ? 96 : 112;
  const auto at = [&](std::optional<uint32_t> delta) -> std::optional<uint32_t> {
    if (!delta) return std::nullopt;
    return *delta == 0 ? 0 : header + *delta;
  };
  p.offset48 = at(c.o48);
  p.offset64 = at(c.o64);
  p.offset80 = at(c.o80);
  const std::string path = Write("offsets.vld", Build(p));
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.InfoText(), std::string(p.info + p.payload).substr(0, c.expectedLength));
  EXPECT_THAT(Errors(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, InfoTextLengthTest,
    ::testing::Values(OffsetCase{"V1From48", 1, 5, 9, 15, 5}, OffsetCase{"V0From48", 0, 5, 9, 15, 5},
                      OffsetCase{"V0From64", 0, 0, 9, 15, 9},
                      // a version-1 image ignores offset 64
                      OffsetCase{"V1Skips64", 1, 0, 9, 15, 15}, OffsetCase{"V0From80", 0, 0, 0, 15, 15},
                      OffsetCase{"V1From80", 1, 0, 0, 20, 20}, OffsetCase{"V1IntoPayload", 1, 0, 0, 30, 30}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VldFileTest, SectionOffsetEqualToHeaderLengthGivesAnEmptyText) {
  Params p;
  p.offset80 = 112;
  const std::string path = Write("empty-text.vld", Build(p));
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.InfoText(), "");
  EXPECT_THAT(Warnings(), IsEmpty());
}

TEST_F(VldFileTest, AllSectionOffsetsZeroWarnAndGiveAnEmptyText) {
  for (const uint32_t version : {0u, 1u}) {
    Params p;
    p.version = version;
    p.offset80 = 0;
    const std::string path = Write("nodata" + std::to_string(version) + ".vld", Build(p));
    VldFile reader;
    ASSERT_EQ(reader.Open(path.c_str()), 0u);
    VLMUFWDL_VLD_FILE_INFO info;
    ASSERT_EQ(reader.GetFileInfo(&info), 0u);
    EXPECT_STREQ(info.InfoText, "");
    EXPECT_THAT(Warnings(), Contains("File '" + path + "' has no data. Therefore length of info text is unknown."));
  }
}

TEST_F(VldFileTest, InfoTextEndsAtItsFirstNul) {
  Params p;
  p.info = std::string("abc\0def", 7);
  const std::string path = Write("info-nul.vld", Build(p));  // "nul.*" names a device on Windows
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.InfoText(), "abc");
}

struct TextLengthCase {
  std::size_t length;
  bool warns;
};
void PrintTo(const TextLengthCase& c, std::ostream* os) { *os << c.length << " characters"; }

class InfoTextSizeTest : public VldFileTest, public ::testing::WithParamInterface<TextLengthCase> {};

TEST_P(InfoTextSizeTest, LongTextsAreCutTo511CharactersWithTwoWarnings) {
  const auto [length, warns] = GetParam();
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  Params p;
  p.info = text;
  const std::string path = Write("text.vld", Build(p));
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  VLMUFWDL_VLD_FILE_INFO info;
  ASSERT_EQ(reader.GetFileInfo(&info), 0u);
  EXPECT_EQ(std::string(info.InfoText), text.substr(0, 511));
  EXPECT_EQ(info.InfoText[511], '\0');
  if (warns) {
    EXPECT_THAT(Warnings(),
                ElementsAre("Info text of file " + path + " will be truncated.",
                            "VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE has to be greater then " + std::to_string(length)));
  } else {
    EXPECT_THAT(Warnings(), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, InfoTextSizeTest,
                         ::testing::Values(TextLengthCase{0, false}, TextLengthCase{510, false},
                                           TextLengthCase{511, false}, TextLengthCase{512, true},
                                           TextLengthCase{600, true}),
                         [](const auto& p) { return "Length" + std::to_string(p.param.length); });

// ---------------------------------------------------------------------------
// Reading

TEST_F(VldFileTest, ReadAfterOpenReturnsTheWholeFileFromOffsetZero) {
  Params p;
  p.suffix = true;
  p.payload.clear();
  for (int i = 0; i < 5000; ++i) p.payload += static_cast<char>(i * 7);
  const std::string bytes = Build(p);
  const std::string path = Write("read.vld", bytes);
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  std::string buffer(bytes.size() + 10, '\0');
  uint32_t got = 0;
  ASSERT_EQ(reader.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got), 0u);
  EXPECT_EQ(got, bytes.size());
  EXPECT_EQ(buffer.substr(0, got), bytes);
  // At the end of the file a read yields nothing and still succeeds.
  got = 99;
  EXPECT_EQ(reader.Read(buffer.data(), 10, got), 0u);
  EXPECT_EQ(got, 0u);
}

TEST_F(VldFileTest, ReadInPiecesContinuesWhereTheLastEnded) {
  const std::string bytes = Build(Params{});
  const std::string path = Write("pieces.vld", bytes);
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  std::string all;
  char piece[37];
  uint32_t got = 0;
  do {
    ASSERT_EQ(reader.Read(piece, sizeof piece, got), 0u);
    all.append(piece, got);
  } while (got == sizeof piece);
  EXPECT_EQ(all, bytes);
}

TEST_F(VldFileTest, OperationsOnAClosedReaderAnswer1) {
  VldFile reader;
  VLMUFWDL_VLD_FILE_INFO info;
  EXPECT_EQ(reader.GetFileInfo(&info), 1u);
  char buffer[4];
  uint32_t got = 0;
  EXPECT_EQ(reader.Read(buffer, sizeof buffer, got), 1u);
  EXPECT_THAT(Errors(), ElementsAre("VldFile::GetFileInfo: no open vld file.", "VldFile::Read: no open vld file."));
}

TEST_F(VldFileTest, SecondOpenAnswers1AndKeepsTheFirstOpen) {
  const std::string bytes = Build(Params{});
  const std::string path = Write("twice.vld", bytes);
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.Open(path.c_str()), 1u);
  EXPECT_THAT(Errors(), ElementsAre("VldFile::Open: file is already open."));
  EXPECT_TRUE(reader.IsOpen());
  std::string buffer(bytes.size(), '\0');
  uint32_t got = 0;
  ASSERT_EQ(reader.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got), 0u);
  EXPECT_EQ(buffer, bytes);
}

TEST_F(VldFileTest, CloseClearsAndTheReaderOpensAgain) {
  const std::string path = Write("again.vld", Build(Params{}));
  VldFile reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  reader.Close();
  ExpectClosedAndEmpty(reader);
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.InfoText(), "Velmora test firmware");
}

TEST_F(VldFileTest, EachOperationWritesItsInfoEntry) {
  const std::string path = Write("ops.vld", Build(Params{}));
  {
    VldFile reader;
    ASSERT_EQ(reader.Open(path.c_str()), 0u);
    VLMUFWDL_VLD_FILE_INFO info;
    ASSERT_EQ(reader.GetFileInfo(&info), 0u);
    char c;
    uint32_t got = 0;
    ASSERT_EQ(reader.Read(&c, 1, got), 0u);
  }
  EXPECT_THAT(testlog::OfType(Entries(), "INFO"),
              ElementsAre("VldFile::Open ...", "VldFile::Open: no DFU suffix found.", "VldFile::GetFileInfo ...",
                          "VldFile::Read ...", "VldFile::~VldFile ...", "VldFile::Close ...", "VldFile::Clear ..."));
}

// ---------------------------------------------------------------------------
// Paths that are not readable image files

TEST_F(VldFileTest, MissingFileAndEmptyPathAnswer3) {
  const std::string missing = mDir.File("missing.vld");
  for (const std::string& path : {missing, std::string()}) {
    VldFile reader;
    EXPECT_EQ(reader.Open(path.c_str()), 3u);
    ExpectClosedAndEmpty(reader);
  }
  EXPECT_THAT(Errors(), ElementsAre("VldFile::Open: file '" + missing + "' could not be found.",
                                    "VldFile::Open: file '' could not be found."));
}

TEST_F(VldFileTest, DirectoryAnswers3) {
  const std::string dir = mDir.File("folder.vld");
  std::filesystem::create_directory(dir);
  VldFile reader;
  EXPECT_EQ(reader.Open(dir.c_str()), 3u);
  ExpectClosedAndEmpty(reader);
  EXPECT_THAT(Errors(), ElementsAre("open file '" + dir + "' failed"));
}

#ifndef _WIN32  // FIFOs, permission bits and stream cookies are POSIX
TEST_F(VldFileTest, FifoAnswers3WithoutWaitingForAWriter) {
  const std::string fifo = mDir.File("pipe.vld");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  VldFile reader;
  EXPECT_EQ(reader.Open(fifo.c_str()), 3u);
  ExpectClosedAndEmpty(reader);
  EXPECT_THAT(Errors(), ElementsAre("open file '" + fifo + "' failed"));
}

// A file its reader may not read. Root may read anything, so as root the
// reader runs in a child process that has become user nobody.
TEST_F(VldFileTest, UnreadableFileAnswers3) {
  const std::string path = Write("locked.vld", Build(Params{}));
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(mDir.path().c_str(), 0711), 0);  // others may pass through the folder
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                             ::setresuid(kNobody, kNobody, kNobody) != 0))
      ::_exit(100);
    VldFile reader;
    ::_exit(static_cast<int>(reader.Open(path.c_str())));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_THAT(Errors(), ElementsAre("open file '" + path + "' failed"));
}

#endif

TEST_F(VldFileTest, FileLargerThan32BitsIsRejectedWithoutReadingIt) {
  const std::string path = mDir.File("huge.vld");
  testsupport::WriteFile(path, Build(Params{}));
  std::error_code ec;
  std::filesystem::resize_file(path, (uint64_t{1} << 32) + 16, ec);  // sparse
  if (ec) GTEST_SKIP() << "cannot make a sparse file of 4 GiB here: " << ec.message();
  VldFile reader;
  EXPECT_EQ(reader.Open(path.c_str()), 5u);
  ExpectClosedAndEmpty(reader);
  EXPECT_THAT(Errors(), ElementsAre("VldFile::Open: file '" + path +
                                    "' is too large to be a firmware image (4294967312 bytes)."));
}

TEST_F(VldFileTest, PercentSignsInPathAndInfoTextAreTakenLiterally) {
  Params p;
  p.info = "100% %s %n %x done";
  std::string bad = Build(p);
  bad[44] = static_cast<char>(bad[44] ^ 1);
  const std::string badPath = Write("bad%s%n%d.vld", bad);
  const std::string goodPath = Write("good%s%n.vld", Build(p));
  VldFile reader;
  EXPECT_EQ(reader.Open(badPath.c_str()), 6u);
  EXPECT_THAT(Errors(), ElementsAre("Unexpected CRC header value in file '" + badPath + "'"));
  ASSERT_EQ(reader.Open(goodPath.c_str()), 0u);
  VLMUFWDL_VLD_FILE_INFO info;
  ASSERT_EQ(reader.GetFileInfo(&info), 0u);
  EXPECT_STREQ(info.InfoText, "100% %s %n %x done");
}

// ---------------------------------------------------------------------------
// The suffix CRC run over a stream that fails part-way
#ifndef _WIN32

struct FailingStream {
  std::string data;
  std::size_t failAt;
  std::size_t pos = 0;
};

ssize_t FailingRead(void* cookie, char* buf, size_t size) {
  auto* s = static_cast<FailingStream*>(cookie);
  if (s->pos >= s->failAt) {
    errno = EIO;
    return -1;
  }
  const std::size_t n = std::min(size, s->failAt - s->pos);
  std::memcpy(buf, s->data.data() + s->pos, n);
  s->pos += n;
  return static_cast<ssize_t>(n);
}

TEST(VldFileCrcRun, ReportsTheFirstByteThatCouldNotBeRead) {
  std::string data(600000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  const uint32_t length = 500000;
  for (const std::size_t failAt :
       {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{65536}, std::size_t{262143}, std::size_t{262144},
        std::size_t{262145}, std::size_t{499999}, std::size_t{500000}, std::size_t{600000}}) {
    FailingStream stream{data, failAt};
    cookie_io_functions_t io{};
    io.read = FailingRead;
    std::FILE* file = fopencookie(&stream, "rb", io);
    ASSERT_NE(file, nullptr);
    uint32_t reg = 0xFFFFFFFFu;
    uint32_t done = 12345;
    const bool ok = VldFile::RunCrc(file, length, reg, done);
    std::fclose(file);
    const std::size_t expectedDone = std::min<std::size_t>(failAt, length);
    EXPECT_EQ(ok, failAt >= length) << failAt;
    EXPECT_EQ(done, expectedDone) << failAt;
    EXPECT_EQ(reg, testimages::DfuCrc(data.data(), expectedDone)) << failAt;
  }
}

#endif

}  // namespace
