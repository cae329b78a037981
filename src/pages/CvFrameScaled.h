#pragma once

// A page laid out at 96 pixels per inch that, created on a screen of another resolution,
// scales itself and all its controls (positions, sizes and fonts) by dpi / 96 once.

#include "CvWizardPage.h"

class TFrameScaled : public TWizardPage {
  Q_OBJECT

 public:
  explicit TFrameScaled(QWidget* owner);

  // The factor a design made at 96 dpi needs on a screen of dpi pixels per inch.
  static double ScaleFactor(int dpi);
  // The factor applied so far (1 at 96 dpi).
  double AppliedScale() const { return applied_; }

 protected:
  // Called by a derived page at the end of its construction, when its controls exist:
  // scales for the screen the page is created on.
  void ScaleForScreen();
  // Scales the page and every control below it for a screen of dpi pixels per inch.
  void ScaleToDpi(int dpi);

 private:
  double applied_ = 1.0;
};
