#include "StoreFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sqlite3.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

namespace {

using cvlib::ceOK;
using cvlib::ceStoreBadKey;
using cvlib::ceStoreBadValue;
using cvlib::ceStoreCorrupt;
using cvlib::ceStoreNewer;
using cvlib::ceStoreNoKey;
using cvlib::ceStoreNoValue;
using cvlib::ceStoreOpen;

class RegistryTest : public StoreFixture {
 protected:
  TAppReg& reg = GetAppReg();

  QStringList Keys(int root, const QString& key) {
    QStringList names;
    EXPECT_EQ(reg.GetKeyNames(root, key, names), ceOK);
    return names;
  }

  // Runs a SQL statement on a store file from outside the library; the first column of the
  // first row.
  static QString Sql(const QString& file, const char* sql) {
    sqlite3* db = nullptr;
    QString result;
    if (sqlite3_open(QFile::encodeName(file).constData(), &db) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
  }
};

TEST_F(RegistryTest, RootsLiveInTheirXdgFolders) {
  EXPECT_EQ(TAppReg::RootFileName(rrSettings), home_ + "/config/Corvane/Deployer/Settings.db");
  EXPECT_EQ(TAppReg::RootFileName(rrSoftware), home_ + "/data/Corvane/SoftwareRegistry.db");
  EXPECT_EQ(TAppReg::RootFileName(rrProducts), home_ + "/data/Corvane/InstalledProducts.db");
  EXPECT_EQ(TAppReg::RootFileName(0), "");
  EXPECT_EQ(TAppReg::RootFileName(4), "");

  // Unset or relative XDG folders fall back to the home folder's defaults.
  const QByteArray config = qgetenv("XDG_CONFIG_HOME");
  const QByteArray data = qgetenv("XDG_DATA_HOME");
  setenv("XDG_CONFIG_HOME", "relative/path", 1);
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(TAppReg::RootFileName(rrSettings), QDir::homePath() + "/.config/Corvane/Deployer/Settings.db");
  EXPECT_EQ(TAppReg::RootFileName(rrProducts), QDir::homePath() + "/.local/share/Corvane/InstalledProducts.db");
  setenv("XDG_CONFIG_HOME", config.constData(), 1);
  setenv("XDG_DATA_HOME", data.constData(), 1);

  // The roots are separate stores.
  ASSERT_EQ(reg.WriteString(rrSoftware, "Prog", "RootDir", "/opt/x/"), ceOK);
  EXPECT_FALSE(reg.KeyExists(rrProducts, "Prog"));
  EXPECT_FALSE(reg.KeyExists(rrSettings, "Prog"));
  EXPECT_TRUE(QFileInfo::exists(home_ + "/data/Corvane/SoftwareRegistry.db"));
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveKeepTheirCaseAndListInNameOrder) {
  for (const char* key : {"gamma", "Beta", "alpha", "Delta", "\xC3\x89" "clair", "ZULU", "zeta"})
    ASSERT_EQ(reg.CreateKey(rrProducts, key), ceOK) << key;
  // Existing keys, whatever the case, are not made twice and keep the case first written.
  EXPECT_EQ(reg.CreateKey(rrProducts, "ALPHA"), ceOK);
  EXPECT_EQ(reg.CreateKey(rrProducts, "\xC3\xA9" "CLAIR"), ceOK);  // "éCLAIR": Unicode folding
  EXPECT_EQ(Keys(rrProducts, ""),
            QStringList({"alpha", "Beta", "Delta", "gamma", "zeta", "ZULU", "\xC3\x89" "clair"}));

  ASSERT_EQ(reg.WriteString(rrProducts, "Beta\\Modules\\A", "Name", "first"), ceOK);
  EXPECT_EQ(reg.WriteString(rrProducts, "BETA\\modules\\a", "NAME", "second"), ceOK);
  EXPECT_EQ(reg.ReadString(rrProducts, "beta\\MODULES\\A", "name", ""), "second");
  EXPECT_EQ(Keys(rrProducts, "bEtA"), QStringList{"Modules"});
  QList<TRegValue> values;
  ASSERT_EQ(reg.GetValues(rrProducts, "Beta\\Modules\\A", values), ceOK);
  ASSERT_EQ(values.size(), 1);
  EXPECT_EQ(values[0].name, "Name");  // the stored case stays on overwrite
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndReadBackExactly) {
  const QString key = "P\\Modules\\M\\Charts\\a.qmr2";
  ASSERT_EQ(reg.WriteString(rrProducts, key, "S", "Fran\xC3\xA7" "ais\ttab\r\nline"), ceOK);
  ASSERT_EQ(reg.WriteString(rrProducts, key, "Empty", ""), ceOK);
  ASSERT_EQ(reg.WriteInteger(rrProducts, key, "I", -2147483648LL), ceOK);
  ASSERT_EQ(reg.WriteInteger(rrProducts, key, "Big", 1LL << 40), ceOK);
  ASSERT_EQ(reg.WriteBool(rrProducts, key, "B", true), ceOK);
  ASSERT_EQ(reg.WriteFloat(rrProducts, key, "LastUpdate", 45123.123456789012), ceOK);
  ASSERT_EQ(reg.WriteFloat(rrProducts, key, "Tenth", 0.1), ceOK);
  ASSERT_EQ(reg.WriteString(rrProducts, "", "AtRoot", "r"), ceOK);

  EXPECT_EQ(reg.ReadString(rrProducts, key, "S", "x"), "Fran\xC3\xA7" "ais\ttab\r\nline");
  EXPECT_EQ(reg.ReadString(rrProducts, key, "Empty", "x"), "");
  EXPECT_EQ(reg.ReadInteger(rrProducts, key, "I", 0), -2147483647 - 1);
  EXPECT_EQ(reg.ReadBool(rrProducts, key, "B", false), true);
  EXPECT_EQ(reg.ReadFloat(rrProducts, key, "LastUpdate", -1.0), 45123.123456789012);
  EXPECT_EQ(reg.ReadFloat(rrProducts, key, "Tenth", -1.0), 0.1);
  EXPECT_EQ(reg.ReadString(rrProducts, "", "AtRoot", ""), "r");

  QList<TRegValue> values;
  ASSERT_EQ(reg.GetValues(rrProducts, key, values), ceOK);
  QStringList listed;
  for (const TRegValue& v : values)
    listed << v.name + ":" + cvlib::RegTypeName(v.type) + ":" + cvlib::RegValueToText(v);
  EXPECT_EQ(listed, QStringList({"B:bool:true", "Big:int:1099511627776", "Empty:string:",
                                 "I:int:-2147483648", "LastUpdate:float:45123.12345678901",
                                 "S:string:Fran\xC3\xA7" "ais\ttab\r\nline", "Tenth:float:0.1"}));

  // A write replaces the value whatever its type was.
  ASSERT_EQ(reg.WriteBool(rrProducts, key, "S", false), ceOK);
  TRegValue v;
  ASSERT_EQ(reg.ReadValue(rrProducts, key, "s", v), ceOK);
  EXPECT_EQ(v.type, TRegType::rtBool);
  EXPECT_EQ(v.name, "S");

  // Numbers the store cannot keep faithfully are refused, and leave the old value.
  EXPECT_EQ(reg.WriteFloat(rrProducts, key, "Tenth", std::nan("")), ceStoreBadValue);
  EXPECT_EQ(reg.WriteFloat(rrProducts, key, "Tenth", HUGE_VAL), ceStoreBadValue);
  EXPECT_EQ(reg.ReadFloat(rrProducts, key, "Tenth", -1.0), 0.1);
}

TEST_F(RegistryTest, ReadsConvertOnlyWhereExact) {
  const QString k = "Conv";
  reg.WriteString(rrSettings, k, "s12", " 12 ");
  reg.WriteString(rrSettings, k, "sAbc", "abc");
  reg.WriteString(rrSettings, k, "sTrue", "TRUE");
  reg.WriteString(rrSettings, k, "s0", "0");
  reg.WriteString(rrSettings, k, "sFloat", "2.5");
  reg.WriteInteger(rrSettings, k, "i7", 7);
  reg.WriteInteger(rrSettings, k, "iHuge", 1LL << 40);
  reg.WriteFloat(rrSettings, k, "f2", 2.0);
  reg.WriteFloat(rrSettings, k, "f2_5", 2.5);
  reg.WriteBool(rrSettings, k, "bTrue", true);

  struct Case {
    const char* name;
    int asInt;
    double asFloat;
    int asBool;  // 1 true, 0 false, -1 no exact bool: the default comes back
    const char* asString;
  };
  // Defaults: -9, -9.5, the bool asked with, "dflt".
  const Case cases[] = {
      {"s12", 12, 12.0, -1, " 12 "},  {"sAbc", -9, -9.5, -1, "abc"},
      {"sTrue", -9, -9.5, 1, "TRUE"}, {"s0", 0, 0.0, 0, "0"},
      {"sFloat", -9, 2.5, -1, "2.5"},
      {"i7", 7, 7.0, 1, "7"},         {"iHuge", -9, 1099511627776.0, 1, "1099511627776"},
      {"f2", 2, 2.0, -1, "2"},        {"f2_5", -9, 2.5, -1, "2.5"},
      {"bTrue", 1, -9.5, 1, "true"},  {"missing", -9, -9.5, -1, "dflt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reg.ReadInteger(rrSettings, k, c.name, -9), c.asInt);
    EXPECT_EQ(reg.ReadFloat(rrSettings, k, c.name, -9.5), c.asFloat);
    EXPECT_EQ(reg.ReadBool(rrSettings, k, c.name, false), c.asBool == 1);
    EXPECT_EQ(reg.ReadBool(rrSettings, k, c.name, true), c.asBool != 0);
    EXPECT_EQ(reg.ReadString(rrSettings, k, c.name, "dflt"), c.asString);
  }
}

TEST_F(RegistryTest, MissingKeysAndValuesGiveDefaultsAndNoNames) {
  ASSERT_EQ(reg.WriteInteger(rrProducts, "P\\Modules\\A", "X", 1), ceOK);
  EXPECT_EQ(reg.ReadString(rrProducts, "P\\Modules\\A", "Name", "dflt"), "dflt");
  EXPECT_EQ(reg.ReadInteger(rrProducts, "Nope\\Deeper", "X", 42), 42);
  EXPECT_EQ(reg.ReadFloat(rrProducts, "Nope", "LastUpdate", -1.0), -1.0);
  EXPECT_TRUE(reg.ReadBool(rrProducts, "Nope", "B", true));

  QStringList names{"stale"};
  EXPECT_EQ(reg.GetKeyNames(rrProducts, "Nope\\Deeper", names), ceOK);
  EXPECT_TRUE(names.isEmpty());
  EXPECT_TRUE(Keys(rrProducts, "P\\Modules\\A").isEmpty());
  QList<TRegValue> values;
  EXPECT_EQ(reg.GetValues(rrProducts, "Nope", values), ceOK);
  EXPECT_TRUE(values.isEmpty());

  TRegValue v;
  EXPECT_EQ(reg.ReadValue(rrProducts, "P\\Modules\\A", "Name", v), ceStoreNoValue);
  EXPECT_EQ(reg.ReadValue(rrProducts, "Nope", "X", v), ceStoreNoValue);
  EXPECT_FALSE(reg.ValueExists(rrProducts, "P\\Modules\\A", "Name"));
  EXPECT_TRUE(reg.ValueExists(rrProducts, "p\\modules\\a", "x"));
  EXPECT_EQ(reg.DeleteValue(rrProducts, "P\\Modules\\A", "X"), ceOK);
  EXPECT_EQ(reg.DeleteValue(rrProducts, "P\\Modules\\A", "X"), ceStoreNoValue);
  EXPECT_TRUE(reg.KeyExists(rrProducts, "P\\Modules\\A"));  // a key outlives its values
}

TEST_F(RegistryTest, DeleteKeyRemovesTheWholeSubtreeAndNothingElse) {
  reg.WriteString(rrProducts, "P\\Modules\\A", "Name", "a");
  reg.WriteFloat(rrProducts, "P\\Modules\\A\\Charts\\c1.qmr2", "LastUpdate", 1.5);
  reg.WriteFloat(rrProducts, "P\\Modules\\A\\Charts\\c2.qmr2", "LastUpdate", 2.5);
  reg.WriteFloat(rrProducts, "P\\Modules\\A\\Databases\\d.db", "LastUpdate", 3.5);
  reg.WriteString(rrProducts, "P\\Modules\\AB", "Name", "ab");  // a name that starts alike
  reg.WriteString(rrProducts, "P\\Modules\\B", "Name", "b");
  reg.WriteString(rrProducts, "P", "Name", "p");

  EXPECT_EQ(reg.DeleteKey(rrProducts, "p\\modules\\a"), ceOK);
  EXPECT_EQ(Keys(rrProducts, "P\\Modules"), QStringList({"AB", "B"}));
  EXPECT_FALSE(reg.KeyExists(rrProducts, "P\\Modules\\A\\Charts"));
  EXPECT_EQ(reg.ReadString(rrProducts, "P\\Modules\\AB", "Name", ""), "ab");
  EXPECT_EQ(reg.ReadString(rrProducts, "P", "Name", ""), "p");

  // Made again, the key starts empty: nothing of the old sub-tree comes back.
  ASSERT_EQ(reg.CreateKey(rrProducts, "P\\Modules\\A\\Charts"), ceOK);
  EXPECT_TRUE(Keys(rrProducts, "P\\Modules\\A\\Charts").isEmpty());
  EXPECT_EQ(reg.ReadString(rrProducts, "P\\Modules\\A", "Name", "none"), "none");
  EXPECT_EQ(reg.ReadFloat(rrProducts, "P\\Modules\\A\\Charts\\c1.qmr2", "LastUpdate", -1.0), -1.0);

  EXPECT_EQ(reg.DeleteKey(rrProducts, "P\\Modules\\Gone"), ceStoreNoKey);
  EXPECT_EQ(reg.DeleteKey(rrProducts, ""), ceStoreBadKey);  // the root stays
  EXPECT_EQ(reg.DeleteKey(rrProducts, "\\"), ceStoreBadKey);
  EXPECT_EQ(Keys(rrProducts, ""), QStringList{"P"});
}

TEST_F(RegistryTest, KeyPathsAndNames) {
  ASSERT_EQ(reg.WriteInteger(rrSettings, "\\Settings\\Sub\\", "V", 5), ceOK);
  EXPECT_EQ(reg.ReadInteger(rrSettings, "Settings\\Sub", "V", 0), 5);
  EXPECT_EQ(Keys(rrSettings, "\\\\"), QStringList{"Settings"});

  struct Case {
    int root;
    QString key;
    QString name;
  };
  const Case bad[] = {
      {rrSettings, "A\\\\B", "V"},           // empty name inside the path
      {rrSettings, "A\nB", "V"},             // control character in a key name
      {rrSettings, QString(256, 'k'), "V"},  // key name too long
      {rrSettings, "A", "V\tW"},             // control character in a value name
      {0, "A", "V"},
      {4, "A", "V"},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.key.toStdString() + " / " + c.name.toStdString());
    EXPECT_EQ(reg.WriteString(c.root, c.key, c.name, "x"), ceStoreBadKey);
    EXPECT_EQ(reg.ReadString(c.root, c.key, c.name, "dflt"), "dflt");
    QStringList names;
    EXPECT_EQ(reg.GetKeyNames(c.root, c.key, names), c.name == "V" ? ceStoreBadKey : ceOK);
  }
  EXPECT_EQ(reg.CreateKey(rrSettings, QString(255, 'k')), ceOK);
  EXPECT_EQ(reg.WriteString(rrSettings, "A", "", "default value"), ceOK);  // an empty value name is allowed
  EXPECT_EQ(reg.ReadString(rrSettings, "A", "", ""), "default value");
  EXPECT_EQ(Keys(rrSettings, ""), QStringList({"A", QString(255, 'k'), "Settings"}));
}

TEST_F(RegistryTest, StoreThatCannotBeOpenedGivesErrorsAndDefaults) {
  const QString file = TAppReg::RootFileName(rrSettings);
  QDir().mkpath(file);  // a folder where the store file belongs
  EXPECT_EQ(reg.WriteInteger(rrSettings, "Settings", "V", 1), ceStoreOpen);
  EXPECT_EQ(reg.CreateKey(rrSettings, "Settings"), ceStoreOpen);
  EXPECT_EQ(reg.ReadInteger(rrSettings, "Settings", "V", 7), 7);
  QStringList names;
  EXPECT_EQ(reg.GetKeyNames(rrSettings, "", names), ceStoreOpen);
  TRegValue v;
  EXPECT_EQ(reg.ReadValue(rrSettings, "Settings", "V", v), ceStoreOpen);

  // Once the obstacle is gone the store works again in the same process.
  QDir(file).removeRecursively();
  EXPECT_EQ(reg.WriteInteger(rrSettings, "Settings", "V", 1), ceOK);
  reg.CloseConnections();

  // A damaged file is reported and left exactly as it was, for support staff to look at.
  const QByteArray garbage = "this is not a store, just some text that is long enough......";
  for (const QString& suffix : {QString("-wal"), QString("-shm"), QString()}) QFile::remove(file + suffix);
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(garbage.repeated(100));
  }
  EXPECT_EQ(reg.WriteInteger(rrSettings, "Settings", "V", 2), ceStoreCorrupt);
  EXPECT_EQ(reg.ReadInteger(rrSettings, "Settings", "V", 7), 7);
  EXPECT_EQ(reg.CheckStore(rrSettings), ceStoreCorrupt);
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), garbage.repeated(100));
}

