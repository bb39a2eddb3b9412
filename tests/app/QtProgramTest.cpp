// The upgrade program's Qt dialogs on the offscreen platform, against the
// driver service with simulated devices and the real library: what a person
// sees from the first list to the end of an upgrade.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <regex>

#include "ApplicationSetup.h"
#include "DialogUnits.h"
#include "QtMainDialog.h"
#include "UserPrompts.h"
#include "dfu/E2eSupport.h"
#include "support/DriverServiceFixture.h"
#include "support/TempDir.h"

namespace {

using testsupport::DeviceDescription;

// Answers the dialogs' questions from a script and records every box.
class ScriptedPrompts : public vlmqt::UserPrompts {
 public:
  std::vector<vlmapp::MessageBoxRequest> boxes;
  vlmapp::MessageAnswer confirmation = vlmapp::MessageAnswer::No;
  std::function<void()> duringConfirmation;
  std::optional<std::string> file;

  vlmapp::MessageAnswer ShowMessageBox(QWidget*, const vlmapp::MessageBoxRequest& request) override {
    boxes.push_back(request);
    if (request.buttons == vlmapp::MessageButtons::Ok) return vlmapp::MessageAnswer::Ok;
    if (duringConfirmation) duringConfirmation();
    return confirmation;
  }
  std::optional<std::string> ChooseOpenFile(QWidget*, const vlmapp::OpenFileRequest&) override { return file; }
};

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(10);
  }
  return true;
}

// Runs `act` on the next modal window of a class once it shows, from within
// that window's own event loop.
void OnNextModal(const char* className, const std::function<void(QWidget*)>& act) {
  auto* poll = new QTimer;
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, className, act] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible() || !modal->inherits(className)) return;
    poll->stop();
    poll->deleteLater();
    act(modal);
  });
  poll->start();
}

// A window opened over `owner`: centred on it, in the dialogs' font.
void ExpectCentredInTheDialogFont(QWidget* window, QWidget* owner) {
  const QPoint offset = window->frameGeometry().center() - owner->frameGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 2) << window->metaObject()->className() << " is off by " << offset.x() << ","
                                         << offset.y();
  EXPECT_EQ(window->font().family(), vlmqt::DialogFont().family()) << window->metaObject()->className();
  EXPECT_EQ(window->font().pointSize(), vlmqt::DialogFont().pointSize()) << window->metaObject()->className();
}

struct Seen {
  QString text;
  int value, maximum;
  bool closeEnabled;
  bool operator==(const Seen& o) const {
    return text == o.text && value == o.value && maximum == o.maximum && closeEnabled == o.closeEnabled;
  }
};

class QtProgram : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }

  // The main dialog, shown, with its first list built.
  std::unique_ptr<vlmqt::QtMainDialog> Open() {
    auto dialog = std::make_unique<vlmqt::QtMainDialog>(
        *library, "VelmoraFlashTool_x64", [](vlmapp::VlmFwUpgradeDlg&) {}, &prompts);
    dialog->show();
    EXPECT_TRUE(WaitUntil([&] { return List(*dialog)->rowCount() > 0 || !prompts.boxes.empty(); }));
    return dialog;
  }
  static QTableWidget* List(QWidget& d) { return d.findChild<QTableWidget*>("1006"); }
  static QString Text(QWidget& d, const char* id) { return d.findChild<QLineEdit*>(id)->text(); }
  static QPushButton* Button(QWidget& d, const char* id) { return d.findChild<QPushButton*>(id); }
  std::string WriteImage(const std::string& name, const std::string& bytes) {
    const std::string path = dir.File(name);
    testsupport::WriteFile(path, bytes);
    return path;
  }

  // Runs the upgrade command with the confirmation answered Yes and records
  // every distinct state of the progress dialog until "Close" can be pressed.
  std::vector<Seen> RunUpgrade(vlmqt::QtMainDialog& dialog) {
    std::vector<Seen> seen;
    QTimer observer;
    observer.setInterval(5);
    QObject::connect(&observer, &QTimer::timeout, [&] {
      QDialog* progress = dialog.ProgressDialog();
      if (progress == nullptr) return;
      if (seen.empty()) ExpectCentredInTheDialogFont(progress, &dialog);
      auto* bar = progress->findChild<QProgressBar*>("1008");
      auto* close = progress->findChild<QPushButton*>("2");
      const Seen now{progress->findChild<QLabel*>("1009")->text(), bar->value(), bar->maximum(), close->isEnabled()};
      if (seen.empty() || !(seen.back() == now)) seen.push_back(now);
      if (now.closeEnabled) {
        // Enter does nothing even now; "Close" ends the dialog.
        QTest::keyClick(progress, Qt::Key_Return);
        EXPECT_TRUE(progress->isVisible());
        QTest::mouseClick(close, Qt::LeftButton);
      } else {
        // Escape and Enter never end it while the download runs.
        QTest::keyClick(progress, Qt::Key_Escape);
        QTest::keyClick(progress, Qt::Key_Return);
      }
    });
    observer.start();
    prompts.confirmation = vlmapp::MessageAnswer::Yes;
    QTest::mouseClick(Button(dialog, "1"), Qt::LeftButton);
    return seen;
  }

  testsupport::DriverServiceFixture driver;
  testsupport::TempDir dir;
  std::unique_ptr<vlmapp::FirmwareLibrary> library = vlmapp::CreateExportedLibrary();
  ScriptedPrompts prompts;
};

