#include "FraPageProgress.h"

#include "CvLanguage.h"
#include "CvLib.h"
#include "CvStrUtils.h"
#include "CvWizardFlow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

namespace {

const TLangText txtRate = {"%1/s, %2 left", "%1/s, nog %2", "%1/s, noch %2", "%1/s, %2 restant",
                           "%1/s, quedan %2", "%1/s, mancano %2", "%1/s, %2 tilbage", "%1/s, %2 kvar"};

QString Duration(double seconds) {
  const qint64 s = static_cast<qint64>(seconds + 0.5);
  const QString secs = QStringLiteral("%1").arg(s % 60, 2, 10, QLatin1Char('0'));
  if (s < 3600) return QStringLiteral("%1:%2").arg(s / 60).arg(secs);
  return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(secs);
}

QFont SmallBold(QFont f) {
  f.setBold(true);
  f.setPixelSize(11);
  return f;
}

}  // namespace

TFramePageProgress::TFramePageProgress(QWidget* owner) : TWizardPage(owner) {
  setObjectName(QStringLiteral("PageProgress"));
  // Double-buffered: Qt widgets paint into a back buffer already.
  resize(620, 370);

  panelSingle_ = new QWidget(this);
  panelSingle_->setObjectName(QStringLiteral("PanelProgressSingle"));
  panelSingle_->resize(580, 52);
  labelSingleHeader_ = new QLabel(panelSingle_);
  labelSingleHeader_->setObjectName(QStringLiteral("LabelProgressSingleHeader"));
  labelSingleHeader_->setGeometry(0, 0, 580, 16);
  labelSingleHeader_->setFont(SmallBold(labelSingleHeader_->font()));
  labelSingle_ = new QLabel(panelSingle_);
  labelSingle_->setObjectName(QStringLiteral("LabelProgressSingle"));
  labelSingle_->setGeometry(0, 16, 580, 16);
  barSingle_ = new QProgressBar(panelSingle_);
  barSingle_->setObjectName(QStringLiteral("ProgressBarSingle"));
  barSingle_->setGeometry(0, 34, 580, 18);
  barSingle_->setTextVisible(false);

  panelTotal_ = new QWidget(this);
  panelTotal_->setObjectName(QStringLiteral("PanelProgressTotal"));
  panelTotal_->resize(580, 37);
  labelTotal_ = new QLabel(panelTotal_);
  labelTotal_->setObjectName(QStringLiteral("LabelProgressTotal"));
  labelTotal_->setGeometry(0, 0, 580, 16);
  labelTotal_->setFont(SmallBold(labelTotal_->font()));
  // Beside the total line, right-aligned: the run's speed and the time it still needs.
  labelRate_ = new QLabel(panelTotal_);
  labelRate_->setObjectName(QStringLiteral("LabelProgressRate"));
  labelRate_->setGeometry(290, 0, 290, 16);
  labelRate_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  barTotal_ = new QProgressBar(panelTotal_);
  barTotal_->setObjectName(QStringLiteral("ProgressBarTotal"));
  barTotal_->setGeometry(0, 20, 580, 17);
  barTotal_->setTextVisible(false);

  for (QLabel* l : {labelSingleHeader_, labelSingle_, labelTotal_, labelRate_}) l->setTextFormat(Qt::PlainText);
  for (QProgressBar* b : {barSingle_, barTotal_}) {
    b->setRange(0, 100);
    b->setValue(0);
  }
}

void TFramePageProgress::PagePlaced() {
  labelSingleHeader_->clear();
  labelSingle_->clear();
  labelTotal_->clear();
  labelRate_->clear();
  PlacePanels();
}

void TFramePageProgress::resizeEvent(QResizeEvent* event) {
  TWizardPage::resizeEvent(event);
  // The window is resizable: keep the panels where placing put them, relative to the page.
  PlacePanels();
}

void TFramePageProgress::PlacePanels() {
  const bool singleVisible = !panelSingle_->isHidden();
  const bool totalVisible = !panelTotal_->isHidden();
  const TPanelPlacement p =
      ProgressPanelPlacement(width(), height(), panelSingle_->width(), panelSingle_->height(), singleVisible,
                             panelTotal_->width(), panelTotal_->height(), totalVisible);
  if (singleVisible && totalVisible) {
    panelSingle_->move(p.singleLeft, p.singleTop);
    panelTotal_->move(p.totalLeft, p.totalTop);
  } else if (totalVisible) {
    panelSingle_->move(p.singleLeft, panelSingle_->y());
    panelTotal_->move(p.totalLeft, p.totalTop);
  } else {
    panelSingle_->move(p.singleLeft, p.singleTop);
    panelTotal_->move(p.totalLeft, panelTotal_->y());
  }
}

void TFramePageProgress::Changed() {
  if (pump_) QCoreApplication::processEvents();
}

void TFramePageProgress::SetSingleHeader(const QString& text) {
  labelSingleHeader_->setText(text);
  Changed();
}

void TFramePageProgress::SetSingleText(const QString& text) {
  labelSingle_->setText(text);
  Changed();
}

void TFramePageProgress::SetSingleMax(int value) {
  barSingle_->setMaximum(value);
  Changed();
}

void TFramePageProgress::SetSinglePosition(int value) {
  barSingle_->setValue(value);
  Changed();
}

void TFramePageProgress::SetTotalText(const QString& text) {
  labelTotal_->setText(text);
  Changed();
}

void TFramePageProgress::SetTotalMax(int value) {
  barTotal_->setMaximum(value);
  Changed();
}

void TFramePageProgress::SetTotalPosition(int value) {
  barTotal_->setValue(value);
  Changed();
}

int TFramePageProgress::TotalPosition() const { return barTotal_->value(); }

void TFramePageProgress::SetTotalRate(double bytesPerSecond, double secondsLeft) {
  if (bytesPerSecond < 0 || secondsLeft < 0 || secondsLeft > 1e7)
    labelRate_->clear();
  else
    labelRate_->setText(LangText(txtRate).arg(SizeToStr(suKB | suMB | suGB, 1, true,
                                                        static_cast<std::int64_t>(bytesPerSecond)),
                                              Duration(secondsLeft)));
  Changed();
}
