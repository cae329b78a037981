// The chart-check engine against the real deployer-service with the demo catalogue: sign-in,
// remembered sign-in, product and file lists, downloads (also broken off and resumed), a
// second operation while one runs, and a backup written and read back.
#include "IntegrationFixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <set>
#include <tuple>

using namespace cvtest;

namespace {

const QString kAccount = QStringLiteral("Account");

class EngineOnDemo : public ::testing::Test {
 protected:
  void SetUp() override {
    GetAppReg().DeleteKey(rrSettings, kAccount);
    engine = std::make_unique<EngineOnService>(DemoService().url);
  }
  void TearDown() override { GetAppReg().DeleteKey(rrSettings, kAccount); }

  ChartCheck& Check() { return *engine->check; }

  // Signs in and lists the files of a selection; the item asked for.
  InstallItem* ListedItem(int product, int mask) {
    EXPECT_EQ(engine->SignIn(DemoCredentials()), 0);
    EXPECT_EQ(engine->FileList({{product, mask}}), 0);
    InstallItem* item = engine->FindItem(product, mask);
    EXPECT_NE(item, nullptr);
    return item;
  }

  // The file is complete: right size, SHA-256 and modification time, no part file beside it.
  static void ExpectIntact(const QString& path, const InstallItem& item, int file) {
    const QFileInfo info(path);
    ASSERT_TRUE(info.isFile()) << path.toStdString();
    EXPECT_EQ(info.size(), item.FileSize(file));
    EXPECT_EQ(Sha256OfFile(path), item.FileSha256(file).toLatin1());
    EXPECT_EQ(info.lastModified().toSecsSinceEpoch(), item.FileTime(file));
    const QFileInfo where(path);
    EXPECT_FALSE(QFile::exists(cvlib::DownloadPartPath(where.path(), where.fileName())));
  }