TEST_F(QtProgram, OneDeviceIsListedAndSelected) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Ids(0x1234, 0x0001).Serial("SN0001")).empty());
  auto dialog = Open();
  EXPECT_EQ(dialog->windowTitle(), "Velmora USB Firmware Upgrade");
  QTableWidget* list = List(*dialog);
  ASSERT_EQ(list->rowCount(), 1);
  EXPECT_EQ(list->item(0, 0)->text(), "4660 / 0001");
  EXPECT_EQ(list->item(0, 1)->text(), "SN0001");
  EXPECT_EQ(list->horizontalHeaderItem(0)->text(), "Vendor/Product ID");
  EXPECT_EQ(list->columnWidth(0), 380);
  EXPECT_EQ(list->columnWidth(1), 240);
  EXPECT_TRUE(list->item(0, 0)->isSelected());
  EXPECT_FALSE(Button(*dialog, "1")->isEnabled());  // no image yet
  EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(QtProgram, NoDeviceGivesThePlaceholderAndAPluggedDeviceAppears) {
  auto dialog = Open();
  QTableWidget* list = List(*dialog);
  ASSERT_EQ(list->rowCount(), 1);
  EXPECT_EQ(list->item(0, 0)->text(), "--- no devices available ---");
  prompts.file = WriteImage("a.vld", dfue2e::MakeImage(1024));
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  list->selectRow(0);
  EXPECT_FALSE(Button(*dialog, "1")->isEnabled());

  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Serial("SN0042")).empty());
  ASSERT_TRUE(WaitUntil([&] { return list->rowCount() == 1 && list->item(0, 1)->text() == "SN0042"; }));
  EXPECT_TRUE(list->item(0, 0)->isSelected());
  EXPECT_TRUE(Button(*dialog, "1")->isEnabled());
}

