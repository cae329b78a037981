// The backup index: what a backup keeps of its items and products, and damaged indexes.
#include "EngineFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cvtest;
using cvlib::TItemData;
using cvlib::TItemFile;

namespace {

void WriteAll(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

// An index around a payload as the writer would seal it: a right length and checksum, so that
// only what the payload says is judged.
QByteArray Sealed(const QByteArray& payload) {
  return "CVBACKUPIDX 1 " + QByteArray::number(payload.size()) + ' ' +
         QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex() + '\n' + payload;
}

QStringList Entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

TItemData ChartItem(int mask, const QString& module) {
  TItemData d;
  d.productNumber = 1001;
  d.moduleMask = mask;
  d.productCode = "NS";
  d.productName = "North Sea";
  d.moduleCode = module;
  d.moduleName = "Part " + module;
  d.revision = 2;
  d.sourceFolder = "QMR2/NS/" + module + "/";
  d.files.push_back({module + ".qmr2", "", 1234, 1700000000, false, QString(64, 'a'), {}, {}});
  d.files.push_back({module + ".db", "", 5000000000LL, 1700000001, false, QString(64, 'b'), {}, {}});
  d.hasProduct = true;
  d.product.productNumber = 1001;
  d.product.kind = 1;
  d.product.group = 2019;
  d.product.displayName = "North Sea";
  d.product.itemTitle = "Part " + module;
  d.product.moduleMask = mask;
  d.product.revision = 2;
  d.product.size = 5000001234LL;
  return d;
}

TItemData ProgramItem() {
  TItemData d;
  d.productNumber = 100;
  d.moduleMask = 1;
  d.productCode = "NAV";
  d.productName = "Navigator";
  d.revision = 3;
  d.installFolder = "Navigator";
  d.sourceFolder = "Setups/navsetup.bin";
  d.files.push_back({"navsetup.bin", "", 300, 1700000000, false, QString(64, 'c'), {}, {}});
  d.files.push_back({"manual.pdf", "docs/en", 6, 1600000000, true, QString(64, 'd'), {}, {}});
  return d;  // an index without a product record: the record is made from the item
}

}  // namespace

TEST_F(EngineTest, BackupIndexRoundTripRebuildsItemsAndProducts) {
  const QString path = MakeTempFolder(QStringLiteral("idx")) + "/cvbackup.idx";
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ProgramItem(), ChartItem(1, "A"), ChartItem(2, "B")}), 0);

  ASSERT_EQ(check->ReadBackupIndex(path), 0);
  ASSERT_EQ(check->ItemCount(), 3);
  const InstallItem* nav = check->Item(0);
  EXPECT_EQ(nav->ProductNumber(), 100);
  EXPECT_EQ(nav->ModuleMask(), 1);
  EXPECT_EQ(nav->ProductCode(), "NAV");
  EXPECT_EQ(nav->ProductName(), "Navigator");
  EXPECT_EQ(nav->InstallFolder(), "Navigator");
  EXPECT_EQ(nav->SourceFolder(), "Setups/navsetup.bin");
  ASSERT_EQ(nav->FileCount(), 2);
  EXPECT_EQ(nav->FileName(1), "manual.pdf");
  EXPECT_EQ(nav->FileFolder(1), "docs/en");
  EXPECT_EQ(nav->FileTime(1), 1600000000);
  EXPECT_EQ(nav->FileSize(1), 6);
  EXPECT_TRUE(nav->IsAddOn(1));
  EXPECT_FALSE(nav->IsAddOn(0));
  const InstallItem* b = check->Item(2);
  EXPECT_EQ(b->ModuleCode(), "B");
  EXPECT_EQ(b->ModuleName(), "Part B");
  EXPECT_EQ(b->FileSize(1), 5000000000LL);
  EXPECT_EQ(b->SourceFolder(), "QMR2/NS/B/");
  EXPECT_EQ(check->FindBackupItem(1001, 2), b);
  EXPECT_EQ(check->FindBackupItem(1001, 4), nullptr);

  check->ClearProducts();
  for (int i = 0; i < check->ItemCount(); ++i) check->AddItemProduct(check->Item(i));
  check->AddItemProduct(check->Item(1));  // once only
  check->FinishProducts();
  ASSERT_EQ(check->ProductCount(), 3);
  EXPECT_EQ(check->Product(0)->ProductNumber(), 100);  // programs first
  EXPECT_EQ(check->Product(0)->Kind(), 0);
  EXPECT_EQ(check->Product(0)->DisplayName(), "Navigator");
  EXPECT_EQ(check->Product(0)->Size(), 306);
  const ProductRecord* a = check->FindProductRecord(1001, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Kind(), 1);
  EXPECT_EQ(a->Group(), 2019);
  EXPECT_EQ(a->ItemTitle(), "Part A");
  EXPECT_EQ(a->Revision(), 2);
}

