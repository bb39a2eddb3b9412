#pragma once
// The message boxes and the open-file chooser of the views. The default
// implementation shows the toolkit's own dialogs; tests hand in their own.
#include <QWidget>
#include <optional>
#include <string>

#include "DialogViews.h"

namespace vlmqt {

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;
  virtual vlmapp::MessageAnswer ShowMessageBox(QWidget* owner, const vlmapp::MessageBoxRequest& request);
  virtual std::optional<std::string> ChooseOpenFile(QWidget* owner, const vlmapp::OpenFileRequest& request);
};

}  // namespace vlmqt