TEST_F(RegistryTest, UnreadableStoreFileGivesAnError) {
  if (geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  const QString file = TAppReg::RootFileName(rrSettings);
  ASSERT_EQ(reg.WriteInteger(rrSettings, "Settings", "V", 1), ceOK);
  reg.CloseConnections();
  QFile::setPermissions(file, QFileDevice::Permissions());
  EXPECT_NE(reg.WriteInteger(rrSettings, "Settings", "V", 2), ceOK);
  EXPECT_EQ(reg.ReadInteger(rrSettings, "Settings", "V", 7), 7);
  QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(RegistryTest, StoreFileIsVersionedAndANewerOneIsLeftAlone) {
  ASSERT_EQ(reg.WriteInteger(rrProducts, "P", "V", 1), ceOK);
  const QString file = TAppReg::RootFileName(rrProducts);
  EXPECT_EQ(Sql(file, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(Sql(file, "PRAGMA user_version"), "1");
  EXPECT_EQ(reg.CheckStore(rrProducts), ceOK);
  reg.CloseConnections();

  Sql(file, "PRAGMA user_version = 99");
  EXPECT_EQ(reg.WriteInteger(rrProducts, "P", "V", 2), ceStoreNewer);
  EXPECT_EQ(reg.ReadInteger(rrProducts, "P", "V", 7), 7);
  EXPECT_EQ(Sql(file, "SELECT value FROM vals"), "1");
}

TEST_F(RegistryTest, StoreFollowsTheEnvironmentAndAReplacedFile) {
  ASSERT_EQ(reg.WriteInteger(rrSettings, "S", "Home", 1), ceOK);
  const QByteArray first = qgetenv("XDG_CONFIG_HOME");
  setenv("XDG_CONFIG_HOME", qPrintable(home_ + "/other"), 1);
  EXPECT_EQ(reg.ReadInteger(rrSettings, "S", "Home", 0), 0);
  ASSERT_EQ(reg.WriteInteger(rrSettings, "S", "Home", 2), ceOK);
  setenv("XDG_CONFIG_HOME", first.constData(), 1);
  EXPECT_EQ(reg.ReadInteger(rrSettings, "S", "Home", 0), 1);

  // The file removed under an open connection: later writes land in a new file, not in the
  // removed one.
  const QString file = TAppReg::RootFileName(rrSettings);
  for (const QString& suffix : {QString("-wal"), QString("-shm"), QString()}) QFile::remove(file + suffix);
  ASSERT_EQ(reg.WriteInteger(rrSettings, "S", "After", 3), ceOK);
  EXPECT_EQ(Sql(file, "SELECT value FROM vals"), "3");
}

TEST_F(RegistryTest, ThreadsWriteThroughTheirOwnConnections) {
  constexpr int kPerThread = 100;
  std::vector<std::thread> threads;
  std::vector<int> failures(3, 0);
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kPerThread; ++i)
        if (GetAppReg().WriteInteger(rrProducts, "Threads", QString("T%1_%2").arg(t).arg(i), i) != ceOK)
          ++failures[t];
      GetAppReg().CloseConnections();
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(3, 0));
  QList<TRegValue> values;
  ASSERT_EQ(reg.GetValues(rrProducts, "Threads", values), ceOK);
  EXPECT_EQ(values.size(), 3 * kPerThread);
}

// Two writer processes at once, 1,000 values each, into the same key: none may be lost.
TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 1000;
  const QString writer = cvtest::BinDir() + "/cv_store_writer";
  QProcess a, b;
  a.start(writer, {"3", "Race\\Shared", "A", QString::number(kCount)});
  b.start(writer, {"3", "Race\\Shared", "B", QString::number(kCount)});
  for (QProcess* p : {&a, &b}) {
    ASSERT_TRUE(p->waitForFinished(300000)) << qPrintable(writer);
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().constData();
  }
  QList<TRegValue> values;
  ASSERT_EQ(reg.GetValues(rrProducts, "Race\\Shared", values), ceOK);
  ASSERT_EQ(values.size(), 2 * kCount);
  std::set<QString> seen;
  for (const TRegValue& v : values) {
    EXPECT_EQ(v.name.mid(1).toLongLong(), v.value.toLongLong()) << qPrintable(v.name);
    seen.insert(v.name);
  }
  EXPECT_EQ(seen.size(), size_t(2 * kCount));
  EXPECT_EQ(Keys(rrProducts, "Race"), QStringList{"Shared"});  // both made the key: once
}

// A writer killed in the middle of its loop: the store opens and holds every value whose
// write had returned before the kill.
TEST_F(RegistryTest, KilledWriterLosesNothingCommitted) {
  const QString writer = cvtest::BinDir() + "/cv_store_writer";
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const QString prefix = QString("K%1_").arg(round);
    QProcess p;
    p.start(writer, {"3", "Kill", prefix, "0"});
    ASSERT_TRUE(p.waitForStarted());
    // Let it commit a varying number of values, then kill it wherever it is.
    QByteArray out;
    const int wanted = 15 + 11 * round;
    while (out.count('\n') < wanted && p.waitForReadyRead(30000)) out += p.readAllStandardOutput();
    p.kill();  // SIGKILL
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
    out += p.readAllStandardOutput();

    const QList<QByteArray> committed = out.split('\n');
    int checked = 0;
    for (const QByteArray& line : committed) {
      if (line.isEmpty()) continue;
      const qint64 i = line.toLongLong();
      ASSERT_EQ(reg.ReadInteger(rrProducts, "Kill", prefix + QString::number(i), -1), int(i));
      ++checked;
    }
    EXPECT_GE(checked, wanted);
    reg.CloseConnections();
    EXPECT_EQ(reg.CheckStore(rrProducts), ceOK);
  }
}

}  // namespace

