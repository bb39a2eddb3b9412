// The upgrade program's logic against a fake library and fake views: texts,
// captions, button states, list rows, the deferred rebuild, the upgrade
// command's paths, the progress arithmetic and the start-up decisions.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <thread>

#include "CAboutDlg.h"
#include "FakeDialogs.h"
#include "StringTable.h"
#include "TextFormat.h"
#include "VlmFwUpgradeDlg.h"
#include "dfu/E2eSupport.h"
#include "support/DriverServiceFixture.h"

namespace {

using apptest::FakeDevice;
using apptest::FakeLibrary;
using apptest::FakeMainView;
using apptest::FakePlatform;
using apptest::FakeProgressView;
using vlmapp::FormatText;
using vlmapp::MessageAnswer;
using vlmapp::VlmFwUpgradeDlg;

constexpr uint32_t kArrival = 0x8000;
constexpr uint32_t kQueryRemove = 0x8001;
constexpr uint32_t kQueryRemoveFailed = 0x8002;
constexpr uint32_t kRemovePending = 0x8003;
constexpr uint32_t kRemoveComplete = 0x8004;

struct Record {
  uint32_t size = 32;
  uint32_t deviceType = 5;
  uint32_t reserved = 0;
  unsigned char rest[20] = {};
};

VLMUFWDL_VLD_FILE_INFO ImageInfo(uint32_t model, const char* date, const char* time, const char* info) {
  VLMUFWDL_VLD_FILE_INFO v{};
  v.ModelId = model;
  v.SoftwareVersion = 0x01020304;
  v.HwId = 0x0A;
  std::strncpy(v.SoftwareDate, date, sizeof v.SoftwareDate);
  std::strncpy(v.SoftwareTime, time, sizeof v.SoftwareTime);
  v.VendorId[0] = 0x00;
  v.VendorId[1] = 0x1A;
  v.VendorId[2] = 0x2B;
  std::strncpy(v.InfoText, info, sizeof v.InfoText - 1);
  return v;
}

// A main dialog that has been initialised, shown and has listed the devices.
struct MainDialog {
  FakeLibrary library;
  FakeMainView view;
  int loggingSetUps = 0;
  VlmFwUpgradeDlg dialog{view, library, "VelmoraFlashTool_x64", [this](VlmFwUpgradeDlg&) { ++loggingSetUps; }};

