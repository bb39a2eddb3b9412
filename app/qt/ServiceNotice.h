#pragma once
// The main dialog's one-line notice that the driver service cannot be
// reached. The library then lists no devices, exactly as when none is
// plugged in; so the view asks the service itself, once now and then once a
// second, and says which socket it tried and what to do. The notice is
// hidden while the service answers.
#include <QLabel>
#include <QTimer>
#include <cstdint>
#include <optional>

namespace vlmqt {

class ServiceNotice final : public QLabel {
  Q_OBJECT

 public:
  static constexpr int kCheckPeriodMs = 1000;

  explicit ServiceNotice(QWidget* parent);
  // Asks the service now; shows or hides the notice and signals a change.
  void Check();

 signals:
  // The service answers again (or for the first time after a failed check).
  void serviceAppeared();
  // The service stopped answering.
  void serviceLost();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowText(const QString& text);

  QTimer mTimer;
  QString mFullText;
  std::optional<uint32_t> mLastError;  // 0: the service answered
};

}  // namespace vlmqt
