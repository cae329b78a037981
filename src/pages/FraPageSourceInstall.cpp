#include "FraPageSourceInstall.h"

// First cut: the interface only; the rules follow.
TFramePageSourceInstall::TFramePageSourceInstall(QWidget* parent) : QWidget(parent) {}
void TFramePageSourceInstall::SetParent(QWidget* parent) { setParent(parent); }
bool TFramePageSourceInstall::Check() { return false; }
void TFramePageSourceInstall::Scan() {}
void TFramePageSourceInstall::Load() {}
void TFramePageSourceInstall::changeEvent(QEvent* event) { QWidget::changeEvent(event); }
