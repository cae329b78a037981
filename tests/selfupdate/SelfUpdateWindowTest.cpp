// The self-update window against the real update service: history, download, signature
// check, closing, and the failures around them. Message boxes are answered by the recorder.
#include "BoxRecorder.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvUpdateSignature.h"
#include "FrmWizardUpdate.h"
#include "SelfUpdateSupport.h"
#include "TestEnv.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QImage>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace sutest;

namespace {

TFormWizardUpdate* ShownWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* form = qobject_cast<TFormWizardUpdate*>(w); form && form->isVisible()) return form;
  return nullptr;
}

QString RecordedUpdate() {
  return GetAppReg().ReadString(rrSettings, "Update", "Filename", QStringLiteral("<none>"));
}

// A history long enough that every section starts below the first screen.
QByteArray History(const QStringList& codes) {
  QByteArray html = "<html><body><p>Release notes</p>";
  for (int i = 0; i < 30; ++i) html += "<p>Introduction line " + QByteArray::number(i) + "</p>";
  for (const QString& code : codes) {
    html += "<h2><a name=\"" + code.toLatin1() + "\"></a>" + code.toLatin1() + "</h2>";
    for (int i = 0; i < 30; ++i) html += "<p>" + code.toLatin1() + " change " + QByteArray::number(i) + "</p>";
  }
  return html + "</body></html>";
}

class SelfUpdateWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
    content.SetInstaller("#!/bin/sh\necho new installer\n");
    ASSERT_TRUE(service.Start(content.Root()));
    qputenv("CORVANE_PUS_URL", service.URL().toUtf8());
    GetAppReg().DeleteValue(rrSettings, "Update", "Filename");
    SetCurrentLanguage(lgEnglish);
  }
  void TearDown() override {
    SetCurrentLanguage(lgEnglish);
    qunsetenv("CORVANE_PUS_URL");
  }

  // RunSelfUpdate with a script that acts on the window once it is shown. A window the
  // script leaves open is closed, so that a failing test does not hang.
  bool Run(const std::function<void(TFormWizardUpdate&)>& script) {
    shown = false;
    // Posted, not a timer: no timer would fire while the script runs inside one.
    QMetaObject::invokeMethod(qApp, [&] {
      if (!WaitUntil([] { return ShownWindow() != nullptr; })) return;
      shown = true;
      QPointer<TFormWizardUpdate> form = ShownWindow();
      script(*form);
      if (form && form->isVisible()) {
        ADD_FAILURE() << "the window is still open at the end of the script";
        form->reject();
      }
    }, Qt::QueuedConnection);
    return RunSelfUpdate();
  }

  static bool HistoryShown(TFormWizardUpdate& form) {
    return WaitUntil([&] {
      return !form.FirstActivation() && !form.Client()->IsBusy() && !form.PleaseWaitShown();
    });
  }

  TContent content;
  TService service;
  cvtest::BoxRecorder boxes;
  bool shown = false;
};

TEST_F(SelfUpdateWindow, HistoryOpensAtTheLanguagesSection) {
  const struct {
    int language;
    QStringList codes;
    const char* section;
  } cases[] = {
      {lgDanish, {"EN", "NL", "DE", "FR", "SP", "IT", "DK", "SW"}, "DK"},
      {lgDanish, {"EN", "NL"}, "EN"},
      {lgDanish, {"NL", "DE"}, ""},
      {lgDutch, {"EN", "NL"}, "NL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codes.join(',').toStdString() + " in " + std::to_string(c.language));
    content.SetHistory(History(c.codes));
    SetCurrentLanguage(c.language);
    boxes.Clear();
    EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
      ASSERT_TRUE(HistoryShown(form));
      EXPECT_EQ(form.HistorySection(), QString::fromLatin1(c.section));
      const int scrolled = form.HTMLHistory()->verticalScrollBar()->value();
      if (*c.section) {
        EXPECT_GT(scrolled, 0);
      } else {
        EXPECT_EQ(scrolled, 0);
      }
      EXPECT_TRUE(form.HTMLHistory()->toPlainText().contains("change 29"));
      form.ButtonClose()->click();
    }));
    EXPECT_TRUE(shown);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
  }
}