  std::unique_ptr<EngineOnService> engine;
};

TEST_F(EngineOnDemo, SignInTakesTheAccountAndRefusesWrongCredentials) {
  const QString email = DemoService().email, password = DemoService().password;
  struct Case {
    QString text;
    int error;
  };
  const Case cases[] = {
      {email + ";wrong-" + password, 4},
      {"nobody@corvane.example;" + password, 4},
      {email + ";", 4},
      {email.toUpper() + ";" + password, 0},  // addresses compare without regard to case
      {" " + email + " ;" + password, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.toStdString());
    EXPECT_EQ(engine->SignIn(c.text), c.error);
    if (c.error) {
      EXPECT_EQ(Check().ProductCount(), 0);
    } else {
      EXPECT_GT(Check().ProductCount(), 0);
    }
  }
  // A session the service ended is reported as such, and a new sign-in goes on.
  ASSERT_EQ(PostJson(DemoService().url, "/test/expire-sessions", "{}"), 200);
  EXPECT_EQ(engine->Run([&] { return Check().RequestProducts(); }), 5);
  EXPECT_EQ(engine->SignIn(DemoCredentials()), 0);
}

TEST_F(EngineOnDemo, RememberedSignInKeepsTokenNeverPasswordAndEndsWithoutRemember) {
  const QString url = DemoService().url, email = DemoService().email, password = DemoService().password;
  ASSERT_EQ(engine->SignIn(DemoCredentials(), true), 0);
  QList<TRegValue> values;
  ASSERT_EQ(GetAppReg().GetValues(rrSettings, kAccount, values), 0);
  ASSERT_EQ(values.size(), 2);
  EXPECT_EQ(GetAppReg().ReadString(rrSettings, kAccount, "Email"), email);
  const QString token = GetAppReg().ReadString(rrSettings, kAccount, "Token");
  EXPECT_EQ(token.size(), 64);
  QString remembered;
  EXPECT_TRUE(Check().RememberedEmail(remembered));
  EXPECT_EQ(remembered, email);
  // The password is nowhere in the settings store's files.
  for (const QString& file : QDir(QFileInfo(TAppReg::RootFileName(rrSettings)).path()).entryList(QDir::Files)) {
    QFile f(QFileInfo(TAppReg::RootFileName(rrSettings)).path() + "/" + file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains(password.toUtf8())) << file.toStdString();
  }

  {  // A later run signs in with the stored pair alone; the token stays.
    EngineOnService later(url);
    EXPECT_EQ(later.SignIn(QString(), true), 0);
    EXPECT_GT(later.check->ProductCount(), 0);
    EXPECT_EQ(GetAppReg().ReadString(rrSettings, kAccount, "Token"), token);
  }
  {  // Used without "remember": both sides forget it.
    EngineOnService once(url);
    EXPECT_EQ(once.SignIn(QString(), false), 0);
    EXPECT_FALSE(GetAppReg().ValueExists(rrSettings, kAccount, "Email"));
    EXPECT_FALSE(GetAppReg().ValueExists(rrSettings, kAccount, "Token"));
    EXPECT_EQ(once.SignIn(QString(), true), cvlib::ceChkNoRemembered);
  }
  GetAppReg().WriteString(rrSettings, kAccount, "Email", email);
  GetAppReg().WriteString(rrSettings, kAccount, "Token", token);
  EngineOnService stale(url);
  EXPECT_EQ(stale.SignIn(QString(), true), 4);
  // The refused token went with its address: nothing is shown as remembered.
  QString shown;
  EXPECT_FALSE(stale.check->RememberedEmail(shown));
  // A token is good only for the address it was made for: another one is not even tried.
  ASSERT_EQ(stale.SignIn(DemoCredentials(), true), 0);
  EXPECT_EQ(stale.check->SignInEmail("other@corvane.example", true), cvlib::ceChkNoRemembered);
  EXPECT_EQ(stale.Run([&] { return stale.check->RequestProducts(); }), cvlib::ceChkNoRemembered);
  // The remembered address with a new password.
  stale.check->SignInPassword(password, true);
  EXPECT_EQ(stale.Run([&] { return stale.check->RequestProducts(); }), 0);
  EXPECT_EQ(stale.check->SignInEmail(email, false), 0);
  EXPECT_EQ(stale.Run([&] { return stale.check->RequestProducts(); }), 0);
  EXPECT_EQ(stale.SignIn(QString(), true), cvlib::ceChkNoRemembered);
}

TEST_F(EngineOnDemo, ProductListHasTheDemoAccountsRecordsInWizardOrder) {
  ASSERT_EQ(engine->SignIn(DemoCredentials()), 0);
  std::set<int> kinds, groups;
  for (int i = 0; i < Check().ProductCount(); ++i) {
    const ProductRecord* p = Check().Product(i);
    kinds.insert(p->Kind());
    groups.insert(p->Group());
    if (i > 0) {
      const ProductRecord* q = Check().Product(i - 1);
      EXPECT_LE(std::tuple(q->Kind(), q->Group()), std::tuple(p->Kind(), p->Group()));
      if (q->Kind() == p->Kind() && q->Group() == p->Group()) {
        EXPECT_LE(q->DisplayName().compare(p->DisplayName(), Qt::CaseInsensitive), 0);
      }
    }
  }
  EXPECT_EQ(kinds, (std::set<int>{0, 1, 2, 99}));
  EXPECT_TRUE(groups.count(9999));
  EXPECT_TRUE(groups.count(2019));

  const ProductRecord* navigator = Check().FindProductRecord(100, 1);
  ASSERT_NE(navigator, nullptr);
  EXPECT_EQ(navigator->Kind(), pkProgram);
  EXPECT_EQ(navigator->Group(), 9999);
  EXPECT_EQ(navigator->RegistryKey(), "Navigator");
  EXPECT_EQ(navigator->LatestVersion(), cvlib::PackVersion(5, 2, 0, 0));
  EXPECT_EQ(navigator->InstallFolder(), "Navigator");
  EXPECT_EQ(navigator->Revision(), 7);
  EXPECT_GT(navigator->Size(), 0);
  const ProductRecord* drivers = Check().FindProductRecord(100, 2);
  ASSERT_NE(drivers, nullptr);
  EXPECT_EQ(drivers->Kind(), pkCompanion);
  EXPECT_EQ(drivers->RegistryKey(), "Navigator\\Drivers");
  const ProductRecord* netherlands = Check().FindProductRecord(1001, 1);
  ASSERT_NE(netherlands, nullptr);
  EXPECT_EQ(netherlands->ItemTitle(), "Netherlands");
  EXPECT_EQ(Check().FindProductRecord(1001, 4), nullptr);  // not owned
  EXPECT_EQ(Check().FindProductRecord(1003, 1), nullptr);  // withdrawn
}

TEST_F(EngineOnDemo, FileListTellsOwnedFromNotOwnedAndBringsCompanions) {
  ASSERT_EQ(engine->SignIn(DemoCredentials()), 0);
  ASSERT_EQ(engine->FileList({{100, 1}, {1001, 7}, {1003, 1}, {4242, 1}, {100, 1}}), 0);
  struct Expected {
    int product, mask, status;
  };
  const Expected expected[] = {{100, 1, 0}, {100, 2, 0},  {1001, 1, 0}, {1001, 2, 0},
                               {1001, 4, 1}, {1003, 1, 2}, {4242, 1, 1}};
  ASSERT_EQ(Check().ItemCount(), static_cast<int>(std::size(expected)));
  for (int i = 0; i < Check().ItemCount(); ++i) {
    const InstallItem* item = Check().Item(i);
    const Expected& e = expected[i];
    SCOPED_TRACE(::testing::Message() << e.product << ":" << e.mask);
    EXPECT_EQ(item->ProductNumber(), e.product);
    EXPECT_EQ(item->ModuleMask(), e.mask);
    EXPECT_EQ(item->Status(), e.status);
    EXPECT_EQ(item->FileCount() > 0, e.status == 0);
    EXPECT_TRUE(item->Selected());
    EXPECT_FALSE(item->Succeeded());
  }
  const InstallItem* navigator = engine->FindItem(100, 1);
  EXPECT_EQ(navigator->FileName(0), "NavigatorSetup");
  EXPECT_FALSE(navigator->IsAddOn(0));
  EXPECT_EQ(navigator->SourceFolder(), "Setups/NavigatorSetup");
  int64_t total = 0;
  for (int i = 0; i < navigator->FileCount(); ++i) total += navigator->FileSize(i);
  EXPECT_EQ(total, Check().FindProductRecord(100, 1)->Size());
  ASSERT_EQ(navigator->FileCount(), 3);
  EXPECT_TRUE(navigator->IsAddOn(1) && navigator->IsAddOn(2));
  EXPECT_EQ(navigator->FileFolder(1) + "/" + navigator->FileName(1), "Docs/UserGuide.txt");
  EXPECT_EQ(engine->FindItem(1001, 2)->SourceFolder(), "QMR2/NS/BE/");
  EXPECT_EQ(engine->FindItem(1001, 2)->FileTime(0), 1709251200);
}

TEST_F(EngineOnDemo, DownloadSendsProgressThenOneDoneAndKeepsTheFileIntact) {
  InstallItem* item = ListedItem(100, 1);
  ASSERT_NE(item, nullptr);
  const QString folder = MakeTempFolder("download");
  const size_t before = engine->recorder.events.size();
  ASSERT_EQ(engine->Download(item, 0, folder), 0);
  EventRecorder::Pump(100);
  const std::vector<TNavEvent> events(engine->recorder.events.begin() + static_cast<long>(before),
                                      engine->recorder.events.end());
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back().code, 130);
  double last = 0;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].code, 131);
    EXPECT_GE(events[i].value, last);
    last = events[i].value;
  }
  EXPECT_EQ(last, static_cast<double>(item->FileSize(0)));
  ExpectIntact(folder + "/NavigatorSetup", *item, 0);
}

