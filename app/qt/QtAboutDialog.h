#pragma once
// The About box (template 100): program icon, the About text, "OK".
#include <QDialog>

namespace vlmqt {

class QtAboutDialog final : public QDialog {
  Q_OBJECT

 public:
  QtAboutDialog(const QString& text, QWidget* parent);

 protected:
  void showEvent(QShowEvent* event) override;
};

}  // namespace vlmqt
