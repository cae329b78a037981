// Small files fetched ahead over several connections: the downloads still start, end and report
// one after the other in their order, a file that fails ahead ends as it would have without,
// Cancel ends every fetch, and the setting bounds how many requests run at once.
#include "EngineFixture.h"

#include <QDir>
#include <QFile>

#include <string>
#include <vector>

using namespace cvtest;
using nlohmann::json;

namespace {

class ParallelDownload : public EngineTest {
 protected:
  // One chart set of `count` small files c0.qmr2, c1.qmr2, ...; damage(i) gives what the server
  // sends for file i instead of its listed content (empty: the listed one; "404": none at all).
  void Catalogue(int count, const std::function<std::string(int)>& damage = {}, size_t base = 3000) {
    json files = json::array();
    for (int i = 0; i < count; ++i) {
      const std::string name = "c" + std::to_string(i) + ".qmr2";
      content.push_back(RandomBytes(base + static_cast<size_t>(i) * 97, static_cast<unsigned>(i + 1)));
      files.push_back(service.AddFile(name, content.back()));
      const std::string other = damage ? damage(i) : std::string();
      if (other == "404") files.back()["url"] = "files/missing-" + name;
      else if (!other.empty()) service.ReplaceFile(name, other);
    }
    service.products = json::array({{{"number", 1001}, {"kind", 1}, {"group", 2019}, {"displayName", "North Sea"},
                                     {"itemTitle", "A"}, {"moduleMask", 1}, {"revision", 2}, {"size", 300}}});
    service.items = json::array({{{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"productName", "North Sea"},
                                  {"moduleCode", "A"}, {"moduleName", "A"}, {"revision", 2}, {"installFolder", ""},
                                  {"status", 0}, {"files", files}}});
    ASSERT_EQ(SignInAndList(), 0);
    ASSERT_EQ(FileList({{1001, 1}}), 0);
    folder = MakeTempFolder(QStringLiteral("ahead")) + "/QMR2/NS/A";
    ASSERT_TRUE(QDir().mkpath(folder));
  }

  // As a run does: the files after the current one are announced while there is room, then the
  // current one starts; its error, in file order.
  std::vector<int> DownloadAll() {
    std::vector<int> errors;
    cvlib::InstallItem* item = check->Item(0);
    int announced = 0;
    for (int f = 0; f < item->FileCount(); ++f) {
      announced = std::max(announced, f);
      while (announced < item->FileCount() && check->PrefetchRoom() > 0 &&
             check->PrefetchDownload(item, announced, folder))
        ++announced;
      errors.push_back(Run([&] { return check->StartDownload(item, f, folder); }));
    }
    check->FinishDownloads();
    return errors;
  }

  QString Path(int i) const { return folder + "/c" + QString::number(i) + ".qmr2"; }
  QStringList Leftovers() const {
    return QDir(folder).entryList({QStringLiteral("*.cvpart")}, QDir::Files | QDir::Hidden);
  }

  std::vector<std::string> content;
  QString folder;
};

}  // namespace

TEST_F(ParallelDownload, TheSettingBoundsTheRequestsAtOnce) {
  struct Case {
    int connections;  // 0: the setting's
    int setting;      // 0: none stored
    int expected;
  };
  for (const Case c : {Case{1, 0, 1}, Case{3, 0, 3}, Case{0, 2, 2}, Case{0, 0, 4}}) {
    SCOPED_TRACE(c.connections * 10 + c.setting);
    if (c.setting) GetAppReg().WriteInteger(rrSettings, QStringLiteral("Servers"), QStringLiteral("Connections"), c.setting);
    else GetAppReg().DeleteValue(rrSettings, QStringLiteral("Servers"), QStringLiteral("Connections"));
    check = NewCheck();
    if (c.connections) check->SetConnections(c.connections);
    EXPECT_EQ(check->Connections(), c.expected);
    service.fileDelayMs = 40;  // long enough for the requests to overlap
    service.maxFilesInFlight = 0;
    content.clear();
    Catalogue(16);
    recorder.events.clear();
    const std::vector<int> errors = DownloadAll();
    EXPECT_EQ(errors, std::vector<int>(16, 0));
    EXPECT_EQ(service.maxFilesInFlight, c.expected);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(ReadAll(Path(i)).toStdString() == content[static_cast<size_t>(i)]) << i;
    // Each download reports its own file whole before it ends, nothing of another file between.
    int done = 0;
    double last = -1;
    for (const TNavEvent& e : recorder.events) {
      if (e.code == 131) last = e.value;
      if (e.code != 130) continue;
      EXPECT_EQ(last, static_cast<double>(content[static_cast<size_t>(done)].size())) << done;
      ++done;
      last = -1;
    }
    EXPECT_EQ(done, 16);
  }
  GetAppReg().DeleteValue(rrSettings, QStringLiteral("Servers"), QStringLiteral("Connections"));
}

