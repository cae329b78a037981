#pragma once

// The please-wait window: a small always-on-top window shown while a long step runs.

#include <QWidget>

class QLabel;
class QProgressBar;

enum TFormMessageKind : int {
  fmkInitializingCharts = 0,
  fmkDownloadingProducts = 1,
  fmkDownloadingUpdate = 2,
};

class TFormMessage final : public QWidget {
  Q_OBJECT

 public:
  explicit TFormMessage(TFormMessageKind kind, QWidget* parent = nullptr);

  // Shows the window and paints it at once, before the caller goes on.
  void ShowNow();

  QLabel* LabelMessage() const { return labelMessage_; }
  QLabel* LabelProgress() const { return labelProgress_; }
  // An indeterminate bar under the two lines: something moves while the step runs.
  QProgressBar* BusyIndicator() const { return busy_; }

 private:
  QLabel* labelMessage_ = nullptr;
  QLabel* labelProgress_ = nullptr;
  QProgressBar* busy_ = nullptr;
};

// The application title, caption of the main window and of the program's message boxes.
QString ApplicationTitle();