// Texts that JSON must escape, and any other character, come back as they went in.
TEST_F(EngineTest, BackupIndexTextsComeBackAsWritten) {
  const QString path = MakeTempFolder(QStringLiteral("idx")) + "/cvbackup.idx";
  const QString text = QStringLiteral("Nord \"See\" \\ /\n\t\r\b\f") + QChar(1) + QChar(0x1f) + QChar(0x7f) +
                       QStringLiteral(" \u00c6r\u00f8 \u6d77 ") + QString::fromUtf8("\xf0\x9f\x8c\x8a");
  TItemData item = ChartItem(1, "A");
  item.productName = text;
  item.moduleName = text;
  item.product.displayName = text;
  item.files.clear();  // an item may list no files
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {item, ChartItem(2, "B")}), 0);
  ASSERT_EQ(check->ReadBackupIndex(path), 0);
  ASSERT_EQ(check->ItemCount(), 2);
  EXPECT_EQ(check->Item(0)->ProductName(), text);
  EXPECT_EQ(check->Item(0)->ModuleName(), text);
  EXPECT_EQ(check->Item(0)->FileCount(), 0);
  EXPECT_EQ(check->Item(1)->FileCount(), 2);
  EXPECT_EQ(check->Item(1)->FileSha256(0), QString(64, 'a'));
  check->ClearProducts();
  check->AddItemProduct(check->Item(0));
  check->FinishProducts();
  ASSERT_EQ(check->ProductCount(), 1);
  EXPECT_EQ(check->Product(0)->DisplayName(), text);
}

TEST_F(EngineTest, AnUpdatedBackupKeepsWhatItHadAndAddsWhatSucceeded) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  const QString path = folder + "/cvbackup.idx";
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ChartItem(1, "A"), ChartItem(2, "B")}), 0);
  // Read through a linked folder, written by the real one: still the same backup.
  const QString linked = MakeTempFolder(QStringLiteral("links")) + "/stick";
  ASSERT_TRUE(QFile::link(folder, linked));
  ASSERT_EQ(check->ReadBackupIndex(linked + "/cvbackup.idx"), 0);

  // The updating run brings module A anew and the program; the program failed.
  service.products = nlohmann::json::array(
      {{{"number", 1001}, {"kind", 1}, {"group", 7}, {"displayName", "North Sea"}, {"moduleMask", 1}, {"revision", 5}}});
  service.items = nlohmann::json::array(
      {{{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"moduleCode", "A"}, {"revision", 5},
        {"files", nlohmann::json::array({service.AddFile("A.qmr2", "new")})}},
       {{"product", 100}, {"mask", 1}, {"productCode", "NAV"},
        {"files", nlohmann::json::array({service.AddFile("navsetup.bin", "x")})}}});
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{1001, 1}, {100, 1}}), 0);
  ASSERT_EQ(check->ItemCount(), 2);
  check->Item(0)->SetSucceeded(true);
  ASSERT_EQ(check->WriteBackupIndex(path, false), 0);

  auto other = NewCheck();
  ASSERT_EQ(other->ReadBackupIndex(path), 0);
  ASSERT_EQ(other->ItemCount(), 2);
  EXPECT_EQ(other->FindBackupItem(1001, 1)->Revision(), 5);
  EXPECT_EQ(other->FindBackupItem(1001, 2)->Revision(), 2);
  EXPECT_EQ(other->FindBackupItem(100, 1), nullptr);
  other->ClearProducts();
  for (int i = 0; i < other->ItemCount(); ++i) other->AddItemProduct(other->Item(i));
  other->FinishProducts();
  EXPECT_EQ(other->FindProductRecord(1001, 1)->Group(), 7);  // the record came along
}

