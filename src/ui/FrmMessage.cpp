#include "FrmMessage.h"

#include "CvLanguage.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

namespace {

const TLangText txtInitializingCharts = {"Initializing chart information",
                                         "Kaartinformatie wordt geïnitialiseerd",
                                         "Karteninformationen werden initialisiert"};
const TLangText txtDownloadingProducts = {"Downloading product information",
                                          "Productinformatie wordt gedownload",
                                          "Produktinformationen werden heruntergeladen"};
const TLangText txtDownloadingUpdate = {"Downloading update information",
                                        "Update-informatie wordt gedownload",
                                        "Update-Informationen werden heruntergeladen"};
const TLangText txtPleaseWait = {"Please wait...", "Even geduld...", "Bitte warten..."};

constexpr int kWidth = 360;
constexpr int kHeight = 75;

}  // namespace

QString ApplicationTitle() { return QStringLiteral("Corvane Software Installer"); }

TFormMessage::TFormMessage(TFormMessageKind kind, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint) {
  setWindowTitle(ApplicationTitle());
  setWindowModality(Qt::ApplicationModal);
  const TLangText* first = &txtInitializingCharts;
  if (kind == fmkDownloadingProducts) first = &txtDownloadingProducts;
  if (kind == fmkDownloadingUpdate) first = &txtDownloadingUpdate;

  labelMessage_ = new QLabel(LangText(*first), this);
  labelMessage_->setObjectName(QStringLiteral("LabelMessage"));
  labelProgress_ = new QLabel(LangText(txtPleaseWait), this);
  labelProgress_->setObjectName(QStringLiteral("LabelProgress"));
  QFont bold = labelMessage_->font();
  bold.setBold(true);
  labelMessage_->setFont(bold);
  for (QLabel* label : {labelMessage_, labelProgress_}) label->setAlignment(Qt::AlignCenter);

  // Without something that moves the window looks frozen while the step runs.
  busy_ = new QProgressBar(this);
  busy_->setObjectName(QStringLiteral("BusyIndicator"));
  busy_->setRange(0, 0);
  busy_->setTextVisible(false);
  busy_->setFixedHeight(10);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 6, 12, 8);
  layout->setSpacing(4);
  layout->addWidget(labelMessage_);
  layout->addWidget(labelProgress_);
  layout->addWidget(busy_);
  setFixedSize(kWidth, kHeight);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - kWidth) / 2, area.y() + (area.height() - kHeight) / 2);
  }
}

void TFormMessage::ShowNow() {
  show();
  raise();
  repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
