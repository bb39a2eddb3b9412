#pragma once
// The main window (template 102) in Qt Widgets: shows the main dialog's
// logic (VlmFwUpgradeDlg) and feeds it the window's events. Controls carry
// their template ids as object names ("1006", "1003", ...).
#include <QDialog>
#include <QMap>
#include <memory>
#include <optional>
#include <string>

#include "DeviceChangeSource.h"
#include "DialogViews.h"
#include "FirmwareLibrary.h"
#include "UserPrompts.h"
#include "VlmFwUpgradeDlg.h"

class QLineEdit;
class QPushButton;
class QTableWidget;

namespace vlmqt {

class ServiceNotice;

class QtMainDialog final : public QDialog, public vlmapp::MainDialogView {
  Q_OBJECT

 public:
  // `prompts` (optional, not owned) replaces the message boxes and the file
  // chooser.
  QtMainDialog(vlmapp::FirmwareLibrary& library, const std::string& appName,
               std::function<void(vlmapp::VlmFwUpgradeDlg&)> setUpLogging, UserPrompts* prompts = nullptr,
               QWidget* parent = nullptr);
  ~QtMainDialog() override;

  vlmapp::VlmFwUpgradeDlg& Logic() { return mLogic; }

  // MainDialogView
  void SetWindowTitle(const std::string& title) override;
  bool AddSystemMenuItem(uint32_t commandId, const std::string& text) override;
  void InitListColumns(const std::vector<vlmapp::ListColumn>& columns) override;
  void ShowListRows(const std::vector<vlmapp::ListRow>& rows) override;
  void SelectListRow(int row) override;
  void SetControlText(uint32_t id, const std::string& text) override;
  std::string GetControlText(uint32_t id) override;
  void EnableControl(uint32_t id, bool enabled) override;
  void PostToSelf(uint32_t message) override;
  uintptr_t RegisterDeviceChanges(const vlmapp::DeviceInterfaceFilter& filter) override;
  void UnregisterDeviceChanges(uintptr_t registration) override;
  vlmapp::MessageAnswer ShowMessageBox(const vlmapp::MessageBoxRequest& request) override;
  std::optional<std::string> ChooseOpenFile(const vlmapp::OpenFileRequest& request) override;
  void RunAboutBox(const std::string& text) override;
  void RunProgressDialog(vlmapp::DownloadProgressDlg& progress) override;
  void EndDialog(int result) override;

  // The Qt dialog of a running RunProgressDialog, or null.
  QDialog* ProgressDialog() const { return mProgressDialog; }

 public slots:
  void reject() override;
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  void OnSelectionChanged();
  void WatchDeviceChanges();
  void OnServiceChanged(bool appeared);

  UserPrompts mDefaultPrompts;
  UserPrompts* mPrompts;
  vlmapp::VlmFwUpgradeDlg mLogic;
  QTableWidget* mList = nullptr;
  QPushButton* mUpgradeButton = nullptr;
  QMap<uint32_t, QLineEdit*> mTexts;
  QString mAboutMenuText;
  int mShownSelection = -1;
  bool mUpdatingList = false;
  std::unique_ptr<DeviceChangeSource> mDeviceChanges;
  // Kept while device changes are wanted, to register again with a service
  // that starts (or starts again) after the dialog.
  std::optional<vlmapp::DeviceInterfaceFilter> mDeviceFilter;
  ServiceNotice* mServiceNotice = nullptr;
  QDialog* mProgressDialog = nullptr;
};

}  // namespace vlmqt