TEST_F(EngineTest, AnIndexThatWouldBeWrittenAlikeIsLeftAsItIsUnlessItChangedOnDisk) {
  const QString path = MakeTempFolder(QStringLiteral("idx")) + "/cvbackup.idx";
  auto inode = [&path] {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : ino_t(0);
  };
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ChartItem(1, "A"), ChartItem(2, "B")}), 0);
  ASSERT_EQ(check->ReadBackupIndex(path), 0);
  const ino_t read = inode();
  ASSERT_EQ(check->WriteBackupIndex(path, false), 0);
  EXPECT_EQ(inode(), read);  // nothing new: not written again

  // Someone else wrote the index meanwhile: this run's index replaces it, as before.
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ChartItem(1, "A")}), 0);
  const ino_t other = inode();
  ASSERT_EQ(check->WriteBackupIndex(path, false), 0);
  EXPECT_NE(inode(), other);
  auto again = NewCheck();
  ASSERT_EQ(again->ReadBackupIndex(path), 0);
  EXPECT_EQ(again->ItemCount(), 2);

  // Read through a link under the index's name: the link is replaced by the index.
  const QString real = path + ".real";
  ASSERT_TRUE(QFile::rename(path, real));
  ASSERT_TRUE(QFile::link(real, path));
  ASSERT_EQ(again->ReadBackupIndex(path), 0);
  ASSERT_EQ(again->WriteBackupIndex(path, false), 0);
  EXPECT_FALSE(QFileInfo(path).isSymLink());
  EXPECT_EQ(ReadAll(path), ReadAll(real));
}

TEST_F(EngineTest, AnIndexReadAheadIsTheIndexOfItsPathAsItWasThen) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  const QString a = folder + "/a.idx", b = folder + "/b.idx";
  ASSERT_EQ(cvlib::WriteBackupIndexFile(a, {ChartItem(1, "A"), ChartItem(2, "B")}), 0);
  ASSERT_EQ(cvlib::WriteBackupIndexFile(b, {ProgramItem()}), 0);
  check->PrefetchBackupIndex(a);
  ASSERT_EQ(check->ReadBackupIndex(a), 0);
  EXPECT_EQ(check->ItemCount(), 2);
  // Read ahead for one path, read for another: the other is read.
  check->PrefetchBackupIndex(a);
  ASSERT_EQ(check->ReadBackupIndex(b), 0);
  EXPECT_EQ(check->ItemCount(), 1);
  EXPECT_NE(check->FindBackupItem(100, 1), nullptr);
  // A read-ahead is used once; a damaged index read ahead fails its read.
  WriteAll(b, "CVBACKUPIDX 1 5 0\n{}{}{");
  check->PrefetchBackupIndex(b);
  EXPECT_EQ(check->ReadBackupIndex(b), cvlib::ceBackupIndexCorrupt);
  EXPECT_EQ(check->FindBackupItem(100, 1), nullptr);
  ASSERT_EQ(cvlib::WriteBackupIndexFile(b, {ProgramItem()}), 0);
  EXPECT_EQ(check->ReadBackupIndex(b), 0);
  // An object deleted with a read-ahead under way waits for it.
  check->PrefetchBackupIndex(a);
  check.reset();
}

TEST_F(EngineTest, DamagedIndexesAreErrorsAndChangeNothing) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  const QString good = folder + "/good.idx";
  ASSERT_EQ(cvlib::WriteBackupIndexFile(good, {ChartItem(1, "A")}), 0);
  const QByteArray bytes = ReadAll(good);
  ASSERT_EQ(check->ReadBackupIndex(good), 0);
  const QString bad = folder + "/cvbackup.idx";

  auto expectRefused = [&](const QByteArray& data, const std::string& what) {
    SCOPED_TRACE(what);
    WriteAll(bad, data);
    EXPECT_NE(check->ReadBackupIndex(bad), 0);
    EXPECT_EQ(check->ItemCount(), 1);                   // the items read before stay
    EXPECT_EQ(check->FindBackupItem(1001, 1), nullptr);  // but no backup is known
  };
  for (int n = 0; n < bytes.size(); ++n) expectRefused(bytes.left(n), "cut at " + std::to_string(n));
  for (int i = 0; i < bytes.size(); ++i) {
    QByteArray flipped = bytes;
    flipped[i] = static_cast<char>(flipped[i] ^ 0x20);
    expectRefused(flipped, "flipped at " + std::to_string(i));
  }

  struct Case {
    QByteArray data;
    int error;
  } cases[] = {
      {"\x89PNG\r\n\x1a\n", cvlib::ceBackupIndexForeign},
      {"[AutoRun]\r\nshellexecute=Deployer\r\n", cvlib::ceBackupIndexForeign},
      {"CVBACKUPIDX 3 2 " + QCryptographicHash::hash("{}", QCryptographicHash::Sha256).toHex() + "\n{}",
       cvlib::ceBackupIndexNewer},
  };
  for (const Case& c : cases) {
    WriteAll(bad, c.data);
    EXPECT_EQ(check->ReadBackupIndex(bad), c.error);
  }
  EXPECT_EQ(check->ReadBackupIndex(folder + "/none.idx"), cvlib::ceBackupIndexMissing);
}

