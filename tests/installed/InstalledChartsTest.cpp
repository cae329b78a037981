#include "CvInstalledCharts.h"
#include "InstalledFixture.h"

#include <QDir>
#include <QFileInfo>

namespace {

using cvlib::ceChartFileName;
using cvlib::ceChartNotFound;
using cvlib::ceStoreBadKey;
using cvlib::ceStoreOpen;

class InstalledChartsTest : public InstalledFixture {
 protected:
  TAppReg& reg = GetAppReg();

  void Module(const QString& product, const QString& module, const QString& path) {
    reg.WriteString(rrProducts, product + "\\Modules\\" + module, "Name", module + " name");
    if (!path.isNull()) reg.WriteString(rrProducts, product + "\\Modules\\" + module, "Path", path);
  }
  void File(const QString& product, const QString& module, const QString& kind, const QString& name,
            double lastUpdate = 45000.5) {
    reg.WriteFloat(rrProducts, product + "\\Modules\\" + module + "\\" + kind + "\\" + name, "LastUpdate",
                   lastUpdate);
  }
  QStringList Keys(const QString& key) {
    QStringList names;
    EXPECT_EQ(reg.GetKeyNames(rrProducts, key, names), 0);
    return names;
  }
  std::unique_ptr<TInstalledCharts> Load() { return std::make_unique<TInstalledCharts>(cacheFile_); }
};

TEST_F(InstalledChartsTest, EmptyStoreStillSavesTheCache) {
  auto model = Load();
  EXPECT_TRUE(model->Products().empty());
  EXPECT_EQ(model->LoadError(), 0);
  EXPECT_EQ(model->FindProductByNumber(0), nullptr);
  EXPECT_EQ(model->FindProduct("X"), nullptr);
  EXPECT_TRUE(QFileInfo(cacheFile_).isFile());
}

TEST_F(InstalledChartsTest, LoadsTheStoreLayout) {
  // Product "Nav" (listed second: store order ignores case): module A with charts of module
  // number 3, module B whose first chart is unreadable.
  reg.WriteString(rrProducts, "nav", "Name", "  Navigation charts \t");
  Module("nav", "A", " " + charts_ + "nav/A ");
  reg.WriteBool(rrProducts, "nav\\Modules\\A", "InternetInstall", true);
  Chart("nav/A/a1.qmr2", 1500, 3);
  Chart("nav/A/a2.qmr2", 1500, 3);
  File("nav", "A", "Charts", "a1.qmr2", 45001.25);
  reg.CreateKey(rrProducts, "nav\\Modules\\A\\Charts\\a2.qmr2");  // no LastUpdate
  File("nav", "A", "Databases", "d.db");
  File("nav", "A", "Dependencies", "readme.txt");
  Module("nav", "B", charts_ + "nav/B/");
  Chart("nav/B/b2.qmr2", 1500, 4);
  File("nav", "B", "Charts", "b1.qmr2");  // missing file, listed first
  File("nav", "B", "Charts", "b2.qmr2");
  // Product "Atlas": first module without charts, a second one with; a module without Path.
  reg.WriteString(rrProducts, "Atlas", "Name", "Atlas");
  Module("Atlas", "1", QString());
  Module("Atlas", "2", "");
  File("Atlas", "2", "Charts", "bare.qmr2");
  Module("Atlas", "3", charts_ + "atlas/3");
  Chart("atlas/3/c.qmr2", 1600, 0);
  File("Atlas", "3", "Charts", "c.qmr2");
  reg.CreateKey(rrProducts, "Empty");

  auto model = Load();
  ASSERT_EQ(model->LoadError(), 0);
  ASSERT_EQ(model->Products().size(), 3u);
  const TInstalledChartProduct& atlas = *model->Products()[0];
  const TInstalledChartProduct& nav = *model->Products()[2];
  EXPECT_EQ(atlas.Code(), "Atlas");
  EXPECT_EQ(model->Products()[1]->Code(), "Empty");
  EXPECT_EQ(model->Products()[1]->ProductNumber(), 0);
  EXPECT_EQ(nav.Code(), "nav");
  EXPECT_EQ(nav.Name(), "Navigation charts");
  EXPECT_EQ(nav.Owner(), model.get());

  ASSERT_EQ(nav.Modules().size(), 2u);
  const TInstalledChartModule& a = *nav.Modules()[0];
  EXPECT_EQ(a.Product(), &nav);
  EXPECT_EQ(a.Name(), "A name");
  EXPECT_EQ(a.Path(), charts_ + "nav/A/");
  EXPECT_TRUE(a.InternetInstall());
  EXPECT_EQ(a.Key(), "nav\\Modules\\A");
  ASSERT_EQ(a.Charts().size(), 2u);
  const TInstalledChart& a1 = *a.Charts()[0];
  EXPECT_EQ(a1.FileName(), charts_ + "nav/A/a1.qmr2");
  EXPECT_EQ(a1.LastUpdate(), 45001.25);
  EXPECT_EQ(a1.InfoError(), 0);
  ASSERT_NE(a1.ChartInfo(), nullptr);
  EXPECT_EQ(a1.ProductNumber(), 1500);
  EXPECT_EQ(a1.ModuleNumber(), 3);
  EXPECT_EQ(a1.ModuleMask(), 8u);
  EXPECT_EQ(a.Charts()[1]->LastUpdate(), -1.0);
  EXPECT_EQ(a.ProductNumber(), 1500);
  EXPECT_EQ(a.ModuleNumber(), 3);
  EXPECT_EQ(a.ModuleMask(), 8u);
  ASSERT_EQ(a.Databases().size(), 1u);
  EXPECT_EQ(a.Databases()[0]->FileName(), charts_ + "nav/A/d.db");
  EXPECT_EQ(a.Databases()[0]->Module(), &a);
  ASSERT_EQ(a.Dependencies().size(), 1u);
  EXPECT_EQ(a.Dependencies()[0]->FileName(), charts_ + "nav/A/readme.txt");
  EXPECT_FALSE(nav.Modules()[1]->InternetInstall());

  // The first chart decides the module's numbers, readable or not.
  const TInstalledChartModule& b = *nav.Modules()[1];
  EXPECT_EQ(b.Charts()[0]->InfoError(), ceChartNotFound);
  EXPECT_EQ(b.Charts()[0]->ChartInfo(), nullptr);
  EXPECT_EQ(b.Charts()[0]->ModuleMask(), 0u);
  EXPECT_EQ(b.Charts()[1]->ModuleNumber(), 4);
  EXPECT_EQ(b.ProductNumber(), 0);
  EXPECT_EQ(b.ModuleMask(), 0u);
  EXPECT_EQ(nav.ProductNumber(), 1500);

  // The first module has no charts: the product has number 0 though module 3 has one.
  ASSERT_EQ(atlas.Modules().size(), 3u);
  EXPECT_EQ(atlas.Modules()[0]->Path(), "");
  EXPECT_EQ(atlas.Modules()[0]->ProductNumber(), 0);
  EXPECT_EQ(atlas.Modules()[1]->Charts()[0]->FileName(), "bare.qmr2");
  EXPECT_EQ(atlas.Modules()[2]->ProductNumber(), 1600);
  EXPECT_EQ(atlas.ProductNumber(), 0);

  EXPECT_EQ(model->FindProductByNumber(1500), &nav);
  EXPECT_EQ(model->FindProductByNumber(1600), nullptr);
  EXPECT_EQ(model->FindProduct("NAV"), &nav);
  EXPECT_EQ(nav.FindModule("b"), &b);
  EXPECT_EQ(a.FindChart(charts_ + "nav/A/A1.QMR2"), &a1);
  EXPECT_EQ(a.FindChart("a1.qmr2"), nullptr);
  EXPECT_EQ(a.FindDatabase(charts_ + "nav/A/D.db"), a.Databases()[0].get());
  EXPECT_EQ(a.FindDependency(charts_ + "nav/A/readme.txt"), a.Dependencies()[0].get());
}

TEST_F(InstalledChartsTest, HasModuleIn) {
  reg.WriteString(rrProducts, "P", "Name", "P");
  const struct {
    const char* module;
    int number;
  } modules[] = {{"a", 0}, {"b", 5}, {"c", 63}};
  for (const auto& m : modules) {
    Module("P", m.module, charts_ + m.module);
    Chart(QString(m.module) + "/x.qmr2", 1700, m.number);
    File("P", m.module, "Charts", "x.qmr2");
  }
  reg.WriteString(rrProducts, "Q", "Name", "Q");  // module numbers without a bit
  for (int number : {64, -1}) {
    const QString code = QString::number(number);
    Module("Q", code, charts_ + "q" + code);
    Chart("q" + code + "/x.qmr2", 1800, number);
    File("Q", code, "Charts", "x.qmr2");
  }
  auto model = Load();
  const TInstalledChartProduct* p = model->FindProduct("P");
  const TInstalledChartProduct* q = model->FindProduct("Q");
  ASSERT_TRUE(p && q);
  EXPECT_EQ(q->Modules()[0]->ModuleMask(), 0u);
  const struct {
    quint64 mask;
    bool p;
  } cases[] = {
      {0, false},
      {1, true},
      {0x20, true},
      {0x40, false},
      {quint64{1} << 63, true},
      {static_cast<quint64>(static_cast<qint64>(std::int32_t(0x80000000))), true},  // sign-extended
      {~quint64{0} & ~quint64{0x21} & ~(quint64{1} << 63), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    EXPECT_EQ(p->HasModuleIn(c.mask), c.p);
    EXPECT_FALSE(q->HasModuleIn(c.mask));
  }
  EXPECT_FALSE(q->HasModuleIn(~quint64{0}));
}

TEST_F(InstalledChartsTest, AddOperationsWriteTheStoreThenTheModel) {
  reg.WriteString(rrProducts, "Old", "Name", "Stored name");
  auto model = Load();
  int error = -1;

  // An existing product (other letter case) comes back unchanged and nothing is written.
  TInstalledChartProduct* old = model->AddProduct("OLD", "Other name", error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(old, model->FindProduct("Old"));
  EXPECT_EQ(reg.ReadString(rrProducts, "Old", "Name"), "Stored name");

  // A product another program recorded after the load is loaded with its modules.
  Module("Later", "M", charts_ + "later/M/");
  File("Later", "M", "Dependencies", "x.txt");
  TInstalledChartProduct* later = model->AddProduct("later", "Later charts", error);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->Code(), "Later");  // as stored
  EXPECT_EQ(later->Name(), "Later charts");
  ASSERT_EQ(later->Modules().size(), 1u);
  EXPECT_EQ(later->Modules()[0]->Dependencies().size(), 1u);

  TInstalledChartProduct* p = model->AddProduct("New", "New charts", error);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reg.ReadString(rrProducts, "New", "Name"), "New charts");
  EXPECT_EQ(model->Products().back().get(), p);

  const QString folder = charts_ + "New/A/";
  TInstalledChartModule* m = p->AddModule("A", "Module A", error, true, folder);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(reg.ReadString(rrProducts, "New\\Modules\\A", "Path"), folder);
  EXPECT_EQ(reg.ReadString(rrProducts, "New\\Modules\\A", "Name"), "Module A");
  EXPECT_TRUE(reg.ReadBool(rrProducts, "New\\Modules\\A", "InternetInstall", false));
  EXPECT_EQ(m->Path(), folder);
  TInstalledChartModule* other = p->AddModule("B", "Module B", error, false, charts_ + "New/B");
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(reg.ValueExists(rrProducts, "New\\Modules\\B", "InternetInstall"));
  EXPECT_EQ(other->Path(), charts_ + "New/B/");
  EXPECT_EQ(p->AddModule("a", "changed", error, false, "/elsewhere/"), m);
  EXPECT_EQ(reg.ReadString(rrProducts, "New\\Modules\\A", "Path"), folder);

  // A chart recomputes the numbers of its module and product; a missing file is recorded too.
  EXPECT_EQ(p->ProductNumber(), 0);
  Chart("New/A/c1.qmr2", 1900, 2);
  TInstalledChart* c1 = m->AddChart("c1.qmr2", error, 45100.5);
  ASSERT_NE(c1, nullptr);
  EXPECT_EQ(reg.ReadFloat(rrProducts, "New\\Modules\\A\\Charts\\c1.qmr2", "LastUpdate", 0), 45100.5);
  EXPECT_EQ(m->ModuleMask(), 4u);
  EXPECT_EQ(p->ProductNumber(), 1900);
  EXPECT_EQ(model->FindProductByNumber(1900), p);
  TInstalledChart* gone = m->AddChart("gone.qmr2", error, 45100.5);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(gone->InfoError(), ceChartNotFound);
  EXPECT_EQ(m->AddChart("C1.qmr2", error, 1.0), c1);  // already recorded: nothing written
  EXPECT_EQ(reg.ReadFloat(rrProducts, "New\\Modules\\A\\Charts\\c1.qmr2", "LastUpdate", 0), 45100.5);
  EXPECT_EQ(m->Charts().size(), 2u);

  TInstalledDatabase* db = m->AddDatabase("x.db", error, 45000.0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->FileName(), folder + "x.db");
  EXPECT_EQ(m->AddDatabase("X.DB", error, 1.0), db);
  TInstalledDependency* dep = m->AddDependency("read me.txt", error, 45000.0);
  ASSERT_NE(dep, nullptr);
  EXPECT_EQ(Keys("New\\Modules\\A"), QStringList({"Charts", "Databases", "Dependencies"}));
  EXPECT_EQ(Keys("New\\Modules\\A\\Dependencies"), QStringList({"read me.txt"}));

  // What was added is what a new load sees.
  model.reset();
  model = Load();
  const TInstalledChartModule* again = model->FindProduct("New")->FindModule("A");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Charts().size(), 2u);
  EXPECT_EQ(again->ModuleMask(), 4u);
  EXPECT_TRUE(again->InternetInstall());
}