TEST_F(QtProgram, ImageDetailsAndRefusedImagesKeepThePreviousDetails) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  auto dialog = Open();
  const std::string good = WriteImage("good.vld", dfue2e::MakeImage(4096));
  prompts.file = good;
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  const std::vector<std::pair<const char*, QString>> details = {
      {"1003", QString::fromStdString(good)}, {"1029", "123456"},     {"1023", "0x0000000A"},
      {"1024", "2026/12/07  12:00:00"},       {"1021", "0x01020304"}, {"1017", "0x00010203"},
      {"1025", "Velmora test firmware"}};
  for (const auto& [id, text] : details) EXPECT_EQ(Text(*dialog, id), text) << id;
  EXPECT_TRUE(Button(*dialog, "1")->isEnabled());

  std::string corrupt = dfue2e::MakeImage(4096);
  corrupt[200] ^= 0x01;  // payload byte: only the suffix CRC sees it
  std::string badHeader = dfue2e::MakeImage(4096);
  badHeader.resize(badHeader.size() - 16);  // no suffix: the header CRC is checked
  badHeader[20] ^= 0x01;
  const std::string fifo = dir.File("pipe.vld");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = WriteImage("huge.vld", "");
  std::filesystem::resize_file(huge, 5ull << 30);  // sparse: costs no disk
  const struct Case {
    std::string path;
    const char* caption;
    const char* text;
  } cases[] = {
      {WriteImage("corrupt.vld", corrupt), "Error 0x30", "An error is occurred!"},
      {WriteImage("header.vld", badHeader), "Error 0x06", "The selected file is not a valid firmware!"},
      {WriteImage("short.vld", "VlMd"), "Error 0x04", "Unable to read firmware file!"},
      {dir.File("missing.vld"), "Error 0x03", "Unable to open firmware file!"},
      {dir.path().string(), "Error 0x03", "Unable to open firmware file!"},
      {fifo, "Error 0x03", "Unable to open firmware file!"},
      {huge, "Error 0x05", "The selected file is not a valid firmware!"},
  };
  for (const Case& c : cases) {
    prompts.boxes.clear();
    prompts.file = c.path;
    QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
    ASSERT_EQ(prompts.boxes.size(), 1u) << c.path;
    EXPECT_EQ(prompts.boxes[0].caption, c.caption) << c.path;
    EXPECT_EQ(prompts.boxes[0].text, c.text) << c.path;
    for (const auto& [id, text] : details) EXPECT_EQ(Text(*dialog, id), text) << id;
    EXPECT_EQ(dialog->Logic().VldFileName(), c.path);
    EXPECT_TRUE(dialog->isVisible());
  }
}

TEST_F(QtProgram, FullUpgradeShowsProgressAndEndsTheProgram) {
  // Slow enough for several polls during the transfer and during the restart.
  const std::string id = driver.AddDevice(DeviceDescription()
                                              .Knob("pollTimeout", R"({"dfuDNBUSY": 15, "dfuMANIFEST": 50})")
                                              .Knob("busyPolls", "1")
                                              .Knob("manifestTimeMs", "900"));
  ASSERT_FALSE(id.empty());
  auto dialog = Open();
  const std::string image = dfue2e::MakeImage(160 * 1024);
  prompts.file = WriteImage("fw.vld", image);
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  ASSERT_TRUE(Button(*dialog, "1")->isEnabled());

  const std::vector<Seen> seen = RunUpgrade(*dialog);
  ASSERT_GE(seen.size(), 3u);
  const int total = static_cast<int>(image.size());
  EXPECT_EQ(seen.front().text, "Preparing download ...");
  EXPECT_EQ(seen.back(), (Seen{"Download successfully finished.", 100, 100, true}));
  const std::regex bytes(R"((\d+) bytes of (\d+) downloaded \.\.\. )");
  bool sawBytes = false, sawStarting = false;
  for (size_t i = 0; i + 1 < seen.size(); ++i) {
    const Seen& s = seen[i];
    EXPECT_FALSE(s.closeEnabled) << s.text.toStdString();
    std::smatch m;
    const std::string text = s.text.toStdString();
    if (std::regex_match(text, m, bytes)) {
      sawBytes = true;
      EXPECT_EQ(std::stoi(m[2]), total);
      EXPECT_EQ(s.maximum, total);
      EXPECT_EQ(s.value, static_cast<int>(std::stoll(m[1]) * 80 / 100));
    } else if (text == "Starting downloaded firmware ...") {
      sawStarting = true;
      EXPECT_EQ(s.maximum, total);
      EXPECT_EQ(s.value, total * 80 / 100);
    } else {
      EXPECT_EQ(text, "Preparing download ...");
    }
  }
  EXPECT_TRUE(sawBytes);
  EXPECT_TRUE(sawStarting);
  // The program ends: the main dialog closed with the OK result.
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(prompts.boxes.size(), 1u);  // the confirmation only
  std::string stored;
  ASSERT_TRUE(driver.GetFirmware(id, stored));
  EXPECT_TRUE(stored == image) << stored.size() << " of " << image.size() << " bytes stored";
}