TEST_F(EngineTest, AnIndexWithHostileNamesIsRefusedThoughItsChecksumIsRight) {
  const QString path = MakeTempFolder(QStringLiteral("idx")) + "/cvbackup.idx";
  auto withFile = [](const QString& name, const QString& folder) {
    TItemData d = ChartItem(1, "A");
    d.files[0].name = name;
    d.files[0].folder = folder;
    return d;
  };
  TItemData upSource = ChartItem(1, "A");
  upSource.sourceFolder = "../../etc/";
  TItemData absSource = ChartItem(1, "A");
  absSource.sourceFolder = "/etc/";
  for (const TItemData& d : {withFile("../x", ""), withFile("/etc/x", ""), withFile("", ""),
                              withFile("a", "a/../../b"), upSource, absSource}) {
    ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {d}), 0);
    EXPECT_EQ(check->ReadBackupIndex(path), cvlib::ceChkUnsafeName);
  }
  // Writing into a folder that is gone fails and leaves nothing behind.
  EXPECT_EQ(check->WriteBackupIndex(path + ".gone/cvbackup.idx"), cvlib::ceBackupIndexWrite);
}

// A product record from a backup becomes the product's record as one from the service would,
// and a program installs into destination + its installFolder: the same rule holds for both.
TEST_F(EngineTest, AnIndexRecordWhoseInstallFolderLeadsOutIsRefused) {
  const QString path = MakeTempFolder(QStringLiteral("idx")) + "/cvbackup.idx";
  for (const QString& folder : {QStringLiteral("../../usr"), QStringLiteral("/usr"), QStringLiteral("a/../..")}) {
    SCOPED_TRACE(folder.toStdString());
    TItemData d = ChartItem(1, "A");
    d.product.installFolder = folder;
    ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {d}), 0);
    EXPECT_EQ(check->ReadBackupIndex(path), cvlib::ceChkUnsafeName);
    EXPECT_EQ(check->FindBackupItem(1001, 1), nullptr);
  }
}

