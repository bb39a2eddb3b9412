#include "QtMainDialog.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>

#include "AppIcon.h"
#include "DialogUnits.h"
#include "QtAboutDialog.h"
#include "QtProgressDialog.h"
#include "ServiceNotice.h"

namespace vlmqt {
namespace {

constexpr int kTemplateWidth = 453;
constexpr int kTemplateHeight = 214;

QString IdName(uint32_t id) { return QString::number(id); }

}  // namespace

QtMainDialog::QtMainDialog(vlmapp::FirmwareLibrary& library, const std::string& appName,
                           std::function<void(vlmapp::VlmFwUpgradeDlg&)> setUpLogging, UserPrompts* prompts,
                           QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      mPrompts(prompts != nullptr ? prompts : &mDefaultPrompts),
      mLogic(*this, library, appName, std::move(setUpLogging)) {
  setObjectName("102");
  setFont(DialogFont());
  setWindowIcon(AppIcon());
  BuildControls();
  mLogic.OnInitDialog();
}

QtMainDialog::~QtMainDialog() {
  // Stops the notification thread before the window goes away.
  mDeviceChanges.reset();
}

void QtMainDialog::BuildControls() {
  const DialogUnits du(font());
  setFixedSize(du.X(kTemplateWidth), du.Y(kTemplateHeight));

  auto label = [this, &du](const char* text, int x, int y, int w, int h) {
    auto* l = new QLabel(QString::fromLatin1(text), this);
    l->setGeometry(du.Rect(x, y, w, h));
    return l;
  };
  auto detail = [this, &du](uint32_t id, int x, int y, int w, int h) {
    auto* e = new QLineEdit(this);
    e->setObjectName(IdName(id));
    e->setReadOnly(true);
    e->setFrame(false);
    // Shown like a label: a click selects its text for copying, but Tab
    // passes it by.
    e->setFocusPolicy(Qt::ClickFocus);
    // Text at the top of its box like the labels beside it, on the group's background.
    e->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    e->setTextMargins(0, 0, 0, 0);
    e->setStyleSheet("QLineEdit { background: transparent; border: none; padding: 0px; }");
    e->setGeometry(du.Rect(x, y, w, h));
    mTexts.insert(id, e);
  };

  // Above the list, in the template's margin: the driver service cannot be reached.
  mServiceNotice = new ServiceNotice(this);
  mServiceNotice->setGeometry(du.Rect(18, 4, 416, 10));
  connect(mServiceNotice, &ServiceNotice::serviceAppeared, this, [this] { OnServiceChanged(true); });
  connect(mServiceNotice, &ServiceNotice::serviceLost, this, [this] { OnServiceChanged(false); });
  mServiceNotice->Check();

  label("Available devices", 18, 16, 140, 8);
  mList = new QTableWidget(this);
  mList->setObjectName(IdName(vlmapp::IDC_DEVICE_LIST));
  mList->setGeometry(du.Rect(18, 29, 416, 40));
  mList->setSelectionBehavior(QAbstractItemView::SelectRows);
  mList->setSelectionMode(QAbstractItemView::SingleSelection);
  mList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  mList->setShowGrid(true);
  mList->setWordWrap(false);
  mList->setTabKeyNavigation(false);
  mList->verticalHeader()->hide();
  mList->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  mList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  mList->horizontalHeader()->setHighlightSections(false);
  mList->horizontalHeader()->setStretchLastSection(false);
  // The selection stays visible when the list does not have the focus.
  QPalette listPalette = mList->palette();
  listPalette.setColor(QPalette::Inactive, QPalette::Highlight,
                       listPalette.color(QPalette::Active, QPalette::Highlight));
  listPalette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                       listPalette.color(QPalette::Active, QPalette::HighlightedText));
  mList->setPalette(listPalette);
  connect(mList, &QTableWidget::itemSelectionChanged, this, &QtMainDialog::OnSelectionChanged);

  label("VLD file", 18, 76, 26, 8);
  auto* path = new QLineEdit(this);
  path->setObjectName(IdName(vlmapp::IDC_VLD_FILE_NAME));
  path->setReadOnly(true);
  path->setGeometry(du.Rect(18, 89, 357, 14));
  mTexts.insert(vlmapp::IDC_VLD_FILE_NAME, path);
  auto* open = new QPushButton("Open", this);
  open->setObjectName(IdName(vlmapp::IDC_OPEN_FILE));
  open->setAutoDefault(false);
  open->setGeometry(du.Rect(384, 89, 50, 14));
  connect(open, &QPushButton::clicked, this, [this] { mLogic.OnOpenFile(); });

  auto* group = new QGroupBox("VLD file details", this);
  group->setGeometry(du.Rect(18, 111, 416, 65));
  label("Vendor ID:", 24, 124, 35, 8);
  detail(vlmapp::IDC_VENDOR_ID, 129, 124, 81, 12);
  label("HwID:", 231, 124, 21, 8);
  detail(vlmapp::IDC_HW_ID, 336, 124, 81, 12);
  label("Software Date/Time:", 24, 136, 67, 8);
  detail(vlmapp::IDC_SOFTWARE_DATE_TIME, 129, 136, 81, 12);
  label("Software Version:", 231, 136, 78, 8);
  detail(vlmapp::IDC_SOFTWARE_VERSION, 336, 136, 81, 12);
  label("Model ID:", 24, 148, 57, 8);
  detail(vlmapp::IDC_MODEL_ID, 129, 148, 81, 12);
  label("Info Text:", 24, 161, 68, 8);
  detail(vlmapp::IDC_INFO_TEXT, 129, 161, 296, 12);

  mUpgradeButton = new QPushButton("Upgrade Firmware", this);
  mUpgradeButton->setObjectName(IdName(vlmapp::IDC_UPGRADE));
  mUpgradeButton->setGeometry(du.Rect(147, 188, 75, 14));
  mUpgradeButton->setDefault(true);
  connect(mUpgradeButton, &QPushButton::clicked, this, &QtMainDialog::accept);
  auto* exit = new QPushButton("Exit", this);
  exit->setObjectName(IdName(vlmapp::IDC_EXIT));
  exit->setAutoDefault(false);
  exit->setGeometry(du.Rect(231, 188, 75, 14));
  connect(exit, &QPushButton::clicked, this, &QtMainDialog::reject);

  // Tab order of the template.
  setTabOrder(mList, path);
  setTabOrder(path, open);
  setTabOrder(open, mUpgradeButton);
  setTabOrder(mUpgradeButton, exit);
}

void QtMainDialog::SetWindowTitle(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }

bool QtMainDialog::AddSystemMenuItem(uint32_t commandId, const std::string& text) {
  // Qt offers no window system menu on every platform: the item goes into the
  // dialog's context menu and onto F1.
  if (commandId != vlmapp::IDM_ABOUTBOX) return false;
  mAboutMenuText = QString::fromStdString(text);
  return true;
}

void QtMainDialog::InitListColumns(const std::vector<vlmapp::ListColumn>& columns) {
  mList->setColumnCount(static_cast<int>(columns.size()));
  QStringList titles;
  for (const auto& c : columns) titles << QString::fromStdString(c.title);
  mList->setHorizontalHeaderLabels(titles);
  for (size_t i = 0; i < columns.size(); ++i) mList->setColumnWidth(static_cast<int>(i), columns[i].widthPixels);
}

void QtMainDialog::ShowListRows(const std::vector<vlmapp::ListRow>& rows) {
  mUpdatingList = true;
  mList->clearSelection();
  mList->setRowCount(static_cast<int>(rows.size()));
  for (size_t r = 0; r < rows.size(); ++r) {
    for (int c = 0; c < 2; ++c) {
      auto* item = new QTableWidgetItem(QString::fromStdString(rows[r].text[c]));
      item->setData(Qt::UserRole, static_cast<qulonglong>(rows[r].itemData));
      mList->setItem(static_cast<int>(r), c, item);
    }
  }
  mShownSelection = -1;
  mUpdatingList = false;
}

void QtMainDialog::SelectListRow(int row) {
  mUpdatingList = true;
  if (row < 0) {
    mList->clearSelection();
  } else {
    mList->selectRow(row);
  }
  mShownSelection = row;
  mUpdatingList = false;
}

void QtMainDialog::OnSelectionChanged() {
  if (mUpdatingList) return;
  const QList<QTableWidgetItem*> selected = mList->selectedItems();
  const int now = selected.isEmpty() ? -1 : selected.first()->row();
  if (now == mShownSelection) return;
  const int before = mShownSelection;
  mShownSelection = now;
  if (before >= 0) mLogic.OnListItemChanged(before, true, false);
  if (now >= 0) mLogic.OnListItemChanged(now, false, true);
}

void QtMainDialog::SetControlText(uint32_t id, const std::string& text) {
  if (QLineEdit* e = mTexts.value(id, nullptr)) {
    e->setText(QString::fromStdString(text));
    e->setCursorPosition(0);
  }
}

std::string QtMainDialog::GetControlText(uint32_t id) {
  const QLineEdit* e = mTexts.value(id, nullptr);
  return e != nullptr ? e->text().toStdString() : std::string();
}

void QtMainDialog::EnableControl(uint32_t id, bool enabled) {
  if (id == vlmapp::IDC_UPGRADE) mUpgradeButton->setEnabled(enabled);
}

void QtMainDialog::PostToSelf(uint32_t message) {
  QMetaObject::invokeMethod(
      this, [this, message] { mLogic.OnPrivateMessage(message); }, Qt::QueuedConnection);
}

uintptr_t QtMainDialog::RegisterDeviceChanges(const vlmapp::DeviceInterfaceFilter& filter) {
  // The registration stands even while no service runs: it is made again
  // with the service when that appears.
  mDeviceFilter = filter;
  WatchDeviceChanges();
  return 1;
}

void QtMainDialog::UnregisterDeviceChanges(uintptr_t /*registration*/) {
  mDeviceFilter.reset();
  mDeviceChanges.reset();
}

void QtMainDialog::WatchDeviceChanges() {
  mDeviceChanges.reset();
  if (!mDeviceFilter) return;
  mDeviceChanges =
      DeviceChangeSource::Register(*mDeviceFilter, [this](uint32_t code, std::vector<unsigned char> record) {
        // On the notification thread: hand the event to the user-interface thread.
        QMetaObject::invokeMethod(
            this, [this, code, record = std::move(record)] { mLogic.HandleDeviceChange(code, record.data()); },
            Qt::QueuedConnection);
      });
}

void QtMainDialog::OnServiceChanged(bool appeared) {
  // A service that went away took the registration with it; one that
  // appeared gets a new one. The list shows what the library now finds.
  if (appeared) {
    WatchDeviceChanges();
  } else {
    mDeviceChanges.reset();
  }
  if (isVisible() && !mLogic.UpgradeRunning()) PostToSelf(vlmapp::UM_REFRESH_DEVICES);
}

vlmapp::MessageAnswer QtMainDialog::ShowMessageBox(const vlmapp::MessageBoxRequest& request) {
  return mPrompts->ShowMessageBox(this, request);
}

std::optional<std::string> QtMainDialog::ChooseOpenFile(const vlmapp::OpenFileRequest& request) {
  return mPrompts->ChooseOpenFile(this, request);
}

void QtMainDialog::RunAboutBox(const std::string& text) {
  QtAboutDialog about(QString::fromStdString(text), this);
  about.exec();
}

void QtMainDialog::RunProgressDialog(vlmapp::DownloadProgressDlg& progress) {
  QtProgressDialog dialog(progress, this);
  mProgressDialog = &dialog;
  dialog.exec();
  mProgressDialog = nullptr;
}

void QtMainDialog::EndDialog(int result) {
  QDialog::done(result == vlmapp::kDialogResultOk ? QDialog::Accepted : QDialog::Rejected);
}

void QtMainDialog::reject() { mLogic.OnCancel(); }

void QtMainDialog::accept() {
  if (mUpgradeButton->isEnabled()) mLogic.OnUpgrade();
}

void QtMainDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  mLogic.OnShowWindow();
}

void QtMainDialog::contextMenuEvent(QContextMenuEvent* event) {
  if (mAboutMenuText.isEmpty()) return;
  QMenu menu(this);
  QAction* about = menu.addAction(mAboutMenuText);
  if (menu.exec(event->globalPos()) == about) mLogic.OnSysCommand(vlmapp::IDM_ABOUTBOX);
}

void QtMainDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1 && !mAboutMenuText.isEmpty()) {
    mLogic.OnSysCommand(vlmapp::IDM_ABOUTBOX);
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace vlmqt