TEST_F(SelfUpdateWindow, EmptyHistoryAndTheWindowsTexts) {
  content.SetHistory("");
  SetCurrentLanguage(lgDutch);
  EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(HistoryShown(form));
    EXPECT_EQ(form.HTMLHistory()->toPlainText(), "<geen aanvullende informatie>");
    EXPECT_EQ(form.windowTitle(), "Corvane Software Installer bijwerken");
    EXPECT_EQ(form.ButtonClose()->text(), "&Sluiten");
    EXPECT_EQ(form.LabelProgram()->text(), "Corvane Software Installer");
    EXPECT_EQ(form.LabelVersion()->text(), VersionToStr(GetProgInfo().Version, 4));
    EXPECT_FALSE(form.LabelVersion()->text().startsWith('v'));
    EXPECT_FALSE(form.GroupProgress()->isVisible());
    EXPECT_EQ(form.minimumSize(), form.maximumSize());  // fixed size
    form.ButtonClose()->click();
  }));
  EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(SelfUpdateWindow, TheHistoryLoadsNothingFromOutside) {
  // A history from a hostile server naming local files: an image (it could as well be
  // /dev/zero), a style sheet, and a link.
  const QString folder = cvtest::MakeTempFolder("local");
  QImage picture(50, 40, QImage::Format_RGB32);
  picture.fill(Qt::red);
  ASSERT_TRUE(picture.save(folder + "/picture.png"));
  WriteFile(folder + "/style.css", "p { color: red }");
  WriteFile(folder + "/notes.html", "<p>SECRET</p>");
  const QByteArray f = folder.toUtf8();
  content.SetHistory("<html><head><link rel=\"stylesheet\" href=\"" + f + "/style.css\"></head>"
                     "<body><p><a name=\"EN\"></a>English</p><img src=\"" + f + "/picture.png\">"
                     "<img src=\"file://" + f + "/picture.png\"><p>" + f + "</p></body></html>");
  EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(HistoryShown(form));
    EXPECT_EQ(form.HistorySection(), "EN");
    QTextDocument* document = form.HTMLHistory()->document();
    for (const QString& url : {folder + "/picture.png", "file://" + folder + "/picture.png"}) {
      const QImage loaded = document->resource(QTextDocument::ImageResource, QUrl(url)).value<QImage>();
      EXPECT_NE(loaded.size(), QSize(50, 40)) << url.toStdString();
    }
    EXPECT_NE(document->resource(QTextDocument::StyleSheetResource, QUrl(folder + "/style.css")).toString(),
              "p { color: red }");
    // A link to a local file is not opened inside the view.
    emit form.HTMLHistory()->anchorClicked(QUrl::fromLocalFile(folder + "/notes.html"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.HTMLHistory()->toPlainText().contains("SECRET"));
    form.ButtonClose()->click();
  }));
  EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(SelfUpdateWindow, DownloadRecordsTheVerifiedInstaller) {
  QString folder;
  EXPECT_TRUE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(HistoryShown(form));
    folder = form.DownloadFolder();
    form.ButtonDownload()->click();
    EXPECT_FALSE(form.ButtonDownload()->isEnabled());
    EXPECT_FALSE(form.PanelHistory()->isVisible());
    EXPECT_TRUE(form.GroupProgress()->isVisible());
    ASSERT_TRUE(WaitUntil([&] { return !form.isVisible(); }));
  }));
  const QString installer = folder + TContent::InstallerName();
  EXPECT_EQ(RecordedUpdate(), installer);
  EXPECT_EQ(ReadFile(installer), "#!/bin/sh\necho new installer\n");
  TUpdateManifest manifest;
  EXPECT_EQ(VerifyUpdateFile(installer, SelfUpdateProductGUID(), GetProgInfo().Version, &manifest), scValid);
  EXPECT_EQ(VersionToStr(manifest.Version, 4), "9.0.0.0");
  // The folder is the user's alone, and named as the temporary folders of updates are.
  struct stat st {};
  ASSERT_EQ(::stat(folder.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(folder.startsWith(QDir::tempPath() + "/Deployer Update")) << folder.toStdString();
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].kind, mtInformation);
  EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
  EXPECT_EQ(boxes.texts[0], "The program update has been downloaded successfully.\r\n\r\n"
                            "Click 'Ok' to proceed and install the update.");
}