TEST_F(EngineTest, HostileIndexEntriesAreRefusedAndNothingOfThemIsKept) {
  const QString path = MakeTempFolder(QStringLiteral("idx")) + "/cvbackup.idx";
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ProgramItem()}), 0);
  ASSERT_EQ(check->ReadBackupIndex(path), 0);

  auto item = [](const nlohmann::json& file, const std::string& code = "NS", int product = 1001) {
    return nlohmann::json{{"product", product}, {"mask", 1}, {"productCode", code}, {"productName", "North Sea"},
                          {"moduleCode", "A"}, {"moduleName", "Part A"}, {"revision", 2}, {"installFolder", ""},
                          {"status", 0}, {"sourceFolder", "QMR2/NS/A/"}, {"files", nlohmann::json::array({file})}};
  };
  auto file = [](const std::string& name, const std::string& folder = "", const std::string& size = "5") {
    return nlohmann::json{{"name", name}, {"folder", folder}, {"size", size}, {"time", 1700000000},
                          {"addon", false}, {"sha256", std::string(64, 'a')}};
  };
  auto index = [](const std::vector<nlohmann::json>& items) { return QByteArray::fromStdString(nlohmann::json{{"items", items}}.dump()); };
  auto with = [](nlohmann::json o, const char* key, const nlohmann::json& value) {
    o[key] = value;
    return o;
  };
  auto without = [](nlohmann::json o, const char* key) {
    o.erase(key);
    return o;
  };
  const nlohmann::json record = {{"number", 1001}, {"kind", 1}, {"group", 7}, {"displayName", "North Sea"},
                                 {"itemTitle", "Part A"}, {"moduleMask", 1}, {"registryKey", ""}, {"revision", 2},
                                 {"latestVersion", 0}, {"size", "5"}, {"installFolder", ""}, {"checked", true}};

  // What may pass: the limits themselves.
  for (const auto& name : {std::string(255, 'x'), std::string("Kaart \xc3\xa9\xc3\xa9n.qmr2")}) {
    WriteAll(path, Sealed(index({item(file(name))})));
    EXPECT_EQ(check->ReadBackupIndex(path), 0) << name;
  }

  const std::string big = std::to_string(std::numeric_limits<int64_t>::max() / 2 + 1);
  QByteArray badUtf8 = index({item(file("chart.qmr2"))});
  badUtf8.replace("chart", "ch\xff\xfe" "rt");
  QByteArray hugeNumber = index({item(file("a"))});
  hugeNumber.replace("1001", "1e300");
  struct Case {
    const char* what;
    QByteArray payload;
    int error;
  } cases[] = {
      {"tab in a name", index({item(file("a\tb"))}), cvlib::ceChkUnsafeName},
      {"line break in a name", index({item(file("a\nindex\t/etc"))}), cvlib::ceChkUnsafeName},
      {"escape in a folder", index({item(file("a", "docs/\x1b[2J"))}), cvlib::ceChkUnsafeName},
      {"DEL in a name", index({item(file("a\x7f"))}), cvlib::ceChkUnsafeName},
      {"C1 control in a name", index({item(file("a\xc2\x85"))}), cvlib::ceChkUnsafeName},
      {"NUL in a name", index({item(file(std::string("a\0b", 3)))}), cvlib::ceChkUnsafeName},
      {"backslashes", index({item(file("..\\..\\evil"))}), cvlib::ceChkUnsafeName},
      {"name too long for a file system", index({item(file(std::string(256, 'x')))}), cvlib::ceChkUnsafeName},
      {"folder part too long", index({item(file("a", std::string(300, 'x')))}), cvlib::ceChkUnsafeName},
      {"line break in a product code", index({item(file("a"), "N\nS")}), cvlib::ceChkUnsafeName},
      {"lone surrogate", QByteArray(index({item(file("a-SURROGATE"))})).replace("-SURROGATE", "\\ud800"),
       cvlib::ceChkUnsafeName},
      {"invalid UTF-8", badUtf8, cvlib::ceBackupIndexCorrupt},
      {"number beyond 64 bits", hugeNumber, cvlib::ceBackupIndexCorrupt},
      {"files that together exceed 64 bits", index({[&] {
         auto two = item(file("a", "", big));
         two["files"].push_back(file("b", "", big));
         return two;
       }()}),
       cvlib::ceBackupIndexCorrupt},
      {"the same item twice", index({item(file("a")), item(file("b"))}), cvlib::ceBackupIndexCorrupt},
      {"a file without its size", index({item(without(file("a"), "size"))}), cvlib::ceBackupIndexCorrupt},
      {"a size as a number", index({item(with(file("a"), "size", 5))}), cvlib::ceBackupIndexCorrupt},
      {"a negative size", index({item(file("a", "", "-1"))}), cvlib::ceBackupIndexCorrupt},
      {"a time as text", index({item(with(file("a"), "time", "1700000000"))}), cvlib::ceBackupIndexCorrupt},
      {"a checksum that is null", index({item(with(file("a"), "sha256", nullptr))}), cvlib::ceBackupIndexCorrupt},
      {"a file that is no object", index({with(item(file("a")), "files", nlohmann::json::array({1}))}),
       cvlib::ceBackupIndexCorrupt},
      {"an item without files", index({without(item(file("a")), "files")}), cvlib::ceBackupIndexCorrupt},
      {"an item without its source folder", index({without(item(file("a")), "sourceFolder")}),
       cvlib::ceBackupIndexCorrupt},
      {"a record that is null", index({with(item(file("a")), "record", nullptr)}), cvlib::ceBackupIndexCorrupt},
      {"a record without a field", index({with(item(file("a")), "record", without(record, "checked"))}),
       cvlib::ceBackupIndexCorrupt},
      {"a record whose size is a number", index({with(item(file("a")), "record", with(record, "size", 5))}),
       cvlib::ceBackupIndexCorrupt},
      {"text after the index", index({item(file("a"))}) + " x", cvlib::ceBackupIndexCorrupt},
      {"a hostile name after damaged text", index({item(file("../a"))}) + ",", cvlib::ceBackupIndexCorrupt},
  };
  // A whole record, and fields the reader does not know, pass.
  WriteAll(path, Sealed(index({with(with(item(file("a")), "record", record), "later", nlohmann::json{{"x", {1, 2}}})})));
  ASSERT_EQ(check->ReadBackupIndex(path), 0);
  EXPECT_EQ(check->FindBackupItem(1001, 1)->Data().product.displayName, "North Sea");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ProgramItem()}), 0);
    ASSERT_EQ(check->ReadBackupIndex(path), 0);
    WriteAll(path, Sealed(c.payload));
    EXPECT_EQ(check->ReadBackupIndex(path), c.error);
    ASSERT_EQ(check->ItemCount(), 1);  // the items read before stay
    EXPECT_EQ(check->Item(0)->ProductNumber(), 100);
    EXPECT_EQ(check->FindBackupItem(100, 1), nullptr);
    EXPECT_EQ(check->FindBackupItem(1001, 1), nullptr);
  }
}

