#include "ApplicationSetup.h"

#include <QApplication>

#include "AppIcon.h"
#include "AppVersion.h"
#include "DialogUnits.h"

namespace vlmqt {

void SetUpApplication() {
  QApplication::setApplicationVersion(VLMAPP_VERSION_TEXT);
  QApplication::setOrganizationName(kSettingsOrganization);
  QApplication::setApplicationName(kSettingsApplication);
  QApplication::setDesktopFileName(kDesktopEntryName);
  QApplication::setWindowIcon(AppIcon());
  QApplication::setFont(DialogFont());
}

}  // namespace vlmqt
