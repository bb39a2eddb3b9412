#pragma once
// Where a dialog opens: centred over the window of its owner (the main
// dialog), whatever the window system guesses about frames, and kept on the
// owner's screen. Called from a dialog's showEvent, once its size is final
// and before the window system shows it.
#include <QWidget>

namespace vlmqt {

void CentreOverOwner(QWidget* dialog);

// A toolkit dialog (message box, file dialog) placed that way.
template <typename Dialog>
class CentredOverOwner final : public Dialog {
 public:
  using Dialog::Dialog;

 protected:
  void showEvent(QShowEvent* event) override {
    Dialog::showEvent(event);
    CentreOverOwner(this);
  }
};

}  // namespace vlmqt
