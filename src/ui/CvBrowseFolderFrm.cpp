#include "CvBrowseFolderFrm.h"

#include "CvLanguage.h"
#include "CvShellView.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

TFormBrowseFolder::TFormBrowseFolder(bool readOnly, TBrowseFolderKind kind, TBrowseDirOptions options,
                                     const QString& folder, const QString& title, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      options_(options) {
  setObjectName(QStringLiteral("FormBrowseFolder"));
  setWindowTitle(!title.isEmpty() ? title
                                  : LangText(kind == bkOpen ? ctSelectSourceFolder : ctSelectDestinationFolder));
  resize(361, 300);
  setMinimumSize(300, 300);
  setSizeGripEnabled(true);

  tree_ = new TShellTreeViewEx(this);
  tree_->setObjectName(QStringLiteral("ShellTree"));
  tree_->SetReadOnly(readOnly);
  buttonNewFolder_ = new QPushButton(LangText(ctNewFolder), this);
  buttonNewFolder_->setObjectName(QStringLiteral("ButtonNewFolder"));
  buttonOK_ = new QPushButton(LangText(ctBtnOK), this);
  buttonOK_->setObjectName(QStringLiteral("ButtonOK"));
  buttonCancel_ = new QPushButton(LangText(ctBtnCancel), this);
  buttonCancel_->setObjectName(QStringLiteral("ButtonCancel"));
  for (QPushButton* b : {buttonNewFolder_, buttonOK_, buttonCancel_}) b->setFixedSize(100, 25);
  buttonNewFolder_->setVisible(options & bfNewFolder);
  buttonNewFolder_->setAutoDefault(false);
  buttonOK_->setDefault(true);

  auto* row = new QHBoxLayout;
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(buttonNewFolder_);
  row->addStretch();
  row->addWidget(buttonOK_);
  row->addWidget(buttonCancel_);
  auto* rowWidget = new QWidget(this);
  rowWidget->setFixedHeight(30);
  rowWidget->setLayout(row);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(2);
  layout->addWidget(tree_, 1);
  layout->addWidget(rowWidget);

  connect(buttonOK_, &QPushButton::clicked, this, &QDialog::accept);
  connect(buttonCancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(buttonNewFolder_, &QPushButton::clicked, tree_, [this] { tree_->CreateNewFolder(); });
  tree_->OnFolderSelect = [this](TShellTreeViewEx*, const TShellData* data) { FolderSelected(data); };

  FolderSelected(tree_->SelectedData());
  const QString start = StartFolder(folder);
  if (!start.isEmpty()) tree_->SelectPath(start);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }
}

QString TFormBrowseFolder::StartFolder(const QString& folder) {
  if (folder.isEmpty()) return {};
  QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  while (path.size() > 1 && !QFileInfo(path).isDir()) path = QFileInfo(path).path();
  return path;
}

void TFormBrowseFolder::FolderSelected(const TShellData* data) {
  const QString path = data ? data->path : QString();
  const QFileInfo info(path);
  const bool isDir = !path.isEmpty() && info.isDir();
  // A folder without its owner's write bit counts as read-only, even for a user who could
  // write there anyway.
  const bool readOnly = !(info.permissions() & QFileDevice::WriteOwner) || !info.isWritable();
  buttonOK_->setEnabled(isDir && (!(options_ & bfNoReadOnlyReturn) || !readOnly));
  buttonNewFolder_->setEnabled(isDir);
}