// A batch is one transaction: nothing is seen from outside before its commit, a failed call
// inside it leaves nothing of itself, and a batch left without a commit leaves nothing at all.
TEST_F(RegistryTest, BatchCommitsAllAtOnceAndDropsWhatIsNotCommitted) {
  const QString file = TAppReg::RootFileName(cvlib::rrProducts);
  {
    cvlib::TAppRegBatch batch(cvlib::rrProducts);
    ASSERT_EQ(batch.Error(), ceOK);
    EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Batch\\A", "n", 1), ceOK);
    EXPECT_NE(reg.WriteInteger(cvlib::rrProducts, "Batch\\\\Bad", "n", 2), ceOK);
    EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Batch\\B", "n", 3), ceOK);
    EXPECT_EQ(reg.ReadInteger(cvlib::rrProducts, "Batch\\B", "n", 0), 3);  // read inside it
    EXPECT_EQ(Sql(file, "SELECT count(*) FROM keys WHERE name = 'Batch'"), "0");
    EXPECT_EQ(batch.Commit(), ceOK);
  }
  EXPECT_EQ(Keys(cvlib::rrProducts, "Batch"), QStringList({"A", "B"}));
  {
    cvlib::TAppRegBatch batch(cvlib::rrProducts);
    EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Batch\\C", "n", 4), ceOK);
  }
  EXPECT_FALSE(reg.KeyExists(cvlib::rrProducts, "Batch\\C"));
  EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Batch\\D", "n", 5), ceOK);  // no batch left open
  EXPECT_EQ(Sql(file, "SELECT count(*) FROM keys WHERE name = 'D'"), "1");
}