TEST_F(SelfUpdateWindow, AnInstallerThatFailsItsSignatureIsRefused) {
  const QString otherKey = MakeOtherKey();
  const QByteArray good = "#!/bin/sh\necho new installer\n";
  const struct {
    const char* name;
    std::function<void()> prepare;
    const char* reason;
  } cases[] = {
      {"changed after signing", [&] {
         content.SetInstaller(good);
         WriteFile(content.InstallerPath(), "#!/bin/sh\necho evil installer\n");
       }, "it was changed after it was signed"},
      {"no signature", [&] { content.SetInstaller(good, false); }, "The update has no signature."},
      {"signed by another key", [&] {
         content.SetInstaller(good, false);
         ASSERT_TRUE(SignFile(otherKey, content.InstallerPath()));
       }, "not signed by Corvane Software"},
      {"signature damaged", [&] {
         content.SetInstaller(good);
         WriteFile(content.InstallerPath() + ".sig", "not a signature");
       }, "damaged"},
      {"a bare signature of the installer alone", [&] {
         content.SetInstaller(good, false);
         ASSERT_TRUE(OpenSsl({"pkeyutl", "-sign", "-rawin", "-inkey", BuildSigningKey(), "-in",
                              content.InstallerPath(), "-out", content.InstallerPath() + ".sig"}));
       }, "damaged"},
      // An installer we once signed for this very release of the program, or an older one,
      // served while the service claims 9.0.0.0.
      {"rollback to the running version", [&] { content.SetInstaller(good, true, VersionToStr(GetProgInfo().Version, 4)); },
       "not newer than this program"},
      {"rollback to an older version", [&] { content.SetInstaller(good, true, "0.9.0.0"); },
       "not newer than this program"},
      {"signed for another product", [&] {
         content.SetInstaller(good, false);
         ASSERT_TRUE(SignFile(BuildSigningKey(), content.InstallerPath(), "9.0.0.0",
                              "{6D3C1A52-0F4B-4C55-9E0B-2B1E3A7C9D10}"));
       }, "signed for another product"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    boxes.Clear();
    QString folder;
    EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
      ASSERT_TRUE(HistoryShown(form));
      folder = form.DownloadFolder();
      form.ButtonDownload()->click();
      ASSERT_TRUE(WaitUntil([&] { return !form.Client()->IsBusy(); }));
      // Refused: the window stays, with nothing left to start in its folder.
      EXPECT_TRUE(form.isVisible());
      EXPECT_FALSE(form.ButtonDownload()->isEnabled());
      EXPECT_FALSE(QFileInfo::exists(folder + TContent::InstallerName()));
      EXPECT_FALSE(QFileInfo::exists(folder + TContent::InstallerName() + ".sig"));
      form.ButtonClose()->click();
    }));
    EXPECT_EQ(RecordedUpdate(), "<none>");
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].kind, mtError);
    EXPECT_TRUE(boxes.texts[0].contains(c.reason)) << boxes.texts[0].toStdString();
    EXPECT_FALSE(QFileInfo::exists(folder)) << "the run's folder is removed";
  }
}

TEST_F(SelfUpdateWindow, ClosingDuringTheDownloadStartsNothing) {
  content.SetLargeInstaller(512LL * 1024 * 1024);
  QString folder;
  int progressAtClose = -1;
  int sizeAtClose = -1;
  EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(HistoryShown(form));
    folder = form.DownloadFolder();
    QObject::connect(form.ProgressBar(), &QProgressBar::valueChanged, &form, [&](int value) {
      if (value > 0 && progressAtClose < 0 && form.ProgressBar()->maximum() > 1000) {
        progressAtClose = value;
        sizeAtClose = form.ProgressBar()->maximum();
        form.ButtonClose()->click();
      }
    });
    form.ButtonDownload()->click();
    ASSERT_TRUE(WaitUntil([&] { return !form.isVisible(); }));
  }));
  EXPECT_GT(progressAtClose, 0);
  EXPECT_LT(progressAtClose, sizeAtClose);
  EXPECT_EQ(RecordedUpdate(), "<none>");
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
  EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST_F(SelfUpdateWindow, ServerGoneDuringTheDownload) {
  content.SetLargeInstaller(512LL * 1024 * 1024);
  EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(HistoryShown(form));
    bool stopped = false;
    QObject::connect(form.ProgressBar(), &QProgressBar::valueChanged, &form, [&](int value) {
      if (value > 0 && !stopped && form.ProgressBar()->maximum() > 1000) {
        stopped = true;
        service.Stop();
      }
    });
    form.ButtonDownload()->click();
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes.isEmpty(); }, 60000));
    // The client's error box; the window stays as it was, to be closed by the user.
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.ButtonDownload()->isEnabled());
    EXPECT_TRUE(form.GroupProgress()->isVisible());
    EXPECT_LT(form.ProgressBar()->value(), form.ProgressBar()->maximum());
    form.ButtonClose()->click();
  }));
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].kind, mtWarning);
  EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
  EXPECT_FALSE(boxes.texts[0].isEmpty());
  EXPECT_EQ(RecordedUpdate(), "<none>");
}

