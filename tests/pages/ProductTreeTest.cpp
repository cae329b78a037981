// The product tree without a view: rows, ticks, statuses, the space sum and the presence rules.
#include "CvInstalledCharts.h"
#include "CvLanguage.h"
#include "CvProductTree.h"
#include "PagesFixture.h"

#include <QColor>

#include <limits>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The tree as lines: "K Programs", "G General", "P Navigator [x] new software",
// "  C Part A [ ] new chartset"; ticks [ ], [x] and [~] (mixed).
QStringList Dump(const TProductTreeModel& m, const QModelIndex& parent = {}, const QString& indent = {}) {
  QStringList lines;
  for (int r = 0; r < m.rowCount(parent); ++r) {
    const QModelIndex i = m.index(r, 0, parent);
    static const char* const kinds[] = {"G", "K", "P", "C"};
    QString line = indent + kinds[m.data(i, TProductTreeModel::NodeTypeRole).toInt()] + " " + m.data(i).toString();
    const QVariant tick = m.data(i, Qt::CheckStateRole);
    if (tick.isValid()) {
      const auto s = static_cast<Qt::CheckState>(tick.toInt());
      line += s == Qt::Checked ? " [x]" : s == Qt::PartiallyChecked ? " [~]" : " [ ]";
    }
    const QString status = m.data(i.sibling(r, 1)).toString();
    if (!status.isEmpty()) line += " " + status;
    lines << line;
    lines += Dump(m, i, indent + "  ");
  }
  return lines;
}

class ProductTreeTest : public PagesFixture {
 protected:
  TFastList list_;
  TProductTreeModel model_;

  void Add(std::initializer_list<ProductRecord*> records) {
    for (ProductRecord* r : records) list_.Add(r);
  }
};