// The service closes the connection after some bytes of the file: the engine keeps only a
// part file, reports it, and the next attempt completes the file (resuming where it can).
TEST_F(EngineOnDemo, BrokenOffDownloadLeavesNothingUnderItsNameAndTheNextAttemptCompletes) {
  struct Case {
    const char* path;
    int module;
    int after;
    int error;
    bool resumes;
  };
  const Case cases[] = {
      {"charts/NS/NL/NL_1.qmr2", 1, 10000, cvlib::ceChkIncomplete, true},
      {"charts/NS/BE/BE_1.qmr2", 2, 0, cvlib::ceChkNetwork, false},
  };
  ASSERT_EQ(engine->SignIn(DemoCredentials()), 0);
  ASSERT_EQ(engine->FileList({{1001, 3}}), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    InstallItem* item = engine->FindItem(1001, c.module);
    ASSERT_NE(item, nullptr);
    const QString folder = MakeTempFolder("resume");
    const QString target = folder + "/" + item->FileName(0);
    const QString body = QStringLiteral(R"({"path": "%1", "after": %2})").arg(c.path).arg(c.after);
    ASSERT_EQ(PostJson(DemoService().url, "/test/drop-once", body.toUtf8()), 200);

    EXPECT_EQ(engine->Download(item, 0, folder), c.error);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_LE(QFileInfo(cvlib::DownloadPartPath(folder, item->FileName(0))).size(), c.after);

    const size_t before = engine->recorder.events.size();
    ASSERT_EQ(engine->Download(item, 0, folder), 0);
    ExpectIntact(target, *item, 0);
    // A resumed download counts the bytes it kept from its first progress event on.
    EXPECT_EQ(engine->recorder.events[before].code, 131);
    if (c.resumes) {
      EXPECT_GE(engine->recorder.events[before].value, c.after / 4096 * 4096);
      EXPECT_TRUE(DemoService().WaitForLog(QStringLiteral("GET /files/%1 206").arg(c.path)))
          << DemoService().Log().toStdString();
    }
  }
}