TEST_F(InstalledChartsTest, RefusedNamesWriteNothing) {
  auto model = Load();
  int error = 0;
  for (const QString& code : {QString(), QStringLiteral("a\\b"), QStringLiteral("\\")}) {
    EXPECT_EQ(model->AddProduct(code, "x", error), nullptr);
    EXPECT_EQ(error, ceStoreBadKey);
  }
  TInstalledChartProduct* p = model->AddProduct("P", "P", error);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->AddModule("A\\B", "x", error, false, "/x/"), nullptr);
  EXPECT_EQ(error, ceStoreBadKey);
  TInstalledChartModule* m = p->AddModule("A", "A", error, false, charts_);
  ASSERT_NE(m, nullptr);
  for (const QString& name : {QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("../x.qmr2"),
                              QStringLiteral("sub/x.qmr2"), QStringLiteral("a\\b.qmr2")}) {
    SCOPED_TRACE(name.toStdString());
    EXPECT_EQ(m->AddChart(name, error, 1.0), nullptr);
    EXPECT_EQ(error, ceChartFileName);
    EXPECT_EQ(m->AddDatabase(name, error, 1.0), nullptr);
    EXPECT_EQ(error, ceChartFileName);
    EXPECT_EQ(m->AddDependency(name, error, 1.0), nullptr);
    EXPECT_EQ(error, ceChartFileName);
  }
  EXPECT_EQ(Keys(""), QStringList({"P"}));
  EXPECT_EQ(Keys("P\\Modules\\A"), QStringList());
}

