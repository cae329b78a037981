#pragma once

// The progress page: a group for the current item or file (header, line, bar) and a group
// for the whole run (line, bar). It has no logic of its own; the runs write to it. With the
// pump flag set, every setter lets the event loop run once after changing its control.

#include "CvWizardPage.h"

class QLabel;
class QProgressBar;

class TFramePageProgress final : public TWizardPage {
  Q_OBJECT

 public:
  explicit TFramePageProgress(QWidget* owner);

  void SetSingleHeader(const QString& text);
  void SetSingleText(const QString& text);
  void SetSingleMax(int value);
  void SetSinglePosition(int value);
  void SetTotalText(const QString& text);
  void SetTotalMax(int value);
  void SetTotalPosition(int value);
  int TotalPosition() const;
  // Speed and time left of the run, beside the total line; negative values: not known yet
  // (the label is emptied).
  void SetTotalRate(double bytesPerSecond, double secondsLeft);

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
  QLabel* labelRate_ = nullptr;
  QProgressBar* barTotal_ = nullptr;
  bool pump_ = true;
};