TEST_F(EngineOnDemo, SecondOperationWhileOneRunsIsRefusedAndTheFirstEndsOnce) {
  InstallItem* item = ListedItem(100, 1);
  ASSERT_NE(item, nullptr);
  const QString folder = MakeTempFolder("busy");
  const int done = engine->recorder.Count(130);
  const int items = Check().ItemCount();
  ASSERT_EQ(Check().StartDownload(item, 0, folder), 0);
  EXPECT_TRUE(Check().IsBusy());
  EXPECT_EQ(Check().StartDownload(item, 1, folder), cvlib::ceChkBusy);
  EXPECT_EQ(Check().RequestProducts(), cvlib::ceChkBusy);
  auto selection = Check().NewSelectionList();
  EXPECT_EQ(Check().RequestFileList(*selection), cvlib::ceChkBusy);
  EXPECT_EQ(Check().SignIn(DemoCredentials(), false), 0);  // only noted
  ASSERT_TRUE(engine->recorder.WaitDone(done + 1));
  EventRecorder::Pump(300);
  EXPECT_EQ(engine->recorder.Count(130), done + 1);
  EXPECT_EQ(Check().LastError(), 0);
  EXPECT_EQ(Check().ItemCount(), items);
  ExpectIntact(folder + "/NavigatorSetup", *item, 0);
  EXPECT_FALSE(QFile::exists(folder + "/" + item->FileName(1)));
}

// Where a backup keeps a file: chart sets below their source folder, software in Setups/
// with its add-ons in Setups/Addons<product>/ (as cvtool account download does).
QString BackupFolderOf(const QString& backup, const InstallItem& item, int file) {
  if (item.SourceFolder().startsWith("QMR2/")) return backup + "/" + item.SourceFolder() + item.FileFolder(file);
  return backup + "/Setups/" + (item.IsAddOn(file) ? QStringLiteral("Addons%1/").arg(item.ProductNumber()) : "");
}