TEST_F(InstalledChartsTest, StoreErrorsAreReturnedAndBuildNothing) {
  reg.WriteString(rrProducts, "P", "Name", "P");
  Module("P", "A", charts_ + "A/");
  auto model = Load();
  TInstalledChartProduct* p = model->FindProduct("P");
  TInstalledChartModule* m = p->FindModule("A");

  // A folder in the store file's place: every write fails.
  const QString store = TAppReg::RootFileName(rrProducts);
  ASSERT_TRUE(QFile::rename(store, store + ".away"));
  ASSERT_TRUE(QDir().mkpath(store));
  int error = 0;
  EXPECT_EQ(model->AddProduct("Q", "Q", error), nullptr);
  EXPECT_EQ(error, ceStoreOpen);
  EXPECT_EQ(p->AddModule("B", "B", error, true, "/b/"), nullptr);
  EXPECT_EQ(error, ceStoreOpen);
  EXPECT_EQ(m->AddChart("x.qmr2", error, 1.0), nullptr);
  EXPECT_EQ(error, ceStoreOpen);
  EXPECT_EQ(m->AddDependency("x.txt", error, 1.0), nullptr);
  EXPECT_EQ(error, ceStoreOpen);
  // The module stays while its key cannot be deleted.
  EXPECT_EQ(p->RemoveModule(m), ceStoreOpen);
  EXPECT_EQ(p->FindModule("A"), m);
  EXPECT_EQ(model->Products().size(), 1u);
  EXPECT_EQ(p->Modules().size(), 1u);
  EXPECT_TRUE(m->Charts().empty());
  EXPECT_TRUE(m->Dependencies().empty());

  // A store that cannot be read loads as empty and says why.
  auto unreadable = Load();
  EXPECT_EQ(unreadable->LoadError(), ceStoreOpen);
  EXPECT_TRUE(unreadable->Products().empty());
}

