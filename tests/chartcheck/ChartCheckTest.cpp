// Events, sign-in, product and file lists, downloads and one-operation-at-a-time.
#include "EngineFixture.h"

#include "CvLibChartCheckTesting.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <atomic>
#include <functional>
#include <chrono>
#include <random>
#include <thread>
#include <xxhash.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace cvtest;
using nlohmann::json;

namespace {

// A catalogue of a program with a companion, and a chart product with two modules.
void FillCatalogue(FakeService& s) {
  s.products = json::array({
      {{"number", 100}, {"kind", 0}, {"group", 9999}, {"displayName", "Navigator"}, {"itemTitle", ""},
       {"moduleMask", 1}, {"registryKey", "Navigator"}, {"revision", 3}, {"latestVersion", "5.2.1.7"},
       {"size", 5000000000LL}, {"installFolder", "Navigator"}, {"checked", true}},
      {{"number", 101}, {"kind", 99}, {"group", 9999}, {"displayName", "Navigator runtime"},
       {"moduleMask", 1}, {"latestVersion", "1.0"}, {"size", 10}},
      {{"number", 1001}, {"kind", 1}, {"group", 2019}, {"displayName", "North Sea"}, {"itemTitle", "Part A"},
       {"moduleMask", 1}, {"revision", 2}, {"size", 300}},
      {{"number", 1001}, {"kind", 1}, {"group", 2019}, {"displayName", "North Sea"}, {"itemTitle", "Part B"},
       {"moduleMask", 2}, {"revision", 2}, {"size", 300}},
  });
  s.items = json::array({
      {{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"productName", "Navigator"}, {"moduleCode", ""},
       {"moduleName", ""}, {"revision", 3}, {"installFolder", "Navigator"}, {"status", 0},
       {"files", json::array({s.AddFile("navsetup.bin", RandomBytes(3 * 1024 * 1024 + 17), 1700000000),
                              s.AddFile("manual.pdf", "manual", 1600000000, "docs/en", true)})}},
      {{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"productName", "North Sea"}, {"moduleCode", "A"},
       {"moduleName", "Part A"}, {"revision", 2}, {"installFolder", ""}, {"status", 0},
       {"files", json::array({s.AddFile("a.qmr2", "QMR2chart"), s.AddFile("a.db", "db")})}},
      {{"product", 1001}, {"mask", 2}, {"productCode", "NS"}, {"productName", "North Sea"}, {"moduleCode", "B"},
       {"moduleName", "Part B"}, {"revision", 2}, {"installFolder", ""}, {"status", 1}, {"files", json::array()}},
  });
}

}  // namespace

// ---- event source

TEST(NavEnvTest, EventsComeFromTheLoopOneAtATimeInOrder) {
  auto env = NavEnvCreate();
  EventRecorder recorder;
  recorder.pumpInCallback = true;  // a subscriber that pumps must not get the next one inside
  env->EventSource().Subscribe(&EventRecorder::Callback, &recorder);
  env->EventSource().Subscribe(&EventRecorder::Callback, &recorder);  // twice is once
  env->EventSource().Post({131, 10});
  env->EventSource().Post({131, 20});  // replaces the waiting progress event
  env->EventSource().Post({130, 0});
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(recorder.WaitDone());
  ASSERT_EQ(recorder.events.size(), 2u);
  EXPECT_EQ(recorder.events[0].code, 131);
  EXPECT_EQ(recorder.events[0].value, 20);
  EXPECT_EQ(recorder.events[1].code, 130);
  EXPECT_EQ(recorder.maxDepth, 1);
}

namespace {
struct Deleter {
  std::unique_ptr<TNavEnv>* env;
  int calls = 0;
  static void Callback(void* data, const TNavEvent&) {
    auto* self = static_cast<Deleter*>(data);
    ++self->calls;
    self->env->reset();  // the owner closes while an event is delivered
  }
};
}  // namespace

TEST(NavEnvTest, UnsubscribedAndDeletedSourcesDeliverNothingMore) {
  auto env = NavEnvCreate();
  EventRecorder recorder;
  env->EventSource().Subscribe(&EventRecorder::Callback, &recorder);
  env->EventSource().Unsubscribe(&EventRecorder::Callback, &recorder);
  Deleter deleter{&env};
  env->EventSource().Subscribe(&Deleter::Callback, &deleter);
  env->EventSource().Post({130, 0});
  env->EventSource().Post({130, 0});
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(deleter.calls, 1);
  EXPECT_EQ(env, nullptr);
  EXPECT_TRUE(recorder.events.empty());
}