TEST_F(ProductTreeTest, TreeFollowsTheNineStepsWithCompanionsHidden) {
  ProductRecord* nav = Rec(pkProgram, 100, 1, 9999, "Navigator", "", 1000);
  ProductRecord* drv1 = Rec(pkCompanion, 100, 2, 9999, "Drivers", "", 30);
  ProductRecord* drv2 = Rec(pkCompanion, 100, 4, 9999, "Drivers 2", "", 7);
  ProductRecord* a = Rec(pkChartSet, 1001, 1, 2019, "North Sea", "Part A", 100);
  ProductRecord* b = Rec(pkChartSet, 1001, 2, 2019, "North Sea", "Part B", 200);
  ProductRecord* c = Rec(pkChartSet, 1001, 4, 2019, "North Sea", "Part C", 400);
  ProductRecord* d = Rec(pkChartSet, 1002, 1, 2019, "Baltic", "Denmark", 1);
  ProductRecord* e = Rec(pkChartSet, 1001, 8, 2019, "North Sea", "Part D", 1);
  ProductRecord* f = Rec(pkAddOn, 120, 1, 9999, "Tides", "", 5);
  Add({nav, drv1, drv2, a, b, c, d, e, f});
  a->SetChecked(true);
  c->SetChecked(true);
  model_.Build(list_, 3);

  EXPECT_EQ(Dump(model_), QStringList({
                              "K Programs",
                              "G General",
                              "P Navigator [ ] new software",
                              "K Charts",
                              "G 2019",
                              "P North Sea [~]",
                              "  C Part A [x] new chartset",
                              "  C Part B [ ] new chartset",
                              "  C Part C [x] new chartset",
                              "P Baltic [ ]",
                              "  C Denmark [ ] new chartset",
                              "P North Sea [ ]",  // the same name after another product: a row of its own
                              "  C Part D [ ] new chartset",
                              "K Addons",
                              "G General",
                              "P Tides [ ] new software",
                          }))
      << qPrintable(Dump(model_).join('\n'));

  // Ticking the program ticks both hidden companions; their sizes count.
  ASSERT_TRUE(model_.ToggleTick(model_.index(2, 0)));
  EXPECT_TRUE(nav->Checked());
  EXPECT_TRUE(drv1->Checked());
  EXPECT_TRUE(drv2->Checked());
  EXPECT_EQ(CheckedSize(list_), 1000 + 30 + 7 + 100 + 400);
  ASSERT_TRUE(model_.ToggleTick(model_.index(2, 0)));
  EXPECT_FALSE(drv1->Checked());
  EXPECT_FALSE(drv2->Checked());

  // A mixed chart product row becomes ticked with every chart set; again, all go.
  const QModelIndex northSea = model_.index(5, 0);
  ASSERT_TRUE(model_.ToggleTick(northSea));
  EXPECT_TRUE(a->Checked() && b->Checked() && c->Checked());
  EXPECT_FALSE(e->Checked());
  EXPECT_EQ(model_.data(northSea, Qt::CheckStateRole).toInt(), Qt::Checked);
  ASSERT_TRUE(model_.setData(northSea, Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_FALSE(a->Checked() || b->Checked() || c->Checked());
  // A single chart set: the product row follows.
  ASSERT_TRUE(model_.ToggleTick(model_.index(1, 0, northSea)));
  EXPECT_EQ(model_.data(northSea, Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_EQ(CheckedSize(list_), 200);

  // Header rows have no tick box and are never selectable; only chart-set rows are.
  EXPECT_FALSE(model_.ToggleTick(model_.index(0, 0)));
  EXPECT_FALSE(model_.flags(model_.index(0, 0)) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(model_.flags(northSea) & Qt::ItemIsSelectable);
  EXPECT_TRUE(model_.flags(model_.index(0, 0, northSea)) & Qt::ItemIsSelectable);
}

TEST_F(ProductTreeTest, OddRecordsStillGetRowsOfTheirOwn) {
  // An empty name first, a very long name, two programs of one name, and a chart set whose name
  // equals the program just above it under another kind header.
  const QString longName(5000, QChar('N'));
  Add({Rec(pkProgram, 1, 1, 5, ""), Rec(pkProgram, 2, 1, 5, longName), Rec(pkProgram, 3, 1, 5, longName),
       Rec(pkChartSet, 4, 1, 5, longName, "Only")});
  model_.Build(list_, 3);
  EXPECT_EQ(Dump(model_), QStringList({"K Programs", "G 5", "P  [ ] new software", "P " + longName + " [ ] new software",
                                       "P " + longName + " [ ] new software", "K Charts", "G 5", "P " + longName + " [ ]",
                                       "  C Only [ ] new chartset"}));
  // Empty list: no rows at all.
  TFastList empty;
  model_.Build(empty, 1);
  EXPECT_EQ(model_.rowCount(), 0);
}

TEST_F(ProductTreeTest, StatusTextsAndHintsByMode) {
  ProductRecord* r = Rec(pkProgram, 1, 1, 1, "P");
  struct Case {
    bool present, update;
    int mode;
    bool chartRow;
    const char* status;
  } cases[] = {
      {true, true, 0, false, "update available"},   {true, true, 3, true, "update available"},
      {true, false, 0, false, "already in backup"},  {true, false, 1, false, "already installed"},
      {true, false, 3, true, "already installed"},   {false, false, 0, false, "new software"},
      {false, false, 3, true, "new chartset"},       {false, true, 3, false, "new software"},
  };
  for (const Case& c : cases) {
    r->SetPresent(c.present);
    r->SetUpdateAvailable(c.update);
    EXPECT_EQ(StatusText(*r, c.mode, c.chartRow), c.status) << c.mode << c.present << c.update;
  }
  EXPECT_EQ(GroupHeaderText(9999), "General");
  EXPECT_EQ(GroupHeaderText(2019), "2019");
  EXPECT_EQ(KindHeaderText(7), "");
  SetCurrentLanguage(lgDutch);
  EXPECT_EQ(GroupHeaderText(9999), "Algemeen");
  SetCurrentLanguage(lgEnglish);

  // The hint of the status column says "already installed" in every mode.
  r->SetPresent(true);
  r->SetUpdateAvailable(false);
  TFastList one;
  one.Add(r);
  model_.Build(one, 0);
  const QModelIndex row = model_.index(2, 0);
  EXPECT_EQ(model_.data(row, Qt::ToolTipRole).toString(), "P");
  EXPECT_EQ(model_.data(row.sibling(2, 1), Qt::ToolTipRole).toString(), "already installed");
  EXPECT_EQ(model_.data(row.sibling(2, 1)).toString(), "already in backup");
  EXPECT_EQ(model_.data(row.sibling(2, 1), Qt::ForegroundRole).value<QColor>(), QColor(0, 128, 0));
}

TEST_F(ProductTreeTest, SpaceSumAndFooterText) {
  ProductRecord* a = Rec(pkProgram, 1, 1, 1, "A", "", 1536);
  ProductRecord* b = Rec(pkCompanion, 1, 2, 1, "B", "", 3LL << 30);
  ProductRecord* bad = Rec(pkProgram, 2, 1, 1, "Bad", "", -500);
  Add({a, b, bad});
  EXPECT_EQ(CheckedSize(list_), 0);
  a->SetChecked(true);
  bad->SetChecked(true);
  EXPECT_EQ(CheckedSize(list_), 1536);  // a negative size makes no room
  b->SetChecked(true);
  EXPECT_EQ(CheckedSize(list_), 1536 + (3LL << 30));
  ProductRecord* huge = Rec(pkProgram, 3, 1, 1, "Huge", "", std::numeric_limits<qint64>::max() - 10);
  huge->SetChecked(true);
  list_.Add(huge);
  EXPECT_EQ(CheckedSize(list_), std::numeric_limits<qint64>::max());  // no wrap into a small number
  EXPECT_TRUE(SpaceRequiredText(1536).startsWith(" Disk space required: 1"));
  EXPECT_TRUE(SpaceRequiredText(1536).endsWith(" KB"));
  EXPECT_TRUE(SpaceRequiredText(5LL << 20).endsWith(" MB"));
  EXPECT_TRUE(SpaceRequiredText(3LL << 30).endsWith(" GB"));
}

// --- Presence -----------------------------------------------------------------------------

class PresenceTest : public PagesFixture {
 protected:
  void Register(const QString& key, const QString& rootDir) {
    ASSERT_EQ(GetAppReg().WriteString(rrSoftware, key, "RootDir", rootDir), 0);
  }
  void Program(const QString& path, const char* version) {
    Touch(path, QByteArray("\x7f" "ELF....CVPRODUCTVERSION=") + version + QByteArray(1, '\0') + "tail");
  }
};

TEST_F(PresenceTest, ProgramsFromTheSoftwareRegistry) {
  const QString base = cvtest::MakeTempFolder("progs");
  Register("Navigator", base + "/Navigator");
  Program(base + "/Navigator/Navigator", "5.1.0.0");
  Register("QMR Manager\\1", base + "/QMR");
  Program(base + "/QMR/QMRManager", "2.1.0.3");
  Register("Gone", base + "/Gone");  // the key stays, the folder went
  Register("File", base + "/afile");
  Touch(base + "/afile");
  QDir().mkpath(base + "/loop");
  ASSERT_EQ(::symlink(qPrintable(base + "/loop/b"), qPrintable(base + "/loop/a")), 0);
  ASSERT_EQ(::symlink(qPrintable(base + "/loop/a"), qPrintable(base + "/loop/b")), 0);
  Register("Loop", base + "/loop/a");
  Register("Relative", "opt/Navigator");
  Register("Fifo", base + "/Fifo");
  QDir().mkpath(base + "/Fifo");
  ASSERT_EQ(::mkfifo(qPrintable(base + "/Fifo/Fifo"), 0600), 0);
  Register("Huge", base + "/Huge");
  QDir().mkpath(base + "/Huge");
  {
    QFile huge(base + "/Huge/Huge");
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(kMaxProgramFileScan + 1));  // sparse: costs no disk
  }
  Register("Exe", base + "/Exe");
  Program(base + "/Exe/Exe.exe", "1.0.0.0");
  Program(base + "/Exe/Exe", "9.0.0.0");  // the name with ".exe" wins
  Register("NoMarker", base + "/NoMarker");
  Touch(base + "/NoMarker/NoMarker", "plain");

  const uint32_t v52 = cvlib::PackVersion(5, 2, 0, 0);
  struct Case {
    const char* key;
    uint32_t latest;
    bool present, update;
  } cases[] = {
      {"Navigator", v52, true, true},
      {"navigator", cvlib::PackVersion(5, 1, 0, 0), true, false},  // equal: no update; keys ignore case
      {"QMR Manager\\1", cvlib::PackVersion(2, 1, 0, 4), true, true},
      {"Gone", v52, false, false},
      {"File", v52, false, false},
      {"Loop", v52, false, false},
      {"Relative", v52, false, false},
      {"Missing", v52, false, false},
      {"", v52, false, false},
      {"..", v52, false, false},
      {"..\\..\\Navigator", v52, false, false},
      {"Fifo", v52, true, false},  // a pipe is not read: nothing blocks
      {"Huge", v52, true, false},
      {"NoMarker", v52, true, false},
      {"Exe", v52, true, true},
  };
  for (const Case& c : cases) {
    bool update = true;
    EXPECT_EQ(ProgramPresent(c.key, c.latest, update), c.present) << c.key;
    EXPECT_EQ(update, c.update) << c.key;
  }
  EXPECT_EQ(ProgramFileName("QMR Manager\\1"), "QMRManager");
  EXPECT_EQ(ProgramFileName("Corvane Navigator\\Sub Key"), "CorvaneNavigatorSubKey");
}

// What may stand under a program's name: only a regular file is read, links are followed, and
// the name never leads out of the folder.
TEST_F(PresenceTest, ProgramFilesOfEveryKind) {
  const QString base = cvtest::MakeTempFolder("kinds");
  const auto folder = [&](const QString& key) {
    Register(key, base + "/" + key);
    QDir().mkpath(base + "/" + key);
    return base + "/" + key + "/";
  };
  Program(base + "/elsewhere", "1.0.0.0");
  ASSERT_EQ(::symlink(qPrintable(base + "/elsewhere"), qPrintable(folder("Linked") + "Linked")), 0);
  ASSERT_EQ(::mkfifo(qPrintable(folder("FifoExe") + "FifoExe.exe"), 0600), 0);
  ASSERT_EQ(::mkfifo(qPrintable(base + "/fifo"), 0600), 0);
  ASSERT_EQ(::symlink(qPrintable(base + "/fifo"), qPrintable(folder("LinkedFifo") + "LinkedFifo")), 0);
  ASSERT_EQ(::symlink(qPrintable(base + "/nothing"), qPrintable(folder("Dangling") + "Dangling")), 0);
  QDir().mkpath(folder("DirProg") + "DirProg");
  Program(folder("Gone") + "Gone", "1.0.0.0");
  // A key may hold a '/': as a program name it would lead out of the folder.
  const QString outside = base + "/Out/Out";
  Program(outside, "1.0.0.0");
  Register(outside, base + "/In");
  QDir().mkpath(base + "/In");
  Register("Resource", ":/");  // a Qt resource path is no folder
  Register("Zero", base + "/Linked" + QChar(0) + "x");
  const uint32_t v52 = cvlib::PackVersion(5, 2, 0, 0);
  QDir(base + "/Gone").removeRecursively();
  struct Case {
    QString key;
    bool present, update;
  } cases[] = {
      {"Linked", true, true},     {"FifoExe", true, false}, {"LinkedFifo", true, false}, {"Dangling", true, false},
      {"DirProg", true, false},   {"Gone", false, false},   {outside, true, false},      {"Resource", false, false},
      {"Zero", false, false},
  };
  for (const Case& c : cases) {
    bool update = true;
    EXPECT_EQ(ProgramPresent(c.key, v52, update), c.present) << c.key.toStdString();
    EXPECT_EQ(update, c.update) << c.key.toStdString();
  }
  // With 0 as the latest version nothing can be older.
  bool update = true;
  EXPECT_TRUE(ProgramPresent("Linked", 0, update));
  EXPECT_FALSE(update);
}

TEST_F(PresenceTest, ProgramsOnAbsentOrRemoteVolumes) {
  const QStringList roots = Volumes({{"sys", "fixed", true}, {"stick", "removable", false}, {"share", "remote", true}});
  QDir().mkpath(roots[1] + "Nav");
  Register("OnStick", roots[1] + "Nav");
  QDir().mkpath(roots[2] + "Nav");
  Program(roots[2] + "Nav/OnShare", "1.0.0.0");
  Register("OnShare", roots[2] + "Nav");
  bool update = true;
  // A medium listed but not there: not present, and never touched.
  EXPECT_FALSE(ProgramPresent("OnStick", 0xFFFFFFFF, update));
  // On a remote volume the folder counts, the program file is not read.
  EXPECT_TRUE(ProgramPresent("OnShare", 0xFFFFFFFF, update));
  EXPECT_FALSE(update);
}

TEST_F(PresenceTest, ChartSetsFromTheInstalledProductsWithASignExtendedMask) {
  const QString charts = cvtest::MakeTempFolder("charts") + "/";
  {
    // Installed: product 1001 with modules 0 and 40 (bit 40 only within a sign-extended mask).
    TInstalledCharts setup(home_ + "/cache/ChartInfo.cif");
    int error = 0;
    TInstalledChartProduct* p = setup.AddProduct("NS", "North Sea", error);
    ASSERT_TRUE(p);
    for (auto [code, module] : {std::pair{"NL", 0}, std::pair{"FAR", 40}}) {
      TInstalledChartModule* m = p->AddModule(code, code, error, false, charts + code + "/");
      ASSERT_TRUE(m);
      ASSERT_EQ(WriteChartFile(charts + code + "/a.qmr2", 1001, module, 16), 0);
      ASSERT_TRUE(m->AddChart("a.qmr2", error, 1.0));
    }
  }
  TInstalledCharts installed(home_ + "/cache/ChartInfo.cif");
  struct Case {
    int product, mask;
    bool present;
  } cases[] = {
      {1001, 1, true},
      {1001, 2, false},
      {1001, static_cast<int>(0x80000000u), true},  // bit 31 extends over 40
      {1001, 0x40000000, false},
      {1002, -1, false},
  };
  for (const Case& c : cases) {
    for (int mode : {1, 3}) {
      ProductRecord* r = Rec(pkChartSet, c.product, c.mask, 1, "NS");
      r->SetChecked(true);
      WorkOutPresence(*r, mode, &installed, nullptr);
      EXPECT_EQ(r->Present(), c.present) << c.product << " " << c.mask;
      EXPECT_FALSE(r->Checked());
      EXPECT_FALSE(r->UpdateAvailable());
    }
  }
}

TEST_F(PresenceTest, BackupModeAsksTheBackupIndex) {
  cvlib::TNavEnv* env = nullptr;
  auto envHolder = NavEnvCreate();
  env = envHolder.get();
  auto check = QMRChartCheckCreate(env->EventSource(), "CSI", cvlib::PackVersion(1, 0, 0, 0));
  cvlib::TItemData item;
  item.productNumber = 1001;
  item.moduleMask = 2;
  item.productCode = "NS";
  item.moduleCode = "B";
  item.revision = 5;
  item.sourceFolder = "QMR2/NS/B/";
  item.files.push_back({"b.qmr2", "", 10, 1700000000, false, QString(64, 'a'), {}, {}});
  const QString index = cvtest::MakeTempFolder("idx") + "/cvbackup.idx";
  ASSERT_EQ(cvlib::WriteBackupIndexFile(index, {item}), 0);
  ASSERT_EQ(check->ReadBackupIndex(index), 0);

  struct Case {
    int mask, revision;
    bool present, update;
  } cases[] = {{2, 5, true, false}, {2, 6, true, true}, {2, 4, true, false}, {1, 9, false, false}};
  for (const Case& c : cases) {
    ProductRecord* r = Rec(pkChartSet, 1001, c.mask, 1, "NS", "", 0, "", 0, c.revision);
    WorkOutPresence(*r, 0, nullptr, check.get());
    EXPECT_EQ(r->Present(), c.present) << c.mask << " " << c.revision;
    EXPECT_EQ(r->UpdateAvailable(), c.update) << c.mask << " " << c.revision;
  }
  // Without a chart-check object nothing is in the backup.
  ProductRecord* r = Rec(pkChartSet, 1001, 2, 1, "NS");
  WorkOutPresence(*r, 0, nullptr, nullptr);
  EXPECT_FALSE(r->Present());
}

}  // namespace
