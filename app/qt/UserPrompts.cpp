#include "UserPrompts.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

#include "ApplicationSetup.h"
#include "WindowPlacement.h"

namespace vlmqt {
namespace {

// The folder of the last image chosen, kept in the user's configuration
// folder ($XDG_CONFIG_HOME/Velmora/VelmoraFlashTool_x64.conf).
constexpr const char* kLastFolderKey = "files/lastFolder";

QSettings UserSettings() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, kSettingsOrganization, kSettingsApplication);
}

QString StartFolder() {
  const QString last = UserSettings().value(kLastFolderKey).toString();
  return !last.isEmpty() && QFileInfo(last).isDir() ? last : QDir::homePath();
}

}  // namespace

vlmapp::MessageAnswer UserPrompts::ShowMessageBox(QWidget* owner, const vlmapp::MessageBoxRequest& request) {
  CentredOverOwner<QMessageBox> box(owner);
  box.setWindowTitle(QString::fromStdString(request.caption));
  box.setText(QString::fromStdString(request.text));
  box.setIcon(request.icon == vlmapp::MessageIcon::Question ? QMessageBox::Question : QMessageBox::Critical);
  if (request.buttons == vlmapp::MessageButtons::YesNoDefaultNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
  }
  const int answer = box.exec();
  switch (answer) {
    case QMessageBox::Yes:
      return vlmapp::MessageAnswer::Yes;
    case QMessageBox::No:
      return vlmapp::MessageAnswer::No;
    case QMessageBox::Ok:
      return vlmapp::MessageAnswer::Ok;
    default:
      return vlmapp::MessageAnswer::Closed;
  }
}

std::optional<std::string> UserPrompts::ChooseOpenFile(QWidget* owner, const vlmapp::OpenFileRequest& request) {
  CentredOverOwner<QFileDialog> dialog(owner);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
  dialog.setNameFilter(QString::fromStdString(request.filterDescription));
  dialog.setOption(QFileDialog::ReadOnly, false);
  dialog.setDirectory(StartFolder());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  UserSettings().setValue(kLastFolderKey, QFileInfo(files.first()).absolutePath());
  // The library takes the path as the system's 8-bit file name.
  return QFile::encodeName(files.first()).toStdString();
}

}  // namespace vlmqt