// ---- sign-in and products

TEST_F(EngineTest, SignInGoodAndBad) {
  FillCatalogue(service);
  struct Case {
    const char* text;
    int error;
  } cases[] = {
      {"anna@example.com;wrong", 4},
      {"nobody@example.com;secret", 4},
      {"anna@example.com", cvlib::ceChkBadArgument},  // no password part
      {"anna@example.com;secret", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SignInAndList(QString::fromUtf8(c.text)), c.error);
  }
  ASSERT_EQ(check->ProductCount(), 4);
  const ProductRecord* nav = check->FindProductRecord(100, 1);
  ASSERT_NE(nav, nullptr);
  EXPECT_EQ(nav->Kind(), 0);
  EXPECT_EQ(nav->Group(), 9999);
  EXPECT_EQ(nav->DisplayName(), "Navigator");
  EXPECT_EQ(nav->RegistryKey(), "Navigator");
  EXPECT_EQ(nav->InstallFolder(), "Navigator");
  EXPECT_EQ(nav->LatestVersion(), 0x05020107u);
  EXPECT_EQ(nav->Size(), 5000000000LL);
  EXPECT_EQ(nav->Revision(), 3);
  EXPECT_TRUE(nav->Checked());
  EXPECT_EQ(check->FindProductRecord(1001, 2)->ItemTitle(), "Part B");
  EXPECT_EQ(check->FindProductRecord(1001, 4), nullptr);
}

TEST_F(EngineTest, ProductListNeedsASession) {
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkNotSignedIn);
  check->SetServiceURL(QStringLiteral("http://127.0.0.1:1/"));
  EXPECT_EQ(SignInAndList(), cvlib::ceChkNetwork);
}

TEST_F(EngineTest, RememberedSignInKeepsEmailAndTokenNeverThePassword) {
  FillCatalogue(service);
  QString email;
  EXPECT_FALSE(check->RememberedEmail(email));
  EXPECT_EQ(SignInAndList(QString(), true), cvlib::ceChkNoRemembered);

  ASSERT_EQ(SignInAndList(QStringLiteral("anna@example.com;secret"), true), 0);
  EXPECT_TRUE(check->RememberedEmail(email));
  EXPECT_EQ(email, "anna@example.com");
  const QString token = GetAppReg().ReadString(rrSettings, QStringLiteral("Account"), QStringLiteral("Token"));
  EXPECT_FALSE(token.isEmpty());
  // The password is nowhere in the store, not even in its file's free pages.
  GetAppReg().CloseConnections();
  EXPECT_FALSE(ReadAll(TAppReg::RootFileName(rrSettings)).contains("secret"));
  const QString wal = TAppReg::RootFileName(rrSettings) + "-wal";
  EXPECT_FALSE(ReadAll(wal).contains("secret"));

  // A later run signs in with the stored pair; the service gets the token, no password.
  check = NewCheck();
  ASSERT_EQ(SignInAndList(QString(), true), 0);
  EXPECT_EQ(service.lastSignIn.value("token", ""), token.toStdString());
  EXPECT_FALSE(service.lastSignIn.contains("password"));
  EXPECT_EQ(check->ProductCount(), 4);

  // A new address has no token; the stored address with a new password works.
  EXPECT_EQ(SignInAndList(QString(), true), 0);
  check->SignInEmail(QStringLiteral("other@example.com"), true);
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkNoRemembered);
  check->SignInPassword(QStringLiteral("secret"), false);
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), 0);
  // Without "remember" nothing stays.
  EXPECT_FALSE(check->RememberedEmail(email));
  EXPECT_TRUE(GetAppReg().ReadString(rrSettings, QStringLiteral("Account"), QStringLiteral("Token")).isEmpty());
}

// ---- file list

