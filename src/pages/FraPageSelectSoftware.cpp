#include "FraPageSelectSoftware.h"

// First cut: the interface only; the tree and its rules follow.
TFramePageSelectSoftware::TFramePageSelectSoftware(TInstalledCharts* installedCharts, ChartCheck* chartCheck,
                                                   QWidget* parent)
    : QWidget(parent), installedCharts_(installedCharts), chartCheck_(chartCheck) {}
TFramePageSelectSoftware::~TFramePageSelectSoftware() = default;
void TFramePageSelectSoftware::SetParent(QWidget* parent) { setParent(parent); }
void TFramePageSelectSoftware::Clear() { products_.Clear(); }
void TFramePageSelectSoftware::AddProduct(ProductRecord* record) { products_.Add(record); }
void TFramePageSelectSoftware::SetMode(int mode) { mode_ = mode; }
void TFramePageSelectSoftware::SetFreeSpace(std::int64_t bytes) { freeSpace_ = bytes; }
bool TFramePageSelectSoftware::ValidateSelection() { return false; }
void TFramePageSelectSoftware::BuildTree() {}
void TFramePageSelectSoftware::RecomputeSpace() {}
void TFramePageSelectSoftware::changeEvent(QEvent* event) { QWidget::changeEvent(event); }
void TFramePageSelectSoftware::ApplyTexts() {}