  void Start() {
    dialog.OnInitDialog();
    dialog.OnShowWindow();
    Pump();
  }
  void Pump() {
    view.DeliverPosted([this](uint32_t m) { EXPECT_TRUE(dialog.OnPrivateMessage(m)); });
  }
  void ChooseImage(const std::string& path) {
    view.chosenFile = path;
    dialog.OnOpenFile();
  }
  uint32_t SelectedItemData() const {
    const int row = dialog.DeviceList().SelectedRow();
    return row < 0 ? 0xDEADu : dialog.DeviceList().Rows()[static_cast<size_t>(row)].itemData;
  }
};

TEST(AppText, FormatFillsTheTableTexts) {
  struct Case {
    std::string pattern;
    std::string expected;
    std::string got;
  } cases[] = {
      {"%04u / %04u", "4660 / 0001", FormatText("%04u / %04u", {uint16_t{0x1234}, uint16_t{1}})},
      {"%04u / %04u", "0066 / 65535", FormatText("%04u / %04u", {uint16_t{0x42}, uint16_t{0xFFFF}})},
      {"0x%08X", "0x00001234", FormatText("0x%08X", {uint32_t{0x1234}})},
      {"%02X%02X%02X", "001A2B", FormatText("%02X%02X%02X", {uint8_t{0}, uint8_t{0x1A}, uint8_t{0x2B}})},
      {"Error 0x%02X", "Error 0x30", FormatText(vlmapp::LoadText(vlmapp::IDS_ERROR_CAPTION), {uint32_t{48}})},
      {"Error 0x%02X", "Error 0xE0000020", FormatText("Error 0x%02X", {uint32_t{0xE0000020}})},
      {"137", "5000 bytes of 10000 downloaded ... ",
       FormatText(vlmapp::LoadText(vlmapp::IDS_BYTES_DOWNLOADED), {uint32_t{5000}, uint32_t{10000}})},
      // Counts past 2^31 stay positive in "%d".
      {"137 big", "4294967295 bytes of 4294967295 downloaded ... ",
       FormatText(vlmapp::LoadText(vlmapp::IDS_BYTES_DOWNLOADED), {UINT32_MAX, UINT32_MAX})},
      {"140", "Download failed. Error code 0x1F.",
       FormatText(vlmapp::LoadText(vlmapp::IDS_DOWNLOAD_FAILED), {uint32_t{31}})},
      {"missing argument", "a %d b %s", FormatText("a %d b %s", {})},
      {"wrong type", "%s", FormatText("%s", {uint32_t{5}})},
      {"percent", "100% 7", FormatText("100%% %u", {uint32_t{7}})},
      {"negative", "-5 -0005", FormatText("%d %05d", {int32_t{-5}, int32_t{-5}})},
      {"trailing percent", "x%", FormatText("x%", {})},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.pattern;
}

TEST(AppText, SerialNumbersConvertFromUtf16) {
  const uint16_t text[] = {'M', 0xFC, 'l', 0x20AC, 0xD83D, 0xDE00, 0xDC00, 'x', 0, 'y'};
  EXPECT_EQ(vlmapp::Utf16ToUtf8(text, 10), "M\xC3\xBCl\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDx");
  // Bounded by the field size when the terminator is missing.
  EXPECT_EQ(vlmapp::Utf16ToUtf8(text, 3), "M\xC3\xBCl");
}

TEST(AppText, DateAndTimeDisplay) {
  struct Case {
    const char* date;
    const char* time;
    const char* expected;
  } cases[] = {
      {"20261207", "123456", "2026/12/07  12:34:56"},
      {"", "123456", "  12:34:56"},
      {"20261207", "", "2026/12/07  "},
      {"", "", "  "},
      {"ABCDEFGH", "xyzuvw", "ABCD/EF/GH  xy:zu:vw"},  // taken as they stand
      {"2026", "12", "2026//  12::"},                  // short texts are never read past their end
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VlmFwUpgradeDlg::FormatDateTime(c.date, c.time), c.expected) << c.date << "|" << c.time;
  }
}

TEST(AppText, LibraryErrorBoxTable) {
  const std::pair<uint32_t, const char*> cases[] = {
      {3, "Unable to open firmware file!"},
      {4, "Unable to read firmware file!"},
      {5, "The selected file is not a valid firmware!"},
      {6, "The selected file is not a valid firmware!"},
      {7, "The selected file is not a valid firmware!"},
      {8, "The selected file is not a valid firmware!"},
      {2, "An error is occurred!"},
      {9, "An error is occurred!"},
      {23, "An error is occurred!"},
      {48, "An error is occurred!"},
  };
  for (const auto& [status, text] : cases) {
    MainDialog m;
    m.dialog.ShowLibraryError(status);
    ASSERT_EQ(m.view.boxes.size(), 1u);
    EXPECT_EQ(m.view.boxes[0].text, text) << status;
    EXPECT_EQ(m.view.boxes[0].caption, FormatText("Error 0x%02X", {status}));
    EXPECT_EQ(m.view.boxes[0].icon, vlmapp::MessageIcon::Error);
    EXPECT_EQ(m.view.boxes[0].buttons, vlmapp::MessageButtons::Ok);
  }
}

TEST(MainDialogLogic, InitialisationSetsTitleMenuColumnsAndTheNotificationFilter) {
  MainDialog m;
  m.dialog.OnInitDialog();
  EXPECT_EQ(m.view.title, "Velmora USB Firmware Upgrade");
  ASSERT_EQ(m.view.menuItems.size(), 1u);
  EXPECT_EQ(m.view.menuItems[0], std::make_pair(uint32_t{0x0010}, std::string("&About ...")));
  ASSERT_EQ(m.view.columns.size(), 2u);
  EXPECT_EQ(m.view.columns[0].title, "Vendor/Product ID");
  EXPECT_EQ(m.view.columns[0].widthPixels, 380);
  EXPECT_EQ(m.view.columns[1].title, "Serial Number");
  EXPECT_EQ(m.view.columns[1].widthPixels, 240);
  EXPECT_FALSE(m.view.upgradeEnabled);
  ASSERT_TRUE(m.view.filter.has_value());
  const unsigned char expected[32] = {32,   0,    0,    0,    5,    0,    0,    0,    0,    0,    0,
                                      0,    0xFF, 0xA1, 0xF4, 0x49, 0xDD, 0x55, 0x45, 0x4D, 0x97, 0x43,
                                      0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61, 0,    0,    0,    0};
  EXPECT_EQ(std::memcmp(&*m.view.filter, expected, 32), 0);
  EXPECT_EQ(m.dialog.DeviceNotification(), 7u);
  // Nothing is listed before the dialog has been shown.
  EXPECT_TRUE(m.view.rows.empty());
  EXPECT_EQ(m.loggingSetUps, 0);
}

TEST(MainDialogLogic, StartupRunsOnceAfterTheFirstShowLoggingBeforeTheList) {
  MainDialog m;
  m.library.devices = {FakeDevice{}};
  m.dialog.OnInitDialog();
  m.dialog.OnShowWindow();
  m.dialog.OnShowWindow();
  ASSERT_EQ(m.view.posted.size(), 1u);
  EXPECT_EQ(m.view.posted[0], vlmapp::UM_STARTUP);
  m.Pump();
  EXPECT_EQ(m.loggingSetUps, 1);
  EXPECT_EQ(m.view.rows.size(), 1u);
  EXPECT_FALSE(m.dialog.OnPrivateMessage(0x8003));
}

TEST(MainDialogLogic, DeviceRowsSelectionAndUpgradeButton) {
  struct Case {
    const char* name;
    std::vector<FakeDevice> devices;
    uint32_t enumerateStatus;
    std::vector<std::string> col0;
    std::vector<std::string> col1;
    std::vector<uint32_t> itemData;
    int selected;
    size_t errorBoxes;
  } cases[] = {
      {"one device is selected", {FakeDevice{0x1234, 0x0001, u"SN0001", 0}}, 0, {"4660 / 0001"}, {"SN0001"}, {0}, 0, 0},
      {"no device gives the placeholder", {}, 0, {"--- no devices available ---"}, {""}, {0xFFFFFFFF}, -1, 0},
      {"several devices, none selected",
       {FakeDevice{0x42, 2, u"", 0}, FakeDevice{0x1234, 0x5678, u"M\u00fcller", 0}},
       0,
       {"0066 / 0002", "4660 / 22136"},
       {"", "M\xC3\xBCller"},
       {0, 1},
       -1,
       0},
      {"an unreadable device gets no row",
       {FakeDevice{}, FakeDevice{1, 1, u"X", 14}, FakeDevice{2, 2, u"Y", 0}},
       0,
       {"4660 / 22136", "0002 / 0002"},
       {"SN0001", "Y"},
       {0, 2},
       -1,
       1},
      {"one unreadable device leaves the list empty", {FakeDevice{1, 1, u"X", 18}}, 0, {}, {}, {}, -1, 1},
      {"failed enumeration: empty list, no placeholder", {FakeDevice{}}, 10, {}, {}, {}, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MainDialog m;
    m.library.devices = c.devices;
    m.library.enumerateStatus = c.enumerateStatus;
    m.Start();
    ASSERT_EQ(m.view.rows.size(), c.col0.size());
    for (size_t i = 0; i < c.col0.size(); ++i) {
      EXPECT_EQ(m.view.rows[i].text[0], c.col0[i]);
      EXPECT_EQ(m.view.rows[i].text[1], c.col1[i]);
      EXPECT_EQ(m.view.rows[i].itemData, c.itemData[i]);
    }
    EXPECT_EQ(m.view.selected, c.selected);
    EXPECT_EQ(m.view.boxes.size(), c.errorBoxes);
    EXPECT_EQ(m.library.calls.at(0), "Enumerate {49F4A1FF-55DD-4d45-9743-7B623EFF0361}");
    // No image yet: the button is off whatever is selected.
    EXPECT_FALSE(m.view.upgradeEnabled);
    m.library.images["/fw/a.vld"] = ImageInfo(1, "20260101", "000000", "a");
    m.ChooseImage("/fw/a.vld");
    EXPECT_EQ(m.view.upgradeEnabled, c.selected >= 0);
    // Selecting the placeholder keeps the button off; a device row turns it on.
    if (!m.view.rows.empty()) {
      m.dialog.OnListItemChanged(0, false, true);
      EXPECT_EQ(m.view.upgradeEnabled, c.itemData[0] != 0xFFFFFFFF);
      m.dialog.OnListItemChanged(0, true, false);
      EXPECT_FALSE(m.view.upgradeEnabled);
    }
  }
}

TEST(MainDialogLogic, DeviceChangesPostARebuildOnlyForInterfaceEventsThatCount) {
  Record interfaceRecord;
  Record volumeRecord;
  volumeRecord.deviceType = 2;
  struct Case {
    uint32_t code;
    const void* record;
    size_t posts;
  } cases[] = {
      {kArrival, &interfaceRecord, 1},
      {kRemovePending, &interfaceRecord, 1},
      {kRemoveComplete, &interfaceRecord, 1},
      {kQueryRemove, &interfaceRecord, 0},
      {kQueryRemoveFailed, &interfaceRecord, 0},
      {0x0007, &interfaceRecord, 0},
      {kArrival, &volumeRecord, 0},
      {kArrival, nullptr, 0},
  };
  for (const Case& c : cases) {
    MainDialog m;
    m.dialog.OnInitDialog();
    EXPECT_TRUE(m.dialog.HandleDeviceChange(c.code, c.record));
    EXPECT_EQ(m.view.posted.size(), c.posts) << std::hex << c.code;
    for (uint32_t p : m.view.posted) EXPECT_EQ(p, vlmapp::UM_REFRESH_DEVICES);
  }
}

TEST(MainDialogLogic, ChangesDuringTheUpgradeCommandGiveExactlyOneRebuildAfterIt) {
  MainDialog m;
  m.library.devices = {FakeDevice{}};
  m.Start();
  m.library.images["/fw/a.vld"] = ImageInfo(1, "20260101", "000000", "a");
  m.ChooseImage("/fw/a.vld");
  Record r;
  m.view.duringConfirmation = [&] {
    EXPECT_TRUE(m.dialog.UpgradeRunning());
    for (uint32_t code : {kArrival, kRemoveComplete, kArrival, kQueryRemove}) m.dialog.HandleDeviceChange(code, &r);
    EXPECT_TRUE(m.view.posted.empty());
    EXPECT_TRUE(m.dialog.RefreshPending());
    m.library.devices.push_back(FakeDevice{0x1234, 0x5678, u"SN0002", 0});
  };
  m.view.answers = {MessageAnswer::No};
  m.library.calls.clear();
  m.dialog.OnUpgrade();
  // Abandoned: the close is still called, nothing else; list and image unchanged.
  EXPECT_EQ(m.library.calls, std::vector<std::string>{"Close"});
  EXPECT_FALSE(m.dialog.UpgradeRunning());
  EXPECT_FALSE(m.dialog.RefreshPending());
  ASSERT_EQ(m.view.posted.size(), 1u);
  EXPECT_EQ(m.view.posted[0], vlmapp::UM_REFRESH_DEVICES);
  EXPECT_EQ(m.view.rows.size(), 1u);
  EXPECT_EQ(m.dialog.VldFileName(), "/fw/a.vld");
  EXPECT_TRUE(m.view.endResults.empty());
  const auto& confirm = m.view.boxes.back();
  EXPECT_EQ(confirm.text, "You are about to upgrade the firmware of the selected device.\nAre you sure?");
  EXPECT_EQ(confirm.caption, "VelmoraFlashTool_x64");
  EXPECT_EQ(confirm.icon, vlmapp::MessageIcon::Question);
  EXPECT_EQ(confirm.buttons, vlmapp::MessageButtons::YesNoDefaultNo);
  // The one rebuild lists the device plugged in meanwhile.
  m.Pump();
  EXPECT_EQ(m.view.rows.size(), 2u);
}

TEST(MainDialogLogic, ImageDetailsAndAFailedImageKeepThePreviousDetails) {
  MainDialog m;
  m.library.devices = {FakeDevice{}};
  m.Start();
  m.view.chosenFile.reset();
  m.dialog.OnOpenFile();  // cancelled: nothing changes
  EXPECT_EQ(m.view.chooserRuns, 1);
  EXPECT_TRUE(m.dialog.VldFileName().empty());

  m.library.images["/fw/good.vld"] = ImageInfo(0x1234, "20261207", "123456", "Velmora sample firmware");
  m.ChooseImage("/fw/good.vld");
  const std::map<uint32_t, std::string> good = {{vlmapp::IDC_VLD_FILE_NAME, "/fw/good.vld"},
                                                {vlmapp::IDC_MODEL_ID, "0x00001234"},
                                                {vlmapp::IDC_SOFTWARE_VERSION, "0x01020304"},
                                                {vlmapp::IDC_SOFTWARE_DATE_TIME, "2026/12/07  12:34:56"},
                                                {vlmapp::IDC_HW_ID, "0x0000000A"},
                                                {vlmapp::IDC_VENDOR_ID, "001A2B"},
                                                {vlmapp::IDC_INFO_TEXT, "Velmora sample firmware"}};
  EXPECT_EQ(m.view.controls, good);
  EXPECT_TRUE(m.view.upgradeEnabled);

  m.library.imageStatus = 6;
  m.ChooseImage("/fw/bad.vld");
  ASSERT_FALSE(m.view.boxes.empty());
  EXPECT_EQ(m.view.boxes.back().text, "The selected file is not a valid firmware!");
  EXPECT_EQ(m.view.boxes.back().caption, "Error 0x06");
  EXPECT_EQ(m.view.controls, good);
  EXPECT_EQ(m.dialog.VldFileName(), "/fw/bad.vld");

  // The upgrade reads the path on screen back first.
  m.view.answers = {MessageAnswer::Yes};
  m.dialog.OnUpgrade();
  EXPECT_EQ(m.library.calls.back(), "Close");
  EXPECT_NE(std::find(m.library.calls.begin(), m.library.calls.end(), "Start '/fw/good.vld' 0"), m.library.calls.end());
}

TEST(MainDialogLogic, UpgradeCommandPaths) {
  struct Case {
    const char* name;
    std::vector<FakeDevice> devices;
    int select;  // row selected before the command, -1 none
    MessageAnswer answer;
    uint32_t openStatus, startStatus, closeStatus;
    std::vector<std::string> calls;
    std::vector<std::string> boxCaptions;  // boxes after the confirmation
    std::vector<std::string> boxTexts;
    bool ended;
  } cases[] = {
      {"answered No", {FakeDevice{}}, 0, MessageAnswer::No, 0, 0, 0, {"Close"}, {}, {}, false},
      {"confirmation closed", {FakeDevice{}}, 0, MessageAnswer::Closed, 0, 0, 0, {"Close"}, {}, {}, false},
      {"no row selected",
       {FakeDevice{}, FakeDevice{}},
       -1,
       MessageAnswer::Yes,
       0,
       0,
       15,
       {"Close"},
       {"VelmoraFlashTool_x64"},
       {"Probably the device list changed while the download has been started. Please start download again."},
       false},
      {"placeholder selected",
       {},
       0,
       MessageAnswer::Yes,
       0,
       0,
       15,
       {"Close"},
       {"VelmoraFlashTool_x64"},
       {"Probably the device list changed while the download has been started. Please start download again."},
       false},
      {"open fails",
       {FakeDevice{}},
       0,
       MessageAnswer::Yes,
       14,
       0,
       15,
       {"Open 0", "Close"},
       {"Error 0x0E"},
       {"An error is occurred!"},
       false},
      {"start fails",
       {FakeDevice{}, FakeDevice{}},
       1,
       MessageAnswer::Yes,
       0,
       3,
       0,
       {"Open 1", "Start '/fw/a.vld' 0", "Close"},
       {"Error 0x03"},
       {"Unable to open firmware file!"},
       false},
      {"download ran",
       {FakeDevice{}},
       0,
       MessageAnswer::Yes,
       0,
       0,
       0,
       {"Open 0", "Start '/fw/a.vld' 0", "Close"},
       {},
       {},
       true},
      {"close reports no device",
       {FakeDevice{}},
       0,
       MessageAnswer::Yes,
       0,
       0,
       15,
       {"Open 0", "Start '/fw/a.vld' 0", "Close"},
       {},
       {},
       true},
      {"close reports the worker still there",
       {FakeDevice{}},
       0,
       MessageAnswer::Yes,
       0,
       0,
       35,
       {"Open 0", "Start '/fw/a.vld' 0", "Close"},
       {"Error 0x23"},
       {"An error is occurred!"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MainDialog m;
    m.library.devices = c.devices;
    m.Start();
    m.library.images["/fw/a.vld"] = ImageInfo(1, "20260101", "000000", "a");
    m.ChooseImage("/fw/a.vld");
    if (c.select >= 0) {
      m.dialog.OnListItemChanged(c.select, false, true);
    } else if (m.dialog.DeviceList().SelectedRow() >= 0) {
      m.dialog.OnListItemChanged(m.dialog.DeviceList().SelectedRow(), true, false);
    }
    m.library.openStatus = c.openStatus;
    m.library.startStatus = c.startStatus;
    m.library.closeStatus = c.closeStatus;
    m.library.calls.clear();
    m.view.boxes.clear();
    m.view.answers = {c.answer};
    m.view.progressScript = [&](vlmapp::DownloadProgressDlg&, FakeProgressView&) {
      EXPECT_TRUE(m.dialog.UpgradeRunning());
    };
    m.dialog.OnUpgrade();
    EXPECT_EQ(m.library.calls, c.calls);
    ASSERT_EQ(m.view.boxes.size(), c.boxCaptions.size() + 1);
    for (size_t i = 0; i < c.boxCaptions.size(); ++i) {
      EXPECT_EQ(m.view.boxes[i + 1].caption, c.boxCaptions[i]);
      EXPECT_EQ(m.view.boxes[i + 1].text, c.boxTexts[i]);
    }
    EXPECT_EQ(m.view.progressRuns, c.ended ? 1 : 0);
    EXPECT_FALSE(m.dialog.UpgradeRunning());
    if (c.ended) {
      EXPECT_EQ(m.view.endResults, std::vector<int>{vlmapp::kDialogResultOk});
      EXPECT_EQ(m.view.unregistered, std::vector<uintptr_t>{7});
      EXPECT_EQ(m.dialog.DeviceNotification(), 0u);
    } else {
      EXPECT_TRUE(m.view.endResults.empty());
      EXPECT_TRUE(m.view.unregistered.empty());
    }
  }
}

TEST(MainDialogLogic, EmptyPathReachesTheLibraryAndExitUnregisters) {
  MainDialog m;
  m.library.devices = {FakeDevice{}};
  m.Start();
  m.library.startStatus = 2;
  m.view.answers = {MessageAnswer::Yes};
  m.dialog.OnUpgrade();  // the default button can still be pressed by other means
  EXPECT_NE(std::find(m.library.calls.begin(), m.library.calls.end(), "Start '' 0"), m.library.calls.end());
  EXPECT_EQ(m.view.boxes.back().caption, "Error 0x02");
  m.dialog.OnCancel();
  EXPECT_EQ(m.view.unregistered, std::vector<uintptr_t>{7});
  EXPECT_EQ(m.view.endResults, std::vector<int>{vlmapp::kDialogResultCancel});
}

TEST(MainDialogLogic, AboutBoxFromTheSystemMenu) {
  MainDialog m;
  for (uint32_t id : {0x0010u, 0x0013u, 0x001Fu}) EXPECT_TRUE(m.dialog.OnSysCommand(id));
  for (uint32_t id : {0x0020u, 0xF060u, 0x0000u}) EXPECT_FALSE(m.dialog.OnSysCommand(id));
  ASSERT_EQ(m.view.aboutTexts.size(), 3u);
  EXPECT_EQ(m.view.aboutTexts[0], "Velmora USB Firmware Upgrade\n\nVersion 5.22.1\n\nCopyright (C) 2026 Velmora Audio");
  EXPECT_EQ(vlmapp::CAboutDlg::Text(), m.view.aboutTexts[0]);
}

// One poll of the progress dialog and what it shows afterwards.
TEST(ProgressDialogLogic, PollTable) {
  struct Case {
    const char* name;
    uint32_t status, done, total;
    const char* text;
    uint32_t rangeHigh, position;
    bool final;
  } cases[] = {
      {"running, nothing sent", 36, 0, 10000, "Preparing download ...", 100, 0, false},
      {"half", 36, 5000, 10000, "5000 bytes of 10000 downloaded ... ", 10000, 4000, false},
      {"all sent", 36, 10000, 10000, "Starting downloaded firmware ...", 10000, 8000, false},
      {"near 2^32", 36, 0xFFFFFFFEu, 0xFFFFFFFFu, "4294967294 bytes of 4294967295 downloaded ... ", 0xFFFFFFFFu,
       3435973835u, false},
      {"all of 2^32-1", 36, 0xFFFFFFFFu, 0xFFFFFFFFu, "Starting downloaded firmware ...", 0xFFFFFFFFu, 3435973836u,
       false},
      {"success", 0, 10000, 10000, "Download successfully finished.", 100, 100, true},
      {"40 counts as success", 40, 10000, 10000, "Download successfully finished.", 100, 100, true},
      {"failure keeps the bar", 31, 0, 0, "Download failed. Error code 0x1F.", 100, 0, true},
      {"failure code above a byte", 0xE0000020u, 0, 0, "Download failed. Error code 0xE0000020.", 100, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLibrary library;
    library.polls = {{c.status, c.done, c.total}};
    vlmapp::DownloadProgressDlg dialog(library);
    FakeProgressView view;
    dialog.OnInitDialog(view);
    EXPECT_EQ(view.status, "Preparing download ...");
    ASSERT_EQ(dialog.TimerId(), 1u);
    EXPECT_EQ(view.timers.at(1), 200u);
    EXPECT_TRUE(dialog.OnTimer(view, 1));
    EXPECT_EQ(view.status, c.text);
    EXPECT_EQ(view.rangeHigh, c.rangeHigh);
    EXPECT_EQ(view.position, c.position);
    EXPECT_EQ(view.closeEnabled, c.final);
    EXPECT_EQ(dialog.CanClose(), c.final);
    EXPECT_EQ(view.timers.empty(), c.final);
  }
}

TEST(ProgressDialogLogic, SequenceTimerFallbackAndForeignTimers) {
  FakeLibrary library;
  library.polls = {{36, 0, 8192}, {36, 4096, 8192}, {36, 8192, 8192}, {31, 8192, 8192}};
  vlmapp::DownloadProgressDlg dialog(library);
  FakeProgressView view;
  view.refusedTimerIds = {1, 2};  // taken by others
  dialog.OnInitDialog(view);
  EXPECT_EQ(dialog.TimerId(), 3u);
  EXPECT_FALSE(dialog.OnTimer(view, 1));  // not the dialog's timer: left alone, no poll
  EXPECT_EQ(library.polls.size(), 4u);
  const char* texts[] = {"Preparing download ...", "4096 bytes of 8192 downloaded ... ",
                         "Starting downloaded firmware ...", "Download failed. Error code 0x1F."};
  const uint32_t positions[] = {0, 3276, 6553, 6553};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(dialog.OnTimer(view, 3));
    EXPECT_EQ(view.status, texts[i]);
    EXPECT_EQ(view.position, positions[i]);
    EXPECT_EQ(view.closeEnabled, i == 3);
  }
  EXPECT_EQ(view.rangeHigh, 8192u);
  EXPECT_EQ(view.stopCount, 1);
  EXPECT_EQ(vlmapp::DownloadProgressDlg::TransferPosition(UINT32_MAX), 3435973836u);
}

// Without a timer the dialog polls from its own loop (posted polls), never
// lets the user end it before the download has its final status, and hands
// over to a timer as soon as it can have one.
TEST(ProgressDialogLogic, WithoutATimerPostedPollsCarryTheDownloadToItsEnd) {
  for (const bool timerComesBack : {false, true}) {
    FakeLibrary library;
    library.polls = {{36, 0, 8192}, {36, 4096, 8192}, {36, 8192, 8192}, {0, 8192, 8192}};
    vlmapp::DownloadProgressDlg dialog(library);
    FakeProgressView view;
    view.refuseAllTimers = true;
    dialog.OnInitDialog(view);
    view.refuseAllTimers = !timerComesBack;
    std::vector<std::string> texts = {view.status};
    for (int i = 0; i < 100 && view.postedPolls > 0; ++i, --view.postedPolls) {
      dialog.OnPollEvent(view);
      if (texts.back() != view.status) texts.push_back(view.status);
      EXPECT_EQ(view.closeEnabled, view.status == "Download successfully finished.");
      EXPECT_EQ(dialog.CanClose(), view.closeEnabled);
    }
    EXPECT_EQ(view.postedPolls, 0);
    if (timerComesBack) {
      EXPECT_EQ(dialog.TimerId(), 1u);
      EXPECT_EQ(texts, std::vector<std::string>{"Preparing download ..."});  // the first posted poll
      continue;
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Preparing download ...", "4096 bytes of 8192 downloaded ... ",
                                               "Starting downloaded firmware ...", "Download successfully finished."}));
  }
}

TEST(StartupLogic, InterfaceVersions) {
  const std::pair<uint32_t, bool> cases[] = {{0x00010001, true},  {0x0001FFFF, true},  {0x00010002, true},
                                             {0x00010000, false}, {0x00020001, false}, {0x00000001, false},
                                             {0xFFFF0001, false}};
  for (const auto& [version, accepted] : cases) {
    FakePlatform platform;
    FakeLibrary library;
    library.apiVersion = version;
    vlmapp::VlmFwUpgradeApp app(platform, library);
    const auto outcome = app.InitInstance();
    EXPECT_EQ(outcome == vlmapp::VlmFwUpgradeApp::Outcome::DialogEnded, accepted) << std::hex << version;
    EXPECT_EQ(platform.dialogRuns, accepted ? 1 : 0);
    if (!accepted) {
      ASSERT_EQ(platform.boxes.size(), 1u);
      EXPECT_EQ(platform.boxes[0].text, "The used Firmware Download DLL has not the expected API version.");
      EXPECT_EQ(platform.boxes[0].caption, "VelmoraFlashTool_x64");
      EXPECT_EQ(platform.boxes[0].icon, vlmapp::MessageIcon::Error);
    }
  }
}

// The program ends without its dialog only after handing over to a running
// instance; a marker that cannot be made does not stop it.
TEST(StartupLogic, MarkerOutcomes) {
  using Marker = vlmapp::AppPlatform::MarkerResult;
  using Outcome = vlmapp::VlmFwUpgradeApp::Outcome;
  const struct Case {
    Marker marker;
    bool runningAnswers;
    Outcome outcome;
    size_t activations;
  } cases[] = {{Marker::Created, true, Outcome::DialogEnded, 0},
               {Marker::AlreadyExists, true, Outcome::SecondInstance, 1},
               {Marker::AlreadyExists, false, Outcome::NotHandedOver, 1},
               {Marker::Failed, true, Outcome::DialogEnded, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.marker) * 10 + c.runningAnswers);
    FakePlatform platform;
    platform.marker = c.marker;
    platform.runningAnswers = c.runningAnswers;
    FakeLibrary library;
    vlmapp::VlmFwUpgradeApp app(platform, library);
    EXPECT_EQ(app.InitInstance(), c.outcome);
    EXPECT_EQ(platform.activations, std::vector<std::string>(c.activations, "Velmora USB Firmware Upgrade"));
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(platform.dialogRuns, c.outcome == Outcome::DialogEnded ? 1 : 0);
  }
}

TEST(StartupLogic, LogPathFromTemporaryDirectoryAndProgramName) {
  struct Case {
    const char* name;
    bool programPathOk;
    std::string programPath;
    std::string tempPath;
    bool tempFails;
    uint32_t enableStatus;
    std::vector<std::string> paths;
    std::vector<std::string> boxCaptions;
    std::string appName;
  } cases[] = {
      {"Windows paths",
       true,
       "D:\\Tools\\VelmoraFlashTool_x64.exe",
       "C:\\Temp\\",
       false,
       0,
       {"C:\\Temp\\VelmoraFlashTool_x64.log"},
       {},
       "VelmoraFlashTool_x64"},
      {"renamed program",
       true,
       "/opt/v/bin/flash.tool.bin",
       "/tmp/",
       false,
       0,
       {"/tmp/flash.tool.log"},
       {},
       "flash.tool"},
      {"no program path", false, "", "/tmp/", false, 0, {"/tmp/VelmoraFlashTool.log"}, {}, "VelmoraFlashTool_x64"},
      {"program path too long",
       true,
       "/" + std::string(300, 'p') + ".exe",
       "/tmp/",
       false,
       0,
       {"/tmp/VelmoraFlashTool.log"},
       {},
       "VelmoraFlashTool_x64"},
      {"temporary path of 258 fits",
       true,
       "/x/a.exe",
       "/" + std::string(256, 't') + "/",
       false,
       0,
       {"/" + std::string(256, 't') + "/a.log"},
       {},
       "a"},
      {"temporary path of 259 does not fit",
       true,
       "/x/a.exe",
       "/" + std::string(257, 't') + "/",
       false,
       0,
       {},
       {"Error 0x17"},
       "a"},
      {"no temporary path", true, "/x/a.exe", "", true, 0, {"a.log"}, {}, "a"},
      {"library refuses the log", true, "/x/a.exe", "/tmp/", false, 23, {"/tmp/a.log"}, {"Error 0x17"}, "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.programPathOk = c.programPathOk;
    platform.programPath = c.programPath;
    platform.tempPath = c.tempPath;
    platform.tempFails = c.tempFails;
    FakeLibrary library;
    library.enableLoggingStatus = c.enableStatus;
    vlmapp::VlmFwUpgradeApp app(platform, library);
    EXPECT_EQ(app.AppName(), c.appName);
    FakeMainView view;
    VlmFwUpgradeDlg dialog(view, library, app.AppName(), [&app](VlmFwUpgradeDlg& d) { app.SetUpLogging(d); });
    dialog.OnInitDialog();
    dialog.OnShowWindow();
    view.DeliverPosted([&](uint32_t m) { dialog.OnPrivateMessage(m); });
    EXPECT_EQ(library.loggingPaths, c.paths);
    ASSERT_EQ(view.boxes.size(), c.boxCaptions.size());
    for (size_t i = 0; i < c.boxCaptions.size(); ++i) {
      EXPECT_EQ(view.boxes[i].caption, c.boxCaptions[i]);
      EXPECT_EQ(view.boxes[i].text, "An error is occurred!");
    }
    // The list is filled in every case.
    EXPECT_EQ(view.rows.size(), 1u);
  }
}

}  // namespace

namespace {

// With the real library and two devices of the service: the row confirmed is
// the device opened. A device that leaves while the confirmation is up moves
// the positions in the service's list, but the program's rebuild waits until
// the command is over, and the library opens the interface path of the list
// the rows were made from.
TEST(MainDialogWithTheLibrary, TheConfirmedRowIsTheDeviceOpened) {
  testsupport::DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  const auto a = testsupport::DeviceDescription().Id("a").Serial("ROW-A");
  const auto b = testsupport::DeviceDescription().Id("b").Serial("ROW-B");
  ASSERT_FALSE(driver.AddDevice(a).empty());
  ASSERT_FALSE(driver.AddDevice(b).empty());
  const std::string file = driver.TempFile("fw.vld");
  const std::string image = dfue2e::MakeImage(6000, 3);
  testsupport::WriteFile(file, image);

  auto library = vlmapp::CreateExportedLibrary();
  FakeMainView view;
  VlmFwUpgradeDlg dialog{view, *library, "VelmoraFlashTool_x64", [](VlmFwUpgradeDlg&) {}};
  dialog.OnInitDialog();
  dialog.OnShowWindow();
  view.DeliverPosted([&](uint32_t m) { dialog.OnPrivateMessage(m); });
  ASSERT_EQ(view.rows.size(), 2u);
  dialog.OnListItemChanged(1, false, true);
  view.chosenFile = file;
  dialog.OnOpenFile();
  Record r;
  view.duringConfirmation = [&] {
    ASSERT_TRUE(driver.Unplug("a"));
    dialog.HandleDeviceChange(kRemoveComplete, &r);
    driver.ClearTrace();
  };
  view.answers = {MessageAnswer::Yes};
  view.progressScript = [&](vlmapp::DownloadProgressDlg&, FakeProgressView&) {
    uint32_t done = 0, total = 0;
    for (int i = 0; i < 500 && library->GetDownloadStatus(&done, &total) == 36; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  dialog.OnUpgrade();
  ASSERT_EQ(view.progressRuns, 1);
  const auto trace = driver.ReadTrace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.front().op, "open");
  for (const auto& e : trace)
    if (e.op == "open") {
      EXPECT_EQ(e.path, b.Path());
    }
  std::string stored;
  EXPECT_TRUE(driver.GetFirmware("b", stored) && stored == image);
  EXPECT_FALSE(driver.GetFirmware("a", stored) && stored == image);
}

}  // namespace
