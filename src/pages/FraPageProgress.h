#pragma once

// The progress page: a group for the current item or file (header, line, bar) and a group
// for the whole run (line, bar). It has no logic of its own; the runs write to it. With the
// pump flag set, every setter lets the event loop run once after changing its control.

#include "CvRunProgress.h"
#include "CvWizardPage.h"

class QLabel;
class QProgressBar;

// The runs write to it through TRunProgress; the speed and time left of a run show beside the
// total line.
class TFramePageProgress final : public TWizardPage, public TRunProgress {
  Q_OBJECT

 public:
  explicit TFramePageProgress(QWidget* owner);

  void SetSingleHeader(const QString& text) override;
  void SetSingleText(const QString& text) override;
  void SetSingleMax(int value) override;
  void SetSinglePosition(int value) override;
  void SetTotalText(const QString& text) override;
  void SetTotalMax(int value) override;
  void SetTotalPosition(int value) override;
  int TotalPosition() const override;
  void SetTotalRate(double bytesPerSecond, double secondsLeft) override;

  bool Pump() const { return pump_; }
  void SetPump(bool pump) { pump_ = pump; }

  QWidget* PanelProgressSingle() const { return panelSingle_; }
  QWidget* PanelProgressTotal() const { return panelTotal_; }
  QLabel* LabelProgressSingleHeader() const { return labelSingleHeader_; }
  QLabel* LabelProgressSingle() const { return labelSingle_; }
  QProgressBar* ProgressBarSingle() const { return barSingle_; }
  QLabel* LabelProgressTotal() const { return labelTotal_; }
  QProgressBar* ProgressBarTotal() const { return barTotal_; }
  QLabel* LabelProgressRate() const { return labelRate_; }

 protected:
  void PagePlaced() override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PlacePanels();
  void Changed();

  QWidget* panelSingle_ = nullptr;
  QLabel* labelSingleHeader_ = nullptr;
  QLabel* labelSingle_ = nullptr;
  QProgressBar* barSingle_ = nullptr;
  QWidget* panelTotal_ = nullptr;
  QLabel* labelTotal_ = nullptr;
  QProgressBar* barTotal_ = nullptr;
  QLabel* labelRate_ = nullptr;
  bool pump_ = true;
};
