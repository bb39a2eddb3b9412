#pragma once
// Fakes for the upgrade program's logic: a library whose answers a test sets,
// and views that record what the logic shows and answer its questions.
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DialogViews.h"
#include "DownloadProgressDlg.h"
#include "FirmwareLibrary.h"
#include "VlmFwUpgradeApp.h"

namespace apptest {

struct FakeDevice {
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0x5678;
  std::u16string serial = u"SN0001";
  uint32_t infoStatus = 0;
};

class FakeLibrary : public vlmapp::FirmwareLibrary {
 public:
  uint32_t apiVersion = VLMUFWDL_API_VERSION;
  uint32_t enumerateStatus = 0;
  std::vector<FakeDevice> devices;
  uint32_t enableLoggingStatus = 0;
  std::vector<std::string> loggingPaths;
  std::map<std::string, VLMUFWDL_VLD_FILE_INFO> images;  // path -> details; other paths answer imageStatus
  uint32_t imageStatus = 3;
  uint32_t openStatus = 0;
  uint32_t startStatus = 0;
  uint32_t closeStatus = 0;
  std::vector<std::string> calls;  // "Open 1", "Start <path>", "Close", ...
  // GetDownloadStatus answers, one per call; the last one repeats.
  struct Poll {
    uint32_t status, done, total;
  };
  std::deque<Poll> polls;

  uint32_t GetApiVersion() override { return apiVersion; }
  uint32_t EnableLogging(const char* path) override {
    loggingPaths.emplace_back(path);
    return enableLoggingStatus;
  }
  uint32_t EnumerateDevices(const char* guid, uint32_t* count) override {
    calls.push_back(std::string("Enumerate ") + guid);
    *count = enumerateStatus == 0 ? static_cast<uint32_t>(devices.size()) : 0;
    return enumerateStatus;
  }
  uint32_t GetDeviceInfo(uint32_t index, VLMUFWDL_DEVICE_INFO* info) override {
    if (index >= devices.size()) return VLMUFWDL_STATUS_INVALID_DEVICE_INDEX;
    const FakeDevice& d = devices[index];
    if (d.infoStatus != 0) return d.infoStatus;
    info->VendorId = d.vendorId;
    info->ProductId = d.productId;
    std::memcpy(info->SerialNumber, d.serial.c_str(), (d.serial.size() + 1) * 2);
    return 0;
  }
  uint32_t GetVldFileInfo(const char* path, VLMUFWDL_VLD_FILE_INFO* info) override {
    const auto it = images.find(path);
    if (it == images.end()) return imageStatus;
    *info = it->second;
    return 0;
  }
  uint32_t OpenDevice(uint32_t index) override {
    calls.push_back("Open " + std::to_string(index));
    return openStatus;
  }
  uint32_t CloseDevice() override {
    calls.push_back("Close");
    return closeStatus;
  }
  uint32_t StartDownload(const char* path, uint32_t options) override {
    calls.push_back("Start '" + std::string(path) + "' " + std::to_string(options));
    return startStatus;
  }
  uint32_t GetDownloadStatus(uint32_t* done, uint32_t* total) override {
    if (polls.empty()) return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
    const Poll p = polls.front();
    if (polls.size() > 1) polls.pop_front();
    *done = p.done;
    *total = p.total;
    return p.status;
  }
};

class FakeProgressView : public vlmapp::ProgressDialogView {
 public:
  std::string status;
  uint32_t rangeLow = 0, rangeHigh = 100, position = 0;
  bool closeEnabled = false;
  std::map<uintptr_t, uint32_t> timers;  // running timers
  std::set<uintptr_t> refusedTimerIds;
  bool refuseAllTimers = false;
  int stopCount = 0;
  int postedPolls = 0;  // posted and not yet delivered

  void SetStatusText(const std::string& text) override { status = text; }
  void SetProgressRange(uint32_t low, uint32_t high) override {
    rangeLow = low;
    rangeHigh = high;
  }
  void SetProgressPosition(uint32_t p) override { position = p; }
  void EnableCloseButton(bool enabled) override { closeEnabled = enabled; }
  bool StartTimer(uintptr_t id, uint32_t periodMs) override {
    if (refuseAllTimers || refusedTimerIds.count(id) != 0) return false;
    timers[id] = periodMs;
    return true;
  }
  void StopTimer(uintptr_t id) override {
    timers.erase(id);
    ++stopCount;
  }
  void PostPoll() override { ++postedPolls; }
};

class FakeMainView : public vlmapp::MainDialogView {
 public:
  std::string title;
  std::vector<std::pair<uint32_t, std::string>> menuItems;
  std::vector<vlmapp::ListColumn> columns;
  std::vector<vlmapp::ListRow> rows;
  int selected = -1;
  std::map<uint32_t, std::string> controls;
  bool upgradeEnabled = true;
  std::deque<uint32_t> posted;
  bool registrationFails = false;
  std::optional<vlmapp::DeviceInterfaceFilter> filter;
  std::vector<uintptr_t> unregistered;
  std::vector<vlmapp::MessageBoxRequest> boxes;
  std::deque<vlmapp::MessageAnswer> answers;  // for boxes with Yes/No
  std::function<void()> duringConfirmation;   // runs while the confirmation is up
  std::optional<std::string> chosenFile;
  int chooserRuns = 0;
  std::vector<std::string> aboutTexts;
  // Run during RunProgressDialog with the dialog's logic and a fresh view.
  std::function<void(vlmapp::DownloadProgressDlg&, FakeProgressView&)> progressScript;
  int progressRuns = 0;
  std::vector<int> endResults;