// A pipe or a device under the index's name must not block the reader or feed it without end.
TEST_F(EngineTest, AnIndexThatIsNoRegularFileIsRefusedWithoutReadingIt) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  ASSERT_TRUE(QDir(folder).mkdir("dir.idx"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(folder + "/fifo.idx").constData(), 0644), 0);
  ASSERT_TRUE(QFile::link("/dev/zero", folder + "/zero.idx"));
  for (const char* name : {"dir.idx", "fifo.idx", "zero.idx"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(check->ReadBackupIndex(folder + "/" + name), cvlib::ceBackupIndexForeign);
  }
  ASSERT_TRUE(QFile::link(folder + "/gone", folder + "/dangling.idx"));
  EXPECT_EQ(check->ReadBackupIndex(folder + "/dangling.idx"), cvlib::ceBackupIndexMissing);
  EXPECT_EQ(check->ReadBackupIndex(folder + "/none/cvbackup.idx"), cvlib::ceBackupIndexMissing);
}

TEST_F(EngineTest, WritingAnIndexReplacesItWholeOrNotAtAll) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  const QString path = folder + "/cvbackup.idx";

  // A link under the index's name is replaced; what it points at is not written.
  const QString outside = MakeTempFolder(QStringLiteral("outside")) + "/profile";
  WriteAll(outside, "keep me\n");
  ASSERT_TRUE(QFile::link(outside, path));
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {ChartItem(1, "A")}), 0);
  EXPECT_EQ(ReadAll(outside), "keep me\n");
  EXPECT_FALSE(QFileInfo(path).isSymLink());
  ASSERT_EQ(check->ReadBackupIndex(path), 0);
  EXPECT_EQ(QFileInfo(path).permissions() & QFile::ReadOther, QFile::ReadOther);  // a backup is for others too

  // A full disk: the write breaks off, the old index stays readable and no temporary remains.
  const QByteArray before = ReadAll(path);
  std::vector<TItemData> many;
  for (int mask = 1; mask <= 64; ++mask) many.push_back(ChartItem(mask, QString::number(mask)));
  {
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = static_cast<rlim_t>(before.size());
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const int error = cvlib::WriteBackupIndexFile(path, many);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(error, cvlib::ceBackupIndexWrite);
  }
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(Entries(folder), QStringList({"cvbackup.idx"}));

  // A folder under the index's name stays as it is.
  const QString dirPath = folder + "/dir.idx";
  ASSERT_TRUE(QDir(folder).mkpath("dir.idx/inner"));
  EXPECT_EQ(cvlib::WriteBackupIndexFile(dirPath, {ChartItem(1, "A")}), cvlib::ceBackupIndexWrite);
  EXPECT_TRUE(QFileInfo(dirPath + "/inner").isDir());
  EXPECT_EQ(Entries(folder), QStringList({"cvbackup.idx", "dir.idx"}));

  // A read-only folder (root writes there regardless).
  if (::geteuid() != 0) {
    const QString ro = MakeTempFolder(QStringLiteral("ro"));
    ASSERT_EQ(cvlib::WriteBackupIndexFile(ro + "/cvbackup.idx", {ChartItem(1, "A")}), 0);
    const QByteArray old = ReadAll(ro + "/cvbackup.idx");
    ASSERT_TRUE(QFile::setPermissions(ro, QFile::ReadOwner | QFile::ExeOwner));
    EXPECT_EQ(cvlib::WriteBackupIndexFile(ro + "/cvbackup.idx", many), cvlib::ceBackupIndexWrite);
    QFile::setPermissions(ro, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(ReadAll(ro + "/cvbackup.idx"), old);
  }
}

