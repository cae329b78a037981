#include "CvFrameScaled.h"

#include <QLayout>

#include <cmath>

namespace {

int Scaled(int value, double factor) { return static_cast<int>(std::lround(value * factor)); }

QRect Scaled(const QRect& r, double factor) {
  return QRect(Scaled(r.x(), factor), Scaled(r.y(), factor), Scaled(r.width(), factor), Scaled(r.height(), factor));
}

}  // namespace

TFrameScaled::TFrameScaled(QWidget* owner) : TWizardPage(owner) {
  // No automatic scroll bars: a frame is not a scroll area, nothing to switch off.
}

double TFrameScaled::ScaleFactor(int dpi) { return dpi > 0 ? dpi / 96.0 : 1.0; }

void TFrameScaled::ScaleForScreen() { ScaleToDpi(logicalDpiY()); }

void TFrameScaled::ScaleToDpi(int dpi) {
  const double factor = ScaleFactor(dpi);
  if (factor == 1.0) return;
  resize(Scaled(width(), factor), Scaled(height(), factor));
  for (QWidget* child : findChildren<QWidget*>()) {
    child->setGeometry(Scaled(child->geometry(), factor));
    if (child->minimumWidth() > 0 || child->minimumHeight() > 0)
      child->setMinimumSize(Scaled(child->minimumWidth(), factor), Scaled(child->minimumHeight(), factor));
    if (child->maximumWidth() < QWIDGETSIZE_MAX && child->maximumHeight() < QWIDGETSIZE_MAX)
      child->setMaximumSize(Scaled(child->maximumWidth(), factor), Scaled(child->maximumHeight(), factor));
  }
  QList<QWidget*> withFonts = findChildren<QWidget*>();
  withFonts.prepend(this);
  for (QWidget* w : withFonts) {
    // Fonts in pixels, set on the control itself; point sizes follow the screen already and
    // inherited fonts follow their parent's.
    if (!w->testAttribute(Qt::WA_SetFont) || !(w->font().resolveMask() & QFont::SizeResolved) ||
        w->font().pixelSize() <= 0)
      continue;
    QFont f = w->font();
    f.setPixelSize(Scaled(f.pixelSize(), factor));
    w->setFont(f);
  }
  applied_ *= factor;
}