TEST_F(QtProgram, FailedDownloadShowsTheCodeAndKeepsTheBar) {
  const std::string id =
      driver.AddDevice(DeviceDescription().Knob("faults", R"([{"bRequest": 1, "occurrence": 6, "action": "stall"}])"));
  ASSERT_FALSE(id.empty());
  auto dialog = Open();
  prompts.file = WriteImage("fw.vld", dfue2e::MakeImage(64 * 1024));
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  const std::vector<Seen> seen = RunUpgrade(*dialog);
  ASSERT_GE(seen.size(), 2u);
  const Seen& last = seen.back();
  EXPECT_EQ(last.text, "Download failed. Error code 0x13.");
  EXPECT_TRUE(last.closeEnabled);
  // The bar keeps what it last showed (never the full bar of a success).
  EXPECT_EQ(last.value, seen[seen.size() - 2].value);
  EXPECT_FALSE(dialog->isVisible());  // after "Close" the program ends, also after a failure
}

TEST_F(QtProgram, AnsweringNoKeepsEverythingAndListsADevicePluggedMeanwhile) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("a").Serial("SN0001")).empty());
  auto dialog = Open();
  const std::string path = WriteImage("fw.vld", dfue2e::MakeImage(1024));
  prompts.file = path;
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  QTableWidget* list = List(*dialog);
  prompts.confirmation = vlmapp::MessageAnswer::No;
  prompts.duringConfirmation = [&] {
    ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("b").Serial("SN0002")).empty());
    // The notification arrives while the question is up; nothing is rebuilt yet.
    WaitUntil([&] { return dialog->Logic().RefreshPending(); }, 5000);
    EXPECT_TRUE(dialog->Logic().RefreshPending());
    EXPECT_EQ(list->rowCount(), 1);
  };
  QTest::mouseClick(Button(*dialog, "1"), Qt::LeftButton);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(Text(*dialog, "1003").toStdString(), path);
  ASSERT_TRUE(WaitUntil([&] { return list->rowCount() == 2; }));
  EXPECT_EQ(list->item(1, 1)->text(), "SN0002");
  EXPECT_EQ(prompts.boxes.size(), 1u);
}

TEST_F(QtProgram, DeviceGoneBeforeOpeningAndServiceStopped) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("a")).empty());
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("b").Serial("SN0002")).empty());
  auto dialog = Open();
  prompts.file = WriteImage("fw.vld", dfue2e::MakeImage(1024));
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  QTableWidget* list = List(*dialog);
  list->selectRow(1);
  // Unplugged while the question is up: opening index 1 then fails.
  prompts.duringConfirmation = [&] { ASSERT_TRUE(driver.Unplug("b")); };
  prompts.confirmation = vlmapp::MessageAnswer::Yes;
  QTest::mouseClick(Button(*dialog, "1"), Qt::LeftButton);
  ASSERT_EQ(prompts.boxes.size(), 2u);
  EXPECT_EQ(prompts.boxes[1].caption, "Error 0x0E");  // the device could not be opened
  EXPECT_TRUE(dialog->isVisible());
  ASSERT_TRUE(WaitUntil([&] { return list->rowCount() == 1; }));

  // The service goes away: the next rebuild reports the failed enumeration.
  prompts.duringConfirmation = nullptr;
  prompts.boxes.clear();
  auto* notice = dialog->findChild<QLabel*>("serviceNotice");
  EXPECT_FALSE(notice->isVisible());
  driver.Kill();
  dialog->Logic().RefreshDeviceList();
  ASSERT_EQ(prompts.boxes.size(), 0u);  // no service: no devices, not an error
  EXPECT_EQ(list->item(0, 0)->text(), "--- no devices available ---");
  EXPECT_TRUE(dialog->isVisible());
  // ... but a line above the list says which socket was tried and what to do,
  ASSERT_TRUE(WaitUntil([&] { return notice->isVisible(); }));
  EXPECT_EQ(notice->toolTip().toStdString(), "Driver service not reachable at " + driver.SocketPath() +
                                                 ": start it with systemctl start velmora-driverd.");
  EXPECT_EQ(notice->y() + notice->height() <= list->y(), true);
  // ... until the service is back: then its devices are listed again.
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("c").Serial("SN0003")).empty());
  ASSERT_TRUE(WaitUntil([&] { return !notice->isVisible() && list->item(0, 1)->text() == "SN0003"; }));
  EXPECT_EQ(prompts.boxes.size(), 0u);
}