TEST_F(EngineTest, Xxh3IsKeptReadAndRefusedWhenMalformed) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  const QString path = folder + "/cvbackup.idx";
  TItemData item = ChartItem(1, "A");
  item.files[0].xxh3 = "0123456789abcdef";  // the other file has none: an older backup's
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {item}), 0);
  ASSERT_EQ(check->ReadBackupIndex(path), 0);
  EXPECT_EQ(check->Item(0)->FileXxh3(0), "0123456789abcdef");
  EXPECT_EQ(check->Item(0)->FileXxh3(1), "");
  EXPECT_FALSE(ReadAll(path).contains("\"xxh3\": \"\"")) << "an unknown checksum is left out";

  // The same index with each file's xxh3 made malformed: refused although sealed right.
  const QByteArray payload = ReadAll(path).mid(ReadAll(path).indexOf('\n') + 1);
  const QByteArray field = "\"xxh3\": \"0123456789abcdef\"";
  ASSERT_TRUE(payload.contains(field));
  for (const QByteArray& bad : {QByteArray("\"xxh3\": \"0123456789ABCDEF\""), QByteArray("\"xxh3\": \"0123456789abcde\""),
                                QByteArray("\"xxh3\": \"0123456789abcdef0\""), QByteArray("\"xxh3\": \"0123456789abcdeg\""),
                                QByteArray("\"xxh3\": \"\""), QByteArray("\"xxh3\": 81985529216486895"),
                                QByteArray("\"xxh3\": null")}) {
    SCOPED_TRACE(bad.toStdString());
    WriteAll(path, Sealed(QByteArray(payload).replace(field, bad)));
    EXPECT_EQ(check->ReadBackupIndex(path), cvlib::ceBackupIndexCorrupt);
  }
}

// A file kept by its size and time was not read by the run: an old index's XXH3 would vouch
// for bytes nobody looked at (a same-size, same-time replacement), so none is carried over.
TEST_F(EngineTest, AnUpdatedBackupCarriesOverNoXxh3OfFilesItDidNotRead) {
  const QString folder = MakeTempFolder(QStringLiteral("idx"));
  const QString path = folder + "/cvbackup.idx";
  // The service lists A.qmr2 as the earlier run stored it, A.db with a new content, and
  // A.lst with another time.
  const nlohmann::json same = service.AddFile("A.qmr2", "chart");
  const nlohmann::json changed = service.AddFile("A.db", "new data");
  const nlohmann::json retimed = service.AddFile("A.lst", "list", 1700000500);
  TItemData old = ChartItem(1, "A");
  old.files = {{"A.qmr2", "", 5, 1700000000, false, QString::fromStdString(same["sha256"]), {}, "1111111111111111"},
               {"A.db", "", 8, 1700000000, false, QString(64, 'c'), {}, "2222222222222222"},
               {"A.lst", "", 4, 1700000000, false, QString::fromStdString(retimed["sha256"]), {}, "3333333333333333"}};
  ASSERT_EQ(cvlib::WriteBackupIndexFile(path, {old}), 0);
  ASSERT_EQ(check->ReadBackupIndex(path), 0);

  service.items = nlohmann::json::array({{{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"moduleCode", "A"},
                                          {"files", nlohmann::json::array({same, changed, retimed})}}});
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{1001, 1}}), 0);
  check->Item(0)->SetSucceeded(true);
  ASSERT_EQ(check->WriteBackupIndex(path, false), 0);

  auto other = NewCheck();
  ASSERT_EQ(other->ReadBackupIndex(path), 0);
  const InstallItem* a = other->FindBackupItem(1001, 1);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->FileCount(), 3);
  EXPECT_EQ(a->FileXxh3(0), "") << "not read in this run";
  EXPECT_EQ(a->FileXxh3(1), "") << "other content: the old checksum is not the file's";
  EXPECT_EQ(a->FileXxh3(2), "") << "another time: not known to be the same file";
}
