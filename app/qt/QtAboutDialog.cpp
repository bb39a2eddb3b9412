#include "QtAboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "AppIcon.h"
#include "DialogUnits.h"
#include "DialogViews.h"
#include "WindowPlacement.h"

namespace vlmqt {

QtAboutDialog::QtAboutDialog(const QString& text, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("100");
  setWindowTitle("About");
  setFont(DialogFont());
  const DialogUnits du(font());
  setFixedSize(du.X(228), du.Y(60));

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->move(du.X(181), du.Y(11));
  icon->resize(32, 32);
  auto* label = new QLabel(text, this);
  label->setObjectName(QString::number(vlmapp::IDC_ABOUT_TEXT));
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label->setGeometry(du.Rect(7, 10, 149, 41));
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName(QString::number(vlmapp::IDC_ABOUT_OK));
  ok->setGeometry(du.Rect(166, 37, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void QtAboutDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CentreOverOwner(this);
}

}  // namespace vlmqt