  void SetWindowTitle(const std::string& t) override { title = t; }
  bool AddSystemMenuItem(uint32_t id, const std::string& text) override {
    menuItems.emplace_back(id, text);
    return true;
  }
  void InitListColumns(const std::vector<vlmapp::ListColumn>& c) override { columns = c; }
  void ShowListRows(const std::vector<vlmapp::ListRow>& r) override {
    rows = r;
    selected = -1;
  }
  void SelectListRow(int row) override { selected = row; }
  void SetControlText(uint32_t id, const std::string& text) override { controls[id] = text; }
  std::string GetControlText(uint32_t id) override { return controls[id]; }
  void EnableControl(uint32_t id, bool enabled) override {
    if (id == vlmapp::IDC_UPGRADE) upgradeEnabled = enabled;
  }
  void PostToSelf(uint32_t message) override { posted.push_back(message); }
  uintptr_t RegisterDeviceChanges(const vlmapp::DeviceInterfaceFilter& f) override {
    filter = f;
    return registrationFails ? 0 : 7;
  }
  void UnregisterDeviceChanges(uintptr_t r) override { unregistered.push_back(r); }
  vlmapp::MessageAnswer ShowMessageBox(const vlmapp::MessageBoxRequest& request) override {
    boxes.push_back(request);
    if (request.buttons == vlmapp::MessageButtons::Ok) return vlmapp::MessageAnswer::Ok;
    if (duringConfirmation) duringConfirmation();
    if (answers.empty()) return vlmapp::MessageAnswer::No;
    const auto a = answers.front();
    answers.pop_front();
    return a;
  }
  std::optional<std::string> ChooseOpenFile(const vlmapp::OpenFileRequest& request) override {
    ++chooserRuns;
    EXPECT_EQ(request.filterDescription, "Firmware image (*.vld)");
    EXPECT_EQ(request.filterPattern, "*.vld");
    EXPECT_EQ(request.defaultExtension, "vld");
    return chosenFile;
  }
  void RunAboutBox(const std::string& text) override { aboutTexts.push_back(text); }
  void RunProgressDialog(vlmapp::DownloadProgressDlg& progress) override {
    ++progressRuns;
    FakeProgressView view;
    progress.OnInitDialog(view);
    if (progressScript) progressScript(progress, view);
  }
  void EndDialog(int result) override { endResults.push_back(result); }

  // Delivers the posted messages to `handler` until none is left.
  template <typename Handler>
  void DeliverPosted(Handler handler) {
    while (!posted.empty()) {
      const uint32_t m = posted.front();
      posted.pop_front();
      handler(m);
    }
  }
};

class FakePlatform : public vlmapp::AppPlatform {
 public:
  MarkerResult marker = MarkerResult::Created;
  bool programPathOk = true;
  std::string programPath = "D:\\Tools\\VelmoraFlashTool_x64.exe";
  std::string tempPath = "C:\\Temp\\";
  bool tempFails = false;
  std::vector<std::string> activations;
  bool runningAnswers = true;
  std::vector<vlmapp::MessageBoxRequest> boxes;
  int dialogRuns = 0;

  MarkerResult CreateInstanceMarker(const std::string& name) override {
    EXPECT_EQ(name, "{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}");
    return marker;
  }
  bool ActivateRunningInstance(const std::string& title) override {
    activations.push_back(title);
    return runningAnswers;
  }
  bool ProgramPath(std::string& path) override {
    if (!programPathOk) return false;
    path = programPath;
    return true;
  }
  uint32_t TempDirectory(uint32_t bufferSize, std::string& path) override {
    if (tempFails) return 0;
    const auto length = static_cast<uint32_t>(tempPath.size());
    if (length + 1 > bufferSize) return length + 1;
    path = tempPath;
    return length;
  }
  void ShowMessageBox(const vlmapp::MessageBoxRequest& request) override { boxes.push_back(request); }
  int RunMainDialog(vlmapp::VlmFwUpgradeApp&) override {
    ++dialogRuns;
    return vlmapp::kDialogResultCancel;
  }
};

}  // namespace apptest