TEST_F(InstalledChartsTest, RemoveModuleDeletesItsKeysOnly) {
  reg.WriteString(rrProducts, "P", "Name", "P");
  Module("P", "A", charts_ + "A/");
  File("P", "A", "Charts", "a.qmr2");
  Module("P", "B", charts_ + "B/");
  File("P", "B", "Charts", "b.qmr2");
  const QString a = Chart("A/a.qmr2", 2100, 1);
  Chart("B/b.qmr2", 2200, 2);
  auto model = Load();
  TInstalledChartProduct* p = model->FindProduct("P");
  EXPECT_EQ(p->ProductNumber(), 2100);

  EXPECT_EQ(p->RemoveModule(p->FindModule("A")), 0);
  EXPECT_EQ(p->Modules().size(), 1u);
  EXPECT_EQ(p->ProductNumber(), 2200);
  EXPECT_EQ(Keys("P\\Modules"), QStringList({"B"}));
  EXPECT_TRUE(QFileInfo::exists(a));

  EXPECT_EQ(p->RemoveModule(p->FindModule("B")), 0);
  EXPECT_EQ(p->ProductNumber(), 0);
  EXPECT_TRUE(reg.KeyExists(rrProducts, "P"));
  EXPECT_EQ(model->FindProduct("P"), p);

  // Reinstalling: the module comes back with the new folder and no old records.
  int error = 0;
  TInstalledChartModule* m = p->AddModule("A", "A", error, true, charts_ + "A2/");
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(m->Charts().empty());
}

