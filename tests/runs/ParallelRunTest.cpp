// A download run whose small files are fetched ahead over several connections, against a
// scripted service: the notices and the summary keep the order of the list, a damaged file
// fails its item alone, and Abort ends the fetches ahead with the run.
#include "BoxRecorder.h"
#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvLib.h"
#include "FakeService.h"
#include "IntegrationFixture.h"
#include "TestEnv.h"

#include <QDirIterator>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <optional>

using namespace cvtest;
using nlohmann::json;

namespace {

// Records each file notice as "action name" and asks for Abort at the chosen fetch.
class NoticeProgress final : public TRunProgress {
 public:
  void SetSingleHeader(const QString&) override {}
  void SetSingleText(const QString&) override {}
  void SetSingleMax(int) override {}
  void SetSinglePosition(int) override {}
  void SetTotalText(const QString&) override {}
  void SetTotalMax(int) override {}
  void SetTotalPosition(int v) override { position = v; }
  int TotalPosition() const override { return position; }
  void FileNotice(TRunFileAction action, const QString& path, std::int64_t, const QString&) override {
    static const char* const kWords[] = {"fetch", "current", "copy", "done", "failed"};
    notices << QStringLiteral("%1 %2").arg(QLatin1String(kWords[static_cast<int>(action)]), QFileInfo(path).fileName());
    if (action == TRunFileAction::Fetch && run && ++fetches == abortAtFetch) run->RequestAbort();
  }
  TDeployRun* run = nullptr;
  int abortAtFetch = 0, fetches = 0, position = 0;
  QStringList notices;
};

class ParallelRun : public ::testing::Test {
 protected:
  // Two chart sets of small files, a0.qmr2 ... and b0.qmr2 ...; file damagedA of the first is
  // sent with other bytes than the signed ones.
  void SetUp() override {
    service.products = json::array();
    service.items = json::array();
    for (const auto& [number, code] : {std::pair{1001, "A"}, std::pair{1002, "B"}}) {
      json files = json::array();
      for (int i = 0; i < kFiles; ++i) {
        const std::string name = std::string(1, static_cast<char>(code[0] - 'A' + 'a')) + std::to_string(i) + ".qmr2";
        files.push_back(service.AddFile(name, std::string(2000 + static_cast<size_t>(i), static_cast<char>('0' + i))));
      }
      service.products.push_back({{"number", number}, {"kind", 1}, {"group", 2019}, {"displayName", code},
                                  {"itemTitle", code}, {"moduleMask", 1}, {"revision", 1}, {"size", 100}});
      service.items.push_back({{"product", number}, {"mask", 1}, {"productCode", code}, {"productName", code},
                               {"moduleCode", "M"}, {"moduleName", "M"}, {"revision", 1}, {"installFolder", ""},
                               {"status", 0}, {"files", files}});
    }
    ASSERT_EQ(engine.SignIn(QStringLiteral("anna@example.com;secret")), 0);
    engine.check->SetConnections(4);
  }

  TRunResult RunAll(NoticeProgress& progress) {
    BoxRecorder boxes(mrNo);
    TRunSettings settings;
    settings.setupType = InstallOnline;
    settings.destination = dest;
    TDeployRun run(*engine.check, &installed, progress, settings);
    progress.run = &run;
    run.AttachEvents(engine.env->EventSource());
    const auto selection = MakeSelection(*engine.check, {{1001, 1}, {1002, 1}}, SelectionKinds::kFromRecords);
    std::optional<TRunResult> result;
    run.SetOnFinished([&](const TRunResult& r) { result = r; });
    EXPECT_TRUE(run.RequestRun(*selection));
    QElapsedTimer timer;
    timer.start();
    while (!result && timer.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_TRUE(result.has_value());
    return result.value_or(TRunResult{});
  }

  // The names of the files below the destination (part files included).
  QStringList FilesOnDisk() const {
    QStringList names;
    QDirIterator it(dest, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) names << QFileInfo(it.next()).fileName();
    names.sort();
    return names;
  }

  static constexpr int kFiles = 7;
  FakeService service;
  EngineOnService engine{service.URL()};
  QString dest = MakeTempFolder(QStringLiteral("parallel"));
  TInstalledCharts installed{MakeTempFolder(QStringLiteral("cache")) + "/ChartInfo.cif"};
};

}  // namespace

TEST_F(ParallelRun, NoticesKeepTheListOrderAndADamagedFileFailsItsItemAlone) {
  service.ReplaceFile("a2.qmr2", std::string(2002, 'x'));
  service.fileDelayMs = 15;  // answers overlap
  NoticeProgress progress;
  const TRunResult result = RunAll(progress);
  QStringList expected = {"fetch a0.qmr2", "done a0.qmr2", "fetch a1.qmr2", "done a1.qmr2", "fetch a2.qmr2", "failed a2.qmr2"};
  for (int i = 0; i < kFiles; ++i) expected << QStringLiteral("fetch b%1.qmr2").arg(i) << QStringLiteral("done b%1.qmr2").arg(i);
  EXPECT_EQ(progress.notices, expected);
  EXPECT_EQ(result.outcome, TRunOutcome::Partial);
  EXPECT_EQ(result.selected, 2);
  EXPECT_EQ(result.succeeded, 1);
  EXPECT_GT(service.maxFilesInFlight, 1) << "the files came one by one";
  EXPECT_LE(service.maxFilesInFlight, 4);
  // The second set is installed whole; of the first nothing past the damaged file arrived.
  const QStringList files = FilesOnDisk();
  for (int i = 0; i < kFiles; ++i) EXPECT_TRUE(files.contains(QStringLiteral("b%1.qmr2").arg(i))) << i;
  for (int i = 2; i < kFiles; ++i) EXPECT_FALSE(files.contains(QStringLiteral("a%1.qmr2").arg(i))) << i;
  EXPECT_TRUE(files.filter(QStringLiteral(".cvpart")).isEmpty()) << qPrintable(files.join(' '));
}

TEST_F(ParallelRun, AbortEndsTheFetchesAheadWithTheRun) {
  service.fileDelayMs = 200;
  NoticeProgress progress;
  progress.abortAtFetch = 2;  // while the files after the second are on their way
  const TRunResult result = RunAll(progress);
  EXPECT_TRUE(result.aborted);
  EXPECT_EQ(result.succeeded, 0);
  EXPECT_EQ(progress.notices.filter(QStringLiteral("fetch")).size(), 2) << qPrintable(progress.notices.join('|'));
  // Nothing that was on its way lands anywhere, neither now nor when its answer comes late.
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  const QStringList files = FilesOnDisk();
  for (int i = 1; i < kFiles; ++i) EXPECT_FALSE(files.contains(QStringLiteral("a%1.qmr2").arg(i))) << i;
  EXPECT_TRUE(files.filter(QStringLiteral("b")).isEmpty()) << qPrintable(files.join(' '));
  EXPECT_TRUE(files.filter(QStringLiteral(".cvpart")).isEmpty()) << qPrintable(files.join(' '));
}