TEST_F(ParallelDownload, AFileThatFailsAheadFailsAsItWouldHaveAlone) {
  // Damaged content and a missing file among files fetched ahead: only those fail, with the
  // error of an ordinary download, and leave nothing under their names.
  Catalogue(10, [](int i) { return i == 3 ? std::string(3000 + 3 * 97, 'x') : i == 6 ? std::string("404") : std::string(); });
  check->SetConnections(4);
  const std::vector<int> errors = DownloadAll();
  std::vector<int> expected(10, 0);
  expected[3] = cvlib::ceChkChecksum;
  expected[6] = cvlib::ceChkHttp;
  EXPECT_EQ(errors, expected);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(QFile::exists(Path(i)), i != 3 && i != 6) << i;
  EXPECT_TRUE(ReadAll(Path(7)).toStdString() == content[7]);
  EXPECT_TRUE(Leftovers().isEmpty()) << qPrintable(Leftovers().join(' '));
}

TEST_F(ParallelDownload, AnAnswerBrokenOffAheadKeepsItsPartAndIsResumed) {
  // The connection of one file ahead goes down mid-answer: that file fails as on the plain
  // connection, what arrived waits in its part, and the next attempt fetches only the rest.
  Catalogue(6, {}, 10000);
  check->SetConnections(3);
  cvlib::InstallItem* item = check->Item(0);
  service.CloseNextFileAfter(9000, "c0.qmr2");
  std::vector<int> errors = DownloadAll();
  std::vector<int> expected(6, 0);
  expected[0] = cvlib::ceChkIncomplete;
  EXPECT_EQ(errors, expected);
  EXPECT_FALSE(QFile::exists(Path(0)));
  EXPECT_EQ(ReadAll(DownloadPartPath(folder, QStringLiteral("c0.qmr2"))).toStdString(), content[0].substr(0, 9000));
  for (int i = 1; i < 6; ++i) EXPECT_TRUE(ReadAll(Path(i)).toStdString() == content[static_cast<size_t>(i)]) << i;
  // Announced again, a file with a part is left to the ordinary road, which resumes it.
  EXPECT_FALSE(check->PrefetchDownload(item, 0, folder));
  EXPECT_EQ(Run([&] { return check->StartDownload(item, 0, folder); }), 0);
  EXPECT_TRUE(ReadAll(Path(0)).toStdString() == content[0]);
  EXPECT_EQ(service.FileRequests().back().second, "bytes=8192-");  // from its last whole block
  EXPECT_TRUE(Leftovers().isEmpty());
}

TEST_F(ParallelDownload, CancelEndsEveryFetchAheadAndLeavesNothingHalf) {
  Catalogue(12);
  check->SetConnections(4);
  service.fileDelayMs = 300;
  cvlib::InstallItem* item = check->Item(0);
  for (int f = 0; f < 12 && check->PrefetchDownload(item, f, folder); ++f) {
  }
  const int before = recorder.DoneCount();
  ASSERT_EQ(check->StartDownload(item, 0, folder), 0);
  // Once the requests are at the server.
  QElapsedTimer timer;
  timer.start();
  while (service.filesInFlight < 4 && timer.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(service.filesInFlight, 4);
  ASSERT_EQ(check->CancelDownload(), 0);
  ASSERT_TRUE(recorder.WaitDone(before + 1));
  EXPECT_EQ(check->LastError(), cvlib::ceChkCancelled);
  EXPECT_EQ(check->PrefetchRoom(), 12) << "nothing fetched ahead is kept";
  // The answers that come after the cancel are written nowhere.
  timer.restart();
  while (timer.elapsed() < 600) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(recorder.DoneCount(), before + 1);
  EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
  // The next run starts afresh.
  service.fileDelayMs = 0;
  EXPECT_EQ(DownloadAll(), std::vector<int>(12, 0));
  EXPECT_TRUE(ReadAll(Path(11)).toStdString() == content[11]);
}