TEST_F(EngineOnDemo, BackupOfEveryDemoFileReadsBackInAFreshEngine) {
  ASSERT_EQ(engine->SignIn(DemoCredentials()), 0);
  std::vector<std::pair<int, int>> selection;
  for (int i = 0; i < Check().ProductCount(); ++i)
    if (Check().Product(i)->Kind() != pkCompanion)
      selection.emplace_back(Check().Product(i)->ProductNumber(), Check().Product(i)->ModuleMask());
  ASSERT_EQ(engine->FileList(selection), 0);
  const QString backup = MakeTempFolder("backup");
  int processable = 0;
  for (int i = 0; i < Check().ItemCount(); ++i) {
    InstallItem* item = Check().Item(i);
    ASSERT_EQ(item->Status(), 0);
    ++processable;
    for (int f = 0; f < item->FileCount(); ++f) {
      const QString folder = BackupFolderOf(backup, *item, f);
      ASSERT_EQ(DirCreate(folder), 0);
      ASSERT_EQ(engine->Download(item, f, folder), 0) << item->FileName(f).toStdString();
    }
    item->SetSucceeded(true);
  }
  EXPECT_EQ(processable, Check().ProductCount());  // every record, companions included
  const QString index = backup + "/cvbackup.idx";
  ASSERT_EQ(Check().WriteBackupIndex(index), 0);

  EngineOnService fresh{QString()};
  ChartCheck& read = *fresh.check;
  ASSERT_EQ(read.ReadBackupIndex(index), 0);
  ASSERT_EQ(read.ItemCount(), processable);
  for (int i = 0; i < Check().ItemCount(); ++i) {
    const InstallItem& original = *Check().Item(i);
    SCOPED_TRACE(::testing::Message() << original.ProductNumber() << ":" << original.ModuleMask());
    const InstallItem* item = read.FindBackupItem(original.ProductNumber(), original.ModuleMask());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->ProductCode(), original.ProductCode());
    EXPECT_EQ(item->ModuleCode(), original.ModuleCode());
    EXPECT_EQ(item->ModuleName(), original.ModuleName());
    EXPECT_EQ(item->Revision(), original.Revision());
    EXPECT_EQ(item->InstallFolder(), original.InstallFolder());
    EXPECT_EQ(item->SourceFolder(), original.SourceFolder());
    ASSERT_EQ(item->FileCount(), original.FileCount());
    for (int f = 0; f < item->FileCount(); ++f) {
      EXPECT_EQ(item->FileName(f), original.FileName(f));
      EXPECT_EQ(item->FileFolder(f), original.FileFolder(f));
      EXPECT_EQ(item->IsAddOn(f), original.IsAddOn(f));
      EXPECT_EQ(item->FileTime(f), original.FileTime(f));
      ExpectIntact(BackupFolderOf(backup, *item, f) + item->FileName(f), *item, f);
    }
  }

  read.ClearProducts();
  for (int i = 0; i < read.ItemCount(); ++i) read.AddItemProduct(read.Item(i));
  read.FinishProducts();
  ASSERT_EQ(read.ProductCount(), Check().ProductCount());
  for (int i = 0; i < read.ProductCount(); ++i) {
    const ProductRecord& p = *read.Product(i);
    const ProductRecord& q = *Check().Product(i);  // the service's order
    SCOPED_TRACE(q.DisplayName().toStdString());
    EXPECT_EQ(std::tuple(p.ProductNumber(), p.ModuleMask(), p.Kind(), p.Group()),
              std::tuple(q.ProductNumber(), q.ModuleMask(), q.Kind(), q.Group()));
    EXPECT_EQ(p.DisplayName(), q.DisplayName());
    EXPECT_EQ(p.ItemTitle(), q.ItemTitle());
    EXPECT_EQ(p.RegistryKey(), q.RegistryKey());
    EXPECT_EQ(p.LatestVersion(), q.LatestVersion());
    EXPECT_EQ(p.Size(), q.Size());
    EXPECT_EQ(p.InstallFolder(), q.InstallFolder());
    EXPECT_EQ(p.Revision(), q.Revision());
  }
}

}  // namespace