TEST_F(InstalledChartsTest, LegacyCompletionAddsUnrecordedSeriesChartsInMemory) {
  reg.WriteString(rrSettings, "Settings", "LegacyChartProduct", "Old");
  const QString folder = charts_ + "old/A/";
  Module("OLD", "a", folder);
  File("OLD", "a", "Charts", "Old - A - 04.qmr2", 45000.0);
  File("OLD", "a", "Charts", "other.qmr2", 45000.0);
  Chart("old/A/Old - A - 04.qmr2", 3000, 1);
  Chart("old/A/Old - A - 29.qmr2", 3000, 1);
  Module("OLD", "B", charts_ + "old/B/");
  Module("Other", "A", charts_ + "other/A/");

  auto model = Load();
  EXPECT_EQ(model->LegacyProductCode(), "Old");
  const TInstalledChartModule* a = model->FindProduct("old")->FindModule("A");
  ASSERT_EQ(a->Charts().size(), 2u + 15u);
  EXPECT_EQ(a->Charts()[0]->FileName(), folder + "Old - A - 04.qmr2");
  EXPECT_EQ(a->Charts()[1]->FileName(), folder + "other.qmr2");
  const char* const expected[] = {"02", "06", "08", "10", "12", "14", "16", "18",
                                  "20", "22", "24", "26", "28", "29", "30"};
  for (int i = 0; i < 15; ++i) {
    const TInstalledChart& c = *a->Charts()[static_cast<size_t>(i + 2)];
    EXPECT_EQ(c.FileName(), folder + "Old - A - " + expected[i] + ".qmr2");
    EXPECT_EQ(c.LastUpdate(), -1.0);
    EXPECT_EQ(c.InfoError(), QString(expected[i]) == "29" ? 0 : ceChartNotFound);
  }
  EXPECT_EQ(Keys("OLD\\Modules\\a\\Charts").size(), 2);
  EXPECT_TRUE(model->FindProduct("old")->FindModule("B")->Charts().empty());
  EXPECT_TRUE(model->FindProduct("Other")->FindModule("A")->Charts().empty());
}

TEST_F(InstalledChartsTest, UnwritableCacheFailsTheCreation) {
  WriteBytes(home_ + "/plainfile", "x");
  cacheFile_ = home_ + "/plainfile/ChartInfo.cif";
  try {
    Load();
    FAIL() << "no exception";
  } catch (const EInstalledChartsError& e) {
    EXPECT_EQ(e.Message(), ErrorToStr(cvlib::ceChartCacheWrite) + " (Saving chart cache file: " + cacheFile_ + ")");
  }
}

TEST_F(InstalledChartsTest, DestructionSavesChartsAddedLater) {
  auto model = Load();
  int error = 0;
  TInstalledChartModule* m =
      model->AddProduct("P", "P", error)->AddModule("A", "A", error, true, charts_ + "P/A/");
  ASSERT_NE(m, nullptr);
  const QString chart = Chart("P/A/late.qmr2", 4000, 1);
  ASSERT_NE(m->AddChart("late.qmr2", error, 1.0), nullptr);
  model.reset();
  QFile f(cacheFile_);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.readAll().contains(chart.toUtf8()));
}

}  // namespace
