#include "UserPrompts.h"

#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

namespace vlmqt {

vlmapp::MessageAnswer UserPrompts::ShowMessageBox(QWidget* owner, const vlmapp::MessageBoxRequest& request) {
  QMessageBox box(owner);
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
    case QMessageBox::Yes: return vlmapp::MessageAnswer::Yes;
    case QMessageBox::No: return vlmapp::MessageAnswer::No;
    case QMessageBox::Ok: return vlmapp::MessageAnswer::Ok;
    default: return vlmapp::MessageAnswer::Closed;
  }
}

std::optional<std::string> UserPrompts::ChooseOpenFile(QWidget* owner, const vlmapp::OpenFileRequest& request) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
  dialog.setNameFilter(QString::fromStdString(request.filterDescription));
  dialog.setOption(QFileDialog::ReadOnly, false);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  // The library takes the path as the system's 8-bit file name.
  return QFile::encodeName(files.first()).toStdString();
}

}  // namespace vlmqt
