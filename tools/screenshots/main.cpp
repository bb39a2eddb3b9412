// vlmapp-screenshots: renders the upgrade program's dialogs into PNG files
// for the documentation, on whatever Qt platform is set (offscreen works),
// against the running driver service (VLMU_DRIVER_SOCKET).
//
//   vlmapp-screenshots OUTDIR IMAGE.vld success   main.png, about.png,
//                                                 progress.png, progress-success.png
//   vlmapp-screenshots OUTDIR IMAGE.vld failure   progress-failure.png
//   vlmapp-screenshots OUTDIR IMAGE.vld no-service  main-no-service.png: the
//                                                 dialog without a service
//
// The device to upgrade is the first one listed; for a picture taken in the
// middle of the transfer it should be slowed down (see scripts/screenshots.sh).
#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "ApplicationSetup.h"
#include "CAboutDlg.h"
#include "QtAboutDialog.h"
#include "QtMainDialog.h"
#include "UserPrompts.h"

namespace {

class AnsweringPrompts : public vlmqt::UserPrompts {
 public:
  explicit AnsweringPrompts(std::string file) : mFile(std::move(file)) {}
  vlmapp::MessageAnswer ShowMessageBox(QWidget*, const vlmapp::MessageBoxRequest& request) override {
    if (request.buttons == vlmapp::MessageButtons::YesNoDefaultNo) return vlmapp::MessageAnswer::Yes;
    std::fprintf(stderr, "message box: %s: %s\n", request.caption.c_str(), request.text.c_str());
    return vlmapp::MessageAnswer::Ok;
  }
  std::optional<std::string> ChooseOpenFile(QWidget*, const vlmapp::OpenFileRequest&) override { return mFile; }

 private:
  std::string mFile;
};

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// The window's client area under a plain title bar with its caption, at the
// screen's pixel density: with QT_SCALE_FACTOR=2 the picture has twice the
// pixels in each direction, the window drawn whole at that density.
bool Save(QWidget* window, const QString& path) {
  const QPixmap client = window->grab();
  const qreal ratio = client.devicePixelRatio();
  const QSize clientSize = client.deviceIndependentSize().toSize();
  const QFont captionFont = window->font();
  const int bar = QFontMetrics(captionFont).height() + 10;
  const QSize logical(clientSize.width() + 2, clientSize.height() + bar + 1);
  QImage image((QSizeF(logical) * ratio).toSize(), QImage::Format_RGB32);
  image.setDevicePixelRatio(ratio);
  image.fill(QColor(0x40, 0x40, 0x40));
  QPainter painter(&image);
  painter.fillRect(QRect(1, 1, clientSize.width(), bar - 1), QColor(0x1f, 0x4e, 0x79));
  int textLeft = 8;
  if (!window->windowIcon().isNull()) {
    painter.drawPixmap(6, (bar - 16) / 2 + 1, window->windowIcon().pixmap(QSize(16, 16), ratio));
    textLeft = 28;
  }
  painter.setPen(Qt::white);
  QFont bold = captionFont;
  bold.setBold(true);
  painter.setFont(bold);
  painter.drawText(QRect(textLeft, 1, clientSize.width() - textLeft, bar - 1), Qt::AlignVCenter | Qt::AlignLeft,
                   window->windowTitle());
  painter.drawPixmap(1, bar, client);
  painter.end();
  const bool ok = image.save(path);
  std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  vlmqt::SetUpApplication();
  const std::string mode = argc == 4 ? argv[3] : "";
  if (mode != "success" && mode != "failure" && mode != "no-service") {
    std::fprintf(stderr, "usage: vlmapp-screenshots OUTDIR IMAGE.vld success|failure|no-service\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const bool success = mode == "success";
  AnsweringPrompts prompts(argv[2]);
  auto library = vlmapp::CreateExportedLibrary();
  vlmqt::QtMainDialog dialog(
      *library, "VelmoraFlashTool_x64", [](vlmapp::VlmFwUpgradeDlg&) {}, &prompts);
  dialog.show();
  auto* list = dialog.findChild<QTableWidget*>("1006");
  if (mode == "no-service") {
    auto* notice = dialog.findChild<QLabel*>("serviceNotice");
    if (!WaitUntil([&] { return notice->isVisible() && list->rowCount() > 0; }, 10000)) return 1;
    return Save(&dialog, out + "/main-no-service.png") ? 0 : 1;
  }
  if (!WaitUntil([&] { return list->rowCount() > 0; }, 10000)) return 1;
  list->selectRow(0);
  dialog.findChild<QPushButton*>("1004")->click();
  QCoreApplication::processEvents();
  bool ok = true;
  if (success) {
    ok = Save(&dialog, out + "/main.png") && ok;
    vlmqt::QtAboutDialog about(QString::fromStdString(vlmapp::CAboutDlg::Text()), &dialog);
    about.show();
    QCoreApplication::processEvents();
    ok = Save(&about, out + "/about.png") && ok;
    about.close();
  }

  // The progress dialog: a picture in the middle of the transfer and one at the end.
  bool tookMiddle = !success;
  QTimer observer;
  observer.setInterval(5);
  QObject::connect(&observer, &QTimer::timeout, [&] {
    QDialog* progress = dialog.ProgressDialog();
    if (progress == nullptr) return;
    const QString text = progress->findChild<QLabel*>("1009")->text();
    auto* close = progress->findChild<QPushButton*>("2");
    if (!tookMiddle && text.contains("bytes of")) {
      tookMiddle = true;
      ok = Save(progress, out + "/progress.png") && ok;
    }
    if (close->isEnabled()) {
      observer.stop();
      ok = Save(progress, out + (success ? "/progress-success.png" : "/progress-failure.png")) && ok;
      close->click();
    }
  });
  observer.start();
  dialog.findChild<QPushButton*>("1")->click();
  return ok && tookMiddle ? 0 : 1;
}