TEST_F(QtProgram, TabPassesOnlyTheControlsAPersonCanUse) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  auto dialog = Open();
  prompts.file = WriteImage("fw.vld", dfue2e::MakeImage(1024));
  QTest::mouseClick(Button(*dialog, "1004"), Qt::LeftButton);
  dialog->activateWindow();
  List(*dialog)->setFocus();
  std::vector<QString> stops;
  for (int i = 0; i < 6; ++i) {
    ASSERT_NE(QApplication::focusWidget(), nullptr) << "no focus after " << i << " tab stops";
    stops.push_back(QApplication::focusWidget()->objectName());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  // The list, the path, "Open", "Upgrade Firmware", "Exit", and round again.
  EXPECT_EQ(stops, (std::vector<QString>{"1006", "1003", "1004", "1", "2", "1006"}));
}

// The toolkit's file dialog and message box, and the About box, open centred
// over the main window in the dialogs' font; the file dialog opens in the
// home folder at first, then in the folder used last, which the user's
// settings keep for the next start.
TEST_F(QtProgram, DialogsOpenOverTheMainWindowAndTheFileDialogInTheFolderUsedLast) {
  vlmqt::QtMainDialog dialog(*library, "VelmoraFlashTool_x64", [](vlmapp::VlmFwUpgradeDlg&) {});
  dialog.show();
  ASSERT_TRUE(WaitUntil([&] { return List(dialog)->rowCount() > 0; }));
  const std::string image = WriteImage("short.vld", "VlMd");  // refused: a message box follows
  std::vector<std::string> folders, boxes;
  for (int i = 0; i < 2; ++i) {
    OnNextModal("QFileDialog", [&](QWidget* chooser) {
      ExpectCentredInTheDialogFont(chooser, &dialog);
      auto* files = static_cast<QFileDialog*>(chooser);
      folders.push_back(files->directory().absolutePath().toStdString());
      OnNextModal("QMessageBox", [&](QWidget* box) {
        ExpectCentredInTheDialogFont(box, &dialog);
        boxes.push_back(box->windowTitle().toStdString());
        static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
      });
      // The name typed into the dialog, as a person would.
      files->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(image));
      static_cast<QDialog*>(files)->accept();  // as the "Open" button does
    });
    QTest::mouseClick(Button(dialog, "1004"), Qt::LeftButton);
  }
  EXPECT_EQ(folders, (std::vector<std::string>{QDir::homePath().toStdString(), dir.path().string()}));
  EXPECT_EQ(boxes, (std::vector<std::string>{"Error 0x04", "Error 0x04"}));
  const std::string settings =
      testsupport::ReadFile(qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/" + vlmqt::kSettingsOrganization +
                            "/" + vlmqt::kSettingsApplication + ".conf");
  EXPECT_NE(settings.find("lastFolder=" + dir.path().string()), std::string::npos) << settings;

  bool aboutSeen = false;
  OnNextModal("vlmqt::QtAboutDialog", [&](QWidget* about) {
    aboutSeen = true;
    ExpectCentredInTheDialogFont(about, &dialog);
    Button(*about, "1")->click();
  });
  QTest::keyClick(&dialog, Qt::Key_F1);
  EXPECT_TRUE(aboutSeen);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The user's settings (the file dialog's folder) in a folder of the test's own.
  const testsupport::TempDir config;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
  QApplication application(argc, argv);
  vlmqt::SetUpApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
