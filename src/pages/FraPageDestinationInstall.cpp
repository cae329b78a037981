#include "FraPageDestinationInstall.h"

// First cut: the interface only; the rules follow.
TFramePageDestinationInstall::TFramePageDestinationInstall(QWidget* parent) : QWidget(parent) {}
void TFramePageDestinationInstall::SetParent(QWidget* parent) { setParent(parent); }
void TFramePageDestinationInstall::SetMode(int mode) { mode_ = mode; }
void TFramePageDestinationInstall::SetRequiredSpace(std::int64_t bytes) { requiredSpace_ = bytes; }
QString TFramePageDestinationInstall::ChosenFolder() const { return {}; }
bool TFramePageDestinationInstall::Check() { return false; }
void TFramePageDestinationInstall::Load() {}
void TFramePageDestinationInstall::Refresh() {}
void TFramePageDestinationInstall::changeEvent(QEvent* event) { QWidget::changeEvent(event); }
void TFramePageDestinationInstall::resizeEvent(QResizeEvent* event) { QWidget::resizeEvent(event); }