TEST_F(EngineTest, FileListGivesItemsWithTheirFiles) {
  FillCatalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{100, 1}, {1001, 1}, {1001, 2}}), 0);
  ASSERT_EQ(check->ItemCount(), 3);
  const InstallItem* nav = check->Item(0);
  EXPECT_EQ(nav->ProductNumber(), 100);
  EXPECT_EQ(nav->ProductCode(), "NAV");
  EXPECT_EQ(nav->FileCount(), 2);
  EXPECT_EQ(nav->FileName(0), "navsetup.bin");
  EXPECT_EQ(nav->FileSize(0), 3 * 1024 * 1024 + 17);
  EXPECT_EQ(nav->FileTime(1), 1600000000);
  EXPECT_TRUE(nav->IsAddOn(1));
  EXPECT_EQ(nav->FileFolder(1), "docs/en");
  EXPECT_EQ(nav->SourceFolder(), "Setups/navsetup.bin");
  EXPECT_TRUE(nav->ContainsFile("manual.pdf"));
  EXPECT_FALSE(nav->ContainsFile("docs/en/manual.pdf"));
  EXPECT_TRUE(nav->Selected());
  EXPECT_FALSE(nav->Succeeded());
  const InstallItem* chart = check->Item(1);
  EXPECT_EQ(chart->ModuleCode(), "A");
  EXPECT_EQ(chart->SourceFolder(), "QMR2/NS/A/");
  EXPECT_EQ(check->Item(2)->Status(), 1);
}

TEST_F(EngineTest, HostileNamesRejectTheWholeList) {
  FillCatalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{100, 1}}), 0);
  ASSERT_EQ(check->ItemCount(), 1);
  const json goodFile = service.items[0]["files"][1];
  struct Case {
    const char* field;  // of the file, or of the item when prefixed with "item."
    json value;
  } cases[] = {
      {"name", "../x"},        {"name", "/etc/x"},      {"name", "a/../../b"}, {"name", ""},
      {"name", ".."},          {"name", "a\\b"},        {"name", std::string("a\0b", 3)},
      {"folder", "../up"},     {"folder", "/etc"},      {"folder", "a/../../b"}, {"folder", "a//b"},
      {"item.installFolder", "../../bin"}, {"item.productCode", ".."}, {"item.moduleCode", "x/y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " = " + c.value.dump());
    json item = service.items[0];
    json file = goodFile;
    const std::string field = c.field;
    if (field.rfind("item.", 0) == 0) item[field.substr(5)] = c.value;
    else file[field] = c.value;
    item["files"] = json::array({file});
    service.rawFileList = json{{"items", json::array({item})}}.dump();
    EXPECT_EQ(FileList({{100, 1}}), cvlib::ceChkUnsafeName);
    EXPECT_EQ(check->ItemCount(), 0);
  }
  // Malformed answers are errors too, never a crash.
  for (const char* raw : {"", "[]", "{\"items\": 5}", "{\"items\": [{\"files\": [{\"size\": \"big\"}]}]}"}) {
    SCOPED_TRACE(raw);
    service.rawFileList = raw;
    if (service.rawFileList.empty()) service.rawFileList = "not json";
    EXPECT_EQ(FileList({{100, 1}}), cvlib::ceChkBadAnswer);
  }
}

// ---- downloads

class DownloadTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    FillCatalogue(service);
    ASSERT_EQ(SignInAndList(), 0);
    ASSERT_EQ(FileList({{100, 1}}), 0);
    item = check->Item(0);
    folder = MakeTempFolder(QStringLiteral("dl"));
    target = folder + "/navsetup.bin";
    content = QByteArray::fromStdString(RandomBytes(3 * 1024 * 1024 + 17));
  }
  int Download(int file = 0) { return Run([&] { return check->StartDownload(item, file, folder); }); }
  // What a download notes for the backup index beside the SHA-256.
  static QString Xxh3(const QByteArray& data) {
    return QStringLiteral("%1").arg(XXH3_64bits(data.constData(), static_cast<size_t>(data.size())), 16, 16, QLatin1Char('0'));
  }
  QString Part() const { return cvlib::DownloadPartPath(folder, QStringLiteral("navsetup.bin")); }

  InstallItem* item = nullptr;
  QString folder, target;
  QByteArray content;
};