TEST_F(SelfUpdateWindow, HistoryRequestFails) {
  service.Stop();
  EXPECT_FALSE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes.isEmpty(); }));
    // The please-wait window went before the box; the window stays.
    EXPECT_FALSE(form.PleaseWaitShown());
    EXPECT_TRUE(form.isVisible());
    form.ButtonClose()->click();
  }));
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("10061"))  // connection refused
      << boxes.texts[0].toStdString();
}

TEST_F(SelfUpdateWindow, TheShippedInstallerComesSignedFromTheDemoService) {
  // The build's copy of the service's own content, as deployer-service --demo serves it.
  TService shipped;
  ASSERT_TRUE(shipped.Start(cvtest::BinDir() + "/../service/content"));
  qputenv("CORVANE_PUS_URL", shipped.URL().toUtf8());
  SetCurrentLanguage(lgGerman);
  EXPECT_TRUE(Run([&](TFormWizardUpdate& form) {
    ASSERT_TRUE(HistoryShown(form));
    EXPECT_EQ(form.HistorySection(), "DE");
    form.ButtonDownload()->click();
    ASSERT_TRUE(WaitUntil([&] { return !form.isVisible(); }));
  }));
  EXPECT_TRUE(RecordedUpdate().endsWith("/DeployerSetup-1.1.0.0.sh"));
  TUpdateManifest manifest;
  EXPECT_EQ(VerifyUpdateFile(RecordedUpdate(), SelfUpdateProductGUID(), GetProgInfo().Version, &manifest), scValid);
  // The build signed it for the version its product.json names.
  EXPECT_EQ(VersionToStr(manifest.Version, 4), "1.1.0.0");
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith("Das Programm-Update wurde erfolgreich heruntergeladen."));
}

// Records whether a window of the given class was ever shown.
class TShowWatch final : public QObject {
 public:
  TShowWatch() { qApp->installEventFilter(this); }
  ~TShowWatch() override { qApp->removeEventFilter(this); }
  bool shown = false;

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Show && qobject_cast<TFormWizardUpdate*>(object)) shown = true;
    return false;
  }
};

TEST_F(SelfUpdateWindow, NoTemporaryFolderNoWindow) {
  // The temporary folder lies below a file: nothing can be made there.
  const QString blocker = cvtest::MakeTempFolder("tmp") + "/file";
  WriteFile(blocker, "x");
  const QByteArray tmp = qgetenv("TMPDIR");
  qputenv("TMPDIR", (blocker + "/tmp").toUtf8());
  TShowWatch watch;
  const bool result = RunSelfUpdate();
  qputenv("TMPDIR", tmp);
  EXPECT_FALSE(result);
  EXPECT_FALSE(watch.shown);
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].kind, mtError);
  EXPECT_TRUE(boxes.texts[0].startsWith("Cannot create the temporary directory \"" + blocker +
                                        "/tmp/Deployer Update\" to store the update file. Reason: "))
      << boxes.texts[0].toStdString();
  WaitUntil([] { return false; }, 200);
  EXPECT_FALSE(service.Log().contains("POST")) << "no request is made";
  EXPECT_EQ(RecordedUpdate(), "<none>");
}

}  // namespace