// A batch remembers the key path it wrote last; a key deleted meanwhile is made anew, never
// written through its old id.
TEST_F(RegistryTest, ABatchWritesUnderKeysMadeAgainAfterADeletion) {
  const QString file = TAppReg::RootFileName(cvlib::rrProducts);
  {
    cvlib::TAppRegBatch batch(cvlib::rrProducts);
    EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Trail\\A\\X", "n", 1), ceOK);
    EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Trail\\a\\Y", "n", 2), ceOK);  // the same A
    EXPECT_EQ(reg.DeleteKey(cvlib::rrProducts, "Trail\\A"), ceOK);
    EXPECT_EQ(reg.WriteInteger(cvlib::rrProducts, "Trail\\A\\Z", "n", 3), ceOK);
    EXPECT_EQ(batch.Commit(), ceOK);
  }
  EXPECT_EQ(Keys(cvlib::rrProducts, "Trail"), QStringList({"A"}));
  EXPECT_EQ(Keys(cvlib::rrProducts, "Trail\\A"), QStringList({"Z"}));
  EXPECT_EQ(reg.ReadInteger(cvlib::rrProducts, "Trail\\A\\Z", "n", 0), 3);
  EXPECT_EQ(Sql(file, "SELECT count(*) FROM keys WHERE parent NOT IN (SELECT id FROM keys) AND parent != 0"), "0");
  EXPECT_EQ(Sql(file, "SELECT count(*) FROM vals WHERE key NOT IN (SELECT id FROM keys)"), "0");
}