TEST_F(DownloadTest, ArrivesVerifiedWithItsTimeAndProgressBeforeTheEnd) {
  recorder.pumpInCallback = true;
  recorder.events.clear();
  ASSERT_EQ(item->FileXxh3(0), "");
  ASSERT_EQ(Download(), 0);
  EXPECT_EQ(ReadAll(target), content);
  EXPECT_FALSE(QFile::exists(Part()));
  EXPECT_EQ(QFileInfo(target).lastModified().toSecsSinceEpoch(), 1700000000);
  EXPECT_EQ(item->FileXxh3(0), Xxh3(content));
  // Progress rises to the file's size, then the one completion event.
  ASSERT_GE(recorder.events.size(), 2u);
  EXPECT_EQ(recorder.events.back().code, 130);
  double last = 0;
  for (size_t i = 0; i + 1 < recorder.events.size(); ++i) {
    EXPECT_EQ(recorder.events[i].code, 131);
    EXPECT_GE(recorder.events[i].value, last);
    last = recorder.events[i].value;
  }
  EXPECT_EQ(last, content.size());
  EXPECT_EQ(recorder.maxDepth, 1);
}

// A small file takes its name before it is synced: until the engine settles it (one sync for
// many files) its time carries a nanosecond, which has it checked by its checksum before it
// counts as current; settled, it has the exact time.
TEST_F(DownloadTest, ASmallFileIsSettledWithItsExactTimeAfterTheSync) {
  ASSERT_EQ(Download(1), 0);
  const QByteArray small = QFile::encodeName(folder + "/manual.pdf");
  EXPECT_EQ(ReadAll(folder + "/manual.pdf"), "manual");
  struct stat st {};
  ASSERT_EQ(::stat(small.constData(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 1);
  check = NewCheck();  // the engine settles what is left when it goes
  ASSERT_EQ(::stat(small.constData(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

TEST_F(DownloadTest, ABrokenConnectionLeavesAPartThatTheNextAttemptResumes) {
  service.CloseNextFileAfter(1024 * 1024 + 5);
  EXPECT_EQ(Download(), cvlib::ceChkIncomplete);
  EXPECT_FALSE(QFile::exists(target));  // nothing under the real name
  const qint64 kept = QFileInfo(Part()).size();
  EXPECT_GT(kept, 0);
  EXPECT_LE(kept, 1024 * 1024 + 5);

  ASSERT_EQ(Download(), 0);
  EXPECT_EQ(ReadAll(target), content);
  EXPECT_EQ(item->FileXxh3(0), Xxh3(content)) << "the kept part's bytes count too";
  EXPECT_FALSE(QFile::exists(Part()));
  const auto requests = service.FileRequests();
  ASSERT_GE(requests.size(), 2u);
  // It resumes from the last whole 4 KiB block of what was kept.
  EXPECT_EQ(requests.back().second, "bytes=" + std::to_string(kept / 4096 * 4096) + "-");
}

TEST_F(DownloadTest, AServerThatIgnoresTheRangeStartsTheFileAgain) {
  QFile part(Part());
  ASSERT_TRUE(part.open(QIODevice::WriteOnly));
  part.write(content.left(10000));
  part.close();
  service.ignoreRanges = true;
  ASSERT_EQ(Download(), 0);
  EXPECT_EQ(ReadAll(target), content);
  EXPECT_EQ(service.FileRequests().back().second, "bytes=8192-");
}

TEST_F(DownloadTest, ACompletePartIsCheckedAndTakesItsNameWithoutAFetch) {
  // As a crash between the last write and the rename leaves it.
  QFile part(Part());
  ASSERT_TRUE(part.open(QIODevice::WriteOnly));
  part.write(content);
  part.close();
  const size_t requests = service.FileRequests().size();
  ASSERT_EQ(Download(), 0);
  EXPECT_EQ(service.FileRequests().size(), requests);
  EXPECT_EQ(ReadAll(target), content);
  EXPECT_FALSE(QFile::exists(Part()));
  EXPECT_EQ(QFileInfo(target).lastModified().toSecsSinceEpoch(), 1700000000);
}

TEST_F(DownloadTest, APartThatIsALinkIsReplacedNeverFollowed) {
  // Larger than the file, so that following the link would cut it, then write into it.
  const QString outside = MakeTempFolder(QStringLiteral("outside")) + "/precious.bin";
  const QByteArray precious(content.size() + 5000, 'p');
  QFile f(outside);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(precious);
  f.close();
  ASSERT_TRUE(QFile::link(outside, Part()));
  ASSERT_EQ(Download(), 0);
  EXPECT_EQ(ReadAll(outside), precious);
  EXPECT_EQ(ReadAll(target), content);
  EXPECT_FALSE(QFileInfo(target).isSymLink());
}

TEST_F(DownloadTest, APartSomeoneElseCouldHaveWrittenIsFetchedAfreshAndTheFileIsTheUsersOwn) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const QString outside = MakeTempFolder(QStringLiteral("elsewhere")) + "/other.bin";
  auto plant = [&](const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content.left(10000));  // a good beginning: resuming it would succeed
  };
  struct Case {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"writable by others", [&] { plant(Part()); ::chmod(QFile::encodeName(Part()).constData(), 0666); }},
      {"another user's", [&] { plant(Part()); ASSERT_EQ(::chown(QFile::encodeName(Part()).constData(), 65534, 65534), 0); }},
      {"a hard link to a file elsewhere",
       [&] { plant(outside); ASSERT_EQ(::link(QFile::encodeName(outside).constData(), QFile::encodeName(Part()).constData()), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QFile::remove(target);
    c.plant();
    ASSERT_EQ(Download(), 0);
    EXPECT_EQ(service.FileRequests().back().second, "") << "resumed";
    EXPECT_EQ(ReadAll(target), content);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask);  // the owner's alone to write
  }
  EXPECT_EQ(ReadAll(outside), content.left(10000));
}

TEST_F(EngineTest, NoListedNameCanTakeThePartOfAnother) {
  FillCatalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  json item = service.items[1];
  item["files"] = json::array({service.AddFile("a.qmr2", "chart"), service.AddFile("a.qmr2.part", "other")});
  service.rawFileList = json{{"items", json::array({item})}}.dump();
  ASSERT_EQ(FileList({{1001, 1}}), 0);
  const QString folder = MakeTempFolder(QStringLiteral("names"));
  for (int f = 0; f < 2; ++f) EXPECT_EQ(Run([&] { return check->StartDownload(check->Item(0), f, folder); }), 0);
  EXPECT_EQ(ReadAll(folder + "/a.qmr2"), "chart");
  EXPECT_EQ(ReadAll(folder + "/a.qmr2.part"), "other");
  // The engine's own suffix is no listed name.
  for (const char* name : {".a.qmr2.cvpart", "x.CVPART"}) {
    SCOPED_TRACE(name);
    item["files"] = json::array({service.AddFile(name, "x")});
    service.rawFileList = json{{"items", json::array({item})}}.dump();
    EXPECT_EQ(FileList({{1001, 1}}), cvlib::ceChkUnsafeName);
  }
}

TEST_F(EngineTest, ALinkInTheLayoutBelowTheChosenFolderIsNeverFollowed) {
  FillCatalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{100, 1}, {1001, 1}}), 0);
  InstallItem* nav = check->Item(0);
  InstallItem* chart = check->Item(1);
  struct Case {
    const char* what;
    InstallItem* item;
    int file;
    QString linked;  // below the backup, pointing outside
    QString folder;  // the target, below the backup
  } cases[] = {
      {"QMR2", chart, 0, "QMR2", "QMR2/NS/A"},
      {"product folder", chart, 0, "QMR2/NS", "QMR2/NS/A"},
      {"Setups", nav, 0, "Setups", "Setups"},
      {"add-on folder", nav, 1, "Setups/Addons100", "Setups/Addons100"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString backup = MakeTempFolder(QStringLiteral("backup"));
    const QString outside = MakeTempFolder(QStringLiteral("outside"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(backup + "/" + c.linked).path()));
    ASSERT_TRUE(QFile::link(outside, backup + "/" + c.linked));
    // Made through the link as a plain mkpath would, so that the folder exists.
    ASSERT_TRUE(QDir().mkpath(backup + "/" + c.folder));
    EXPECT_EQ(Run([&] { return check->StartDownload(c.item, c.file, backup + "/" + c.folder); }),
              cvlib::ceChkLinkedFolder);
    EXPECT_EQ(cvlib::DirCreateBelow(backup, c.folder), cvlib::ceChkLinkedFolder);
    QDirIterator files(outside, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    EXPECT_FALSE(files.hasNext()) << "written outside: " << files.next().toStdString();
  }
  // The chosen folder itself may be a link (a mount point, a folder on the desktop).
  const QString real = MakeTempFolder(QStringLiteral("real"));
  const QString chosen = MakeTempFolder(QStringLiteral("chosen")) + "/backup";
  ASSERT_TRUE(QFile::link(real, chosen));
  ASSERT_EQ(cvlib::DirCreateBelow(chosen, QStringLiteral("QMR2/NS/A/")), 0);
  EXPECT_EQ(Run([&] { return check->StartDownload(chart, 0, chosen + "/QMR2/NS/A/"); }), 0);
  EXPECT_EQ(ReadAll(real + "/QMR2/NS/A/a.qmr2"), "QMR2chart");
}

TEST_F(DownloadTest, AWrongChecksumKeepsNothing) {
  // Same size, other bytes; a longer file; a shorter one; then a damaged part left from before.
  std::string other = RandomBytes(content.size(), 99);
  service.ReplaceFile("navsetup.bin", other);
  EXPECT_EQ(Download(), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(target));
  EXPECT_FALSE(QFile::exists(Part()));

  service.ReplaceFile("navsetup.bin", content.toStdString() + "tail");
  EXPECT_EQ(Download(), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(target));
  EXPECT_FALSE(QFile::exists(Part()));

  // A whole answer shorter than announced leaves nothing to resume.
  service.ReplaceFile("navsetup.bin", content.left(content.size() - 100).toStdString());
  EXPECT_EQ(Download(), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(target));
  EXPECT_FALSE(QFile::exists(Part()));

  service.ReplaceFile("navsetup.bin", content.toStdString());
  QFile part(Part());
  ASSERT_TRUE(part.open(QIODevice::WriteOnly));
  part.write(QByteArray(5000, 'x'));
  part.close();
  EXPECT_EQ(Download(), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(Part()));
  EXPECT_EQ(Download(), 0);  // and the next attempt starts afresh
  EXPECT_EQ(ReadAll(target), content);
}

TEST_F(DownloadTest, AnExistingFileIsReplacedOnlyWhenTheNewOneIsGood) {
  QFile old(target);
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("older copy");
  old.close();
  service.CloseNextFileAfter(100000);
  EXPECT_EQ(Download(), cvlib::ceChkIncomplete);
  EXPECT_EQ(ReadAll(target), "older copy");
  EXPECT_EQ(Download(), 0);
  EXPECT_EQ(ReadAll(target), content);
}

TEST_F(DownloadTest, BadStartsAreErrorsAndStillEndWithOneEvent) {
  InstallItem stranger{cvlib::TItemData{}};
  struct Case {
    InstallItem* item;
    int file;
    QString folder;
    int error;
  } cases[] = {
      {&stranger, 0, folder, cvlib::ceChkBadArgument},
      {item, 2, folder, cvlib::ceChkBadArgument},
      {item, -1, folder, cvlib::ceChkBadArgument},
      {item, 0, folder + "/missing", cvlib::ceFileNotFound},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run([&] { return check->StartDownload(c.item, c.file, c.folder); }), c.error);
  }
  // A hostile name that got into an item by another road is refused at download time too.
  item->MutableData().files[1].name = QStringLiteral("../escape");
  EXPECT_EQ(Run([&] { return check->StartDownload(item, 1, folder); }), cvlib::ceChkUnsafeName);
  EXPECT_FALSE(QFile::exists(QFileInfo(folder).path() + "/escape"));
}

TEST_F(DownloadTest, ASecondOperationWhileOneRunsIsRefused) {
  recorder.events.clear();
  ASSERT_EQ(check->StartDownload(item, 0, folder), 0);
  EXPECT_TRUE(check->IsBusy());
  auto list = check->NewSelectionList();
  EXPECT_EQ(check->StartDownload(item, 1, folder), cvlib::ceChkBusy);
  EXPECT_EQ(check->RequestFileList(*list), cvlib::ceChkBusy);
  EXPECT_EQ(check->RequestProducts(), cvlib::ceChkBusy);
  ASSERT_TRUE(recorder.WaitDone(1));
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(recorder.DoneCount(), 1);  // the refused calls send nothing
  EXPECT_EQ(check->LastError(), 0);
  EXPECT_EQ(ReadAll(target), content);
  // Deleting the object in the middle of a download is clean as well.
  ASSERT_EQ(check->StartDownload(item, 0, folder), 0);
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  check.reset();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
}

TEST_F(DownloadTest, AServerThatGoesQuietEndsTheDownloadAndThePartStays) {
  cvlib::testing::SetRequestTimeout(300);
  service.StallNextFileAfter(200000);
  const int error = Download();
  cvlib::testing::SetRequestTimeout(60000);
  EXPECT_EQ(error, cvlib::ceChkIncomplete);
  EXPECT_FALSE(QFile::exists(target));
  EXPECT_GT(QFileInfo(cvlib::DownloadPartPath(folder, "navsetup.bin")).size(), 0);
  ASSERT_EQ(Download(), 0);  // resumed
  EXPECT_EQ(ReadAll(target), content);
}

TEST_F(DownloadTest, CancelEndsTheDownloadWithItsOwnErrorAndKeepsThePart) {
  EXPECT_EQ(check->CancelDownload(), 0);  // nothing runs: no event
  service.StallNextFileAfter(200000);
  recorder.events.clear();
  ASSERT_EQ(check->StartDownload(item, 0, folder), 0);
  // Wait until the bytes before the silence are in.
  QElapsedTimer timer;
  timer.start();
  while ((recorder.events.empty() || recorder.events.back().value < 200000) && timer.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  EXPECT_EQ(check->CancelDownload(), 0);
  EXPECT_EQ(recorder.DoneCount(), 0) << "event delivered inside the call";
  EXPECT_FALSE(check->IsBusy());
  ASSERT_TRUE(recorder.WaitDone(1));
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(recorder.DoneCount(), 1);
  EXPECT_EQ(check->LastError(), cvlib::ceChkCancelled);
  EXPECT_FALSE(QFile::exists(target));
  EXPECT_TRUE(QFile::exists(cvlib::DownloadPartPath(folder, "navsetup.bin")));
  // The next attempt resumes; cancelling a list request works the same.
  ASSERT_EQ(Download(), 0);
  EXPECT_EQ(ReadAll(target), content);
  auto list = MakeSelection(*check, {{100, 1}}, SelectionKinds::kDefault);
  ASSERT_EQ(check->RequestFileList(*list), 0);
  EXPECT_EQ(check->CancelDownload(), 0);
  ASSERT_TRUE(recorder.WaitDone(3));
  EXPECT_EQ(check->LastError(), cvlib::ceChkCancelled);
}

// A disk slower than the network: each write waits until this thread has run its event loop a
// few times meanwhile. Were this thread to wait for the disk, the writes would time out.
TEST_F(EngineTest, ASlowDiskNeverHoldsUpTheEventLoop) {
  const std::string big = RandomBytes(20 * 1024 * 1024 + 17, 11);
  service.products = json::array({{{"number", 100}, {"kind", 0}, {"group", 9999}, {"displayName", "Navigator"},
                                   {"moduleMask", 1}, {"latestVersion", "1.0"}, {"size", big.size()}}});
  service.items = json::array({{{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"revision", 1},
                                {"files", json::array({service.AddFile("big.bin", big)})}}});
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{100, 1}}), 0);
  const QString folder = MakeTempFolder(QStringLiteral("slow"));

  std::atomic<int> ticks{0};
  std::atomic<int> writes{0};
  std::atomic<bool> timedOut{false};
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(2);
  // Each write also outlasts the idle timeout: a disk that holds the data back is no silent server.
  // The timeout still leaves a busy computer time for the answer's first bytes.
  cvlib::testing::SetRequestTimeout(800);
  cvlib::testing::SetDownloadWriteHook([&] {
    ++writes;
    const int start = ticks;
    for (int i = 0; i < 2500 && ticks < start + 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (ticks < start + 3) timedOut = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  });
  const int result = Run([&] { return check->StartDownload(check->Item(0), 0, folder); });
  cvlib::testing::SetDownloadWriteHook({});
  cvlib::testing::SetRequestTimeout(60000);

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(timedOut) << "the event loop stood still while the disk was writing";
  EXPECT_GE(writes, 3);
  EXPECT_EQ(ReadAll(folder + "/big.bin"), QByteArray::fromStdString(big));
}
