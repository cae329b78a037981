// The engine against the real service serving a catalogue written here: files whose announced
// checksum or size is wrong, names and folders that would leave the target folder, and display
// names that differ in letter case. The service passes names, sizes and checksums through as
// given; the engine must keep nothing and report an error.
#include "IntegrationFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>
#include <openssl/rand.h>

using namespace cvtest;

namespace {

const QString kEmail = QStringLiteral("tester@example.com");
const QString kOtherEmail = QStringLiteral("other@example.com");
const QString kPassword = QStringLiteral("harbour-light");
constexpr int kTime = 1700000000;
// A name that needs percent-encoding in its URL.
constexpr char kAwkward[] = "Kaart \xC3\xBC #1 %20+?&";
// Display names whose order depends on letter case.
const std::pair<int, QString> kNamed[] = {{1520, "beta"}, {1521, "Alpha"}, {1522, "Gamma"}, {1523, "delta"}};

QJsonObject Account(const QString& email, const QJsonArray& products) {
  unsigned char salt[16];
  unsigned char hash[32];
  RAND_bytes(salt, sizeof salt);
  const QByteArray password = kPassword.toUtf8();
  PKCS5_PBKDF2_HMAC(password.constData(), static_cast<int>(password.size()), salt, sizeof salt, 1000, EVP_sha256(),
                    sizeof hash, hash);
  return {{"email", email},
          {"salt", QString::fromLatin1(QByteArray(reinterpret_cast<char*>(salt), sizeof salt).toHex())},
          {"hash", QString::fromLatin1(QByteArray(reinterpret_cast<char*>(hash), sizeof hash).toHex())},
          {"rounds", 1000},
          {"products", products}};
}

QJsonObject File(const QString& name, const QString& path, const QString& folder = QString()) {
  return {{"name", name}, {"folder", folder}, {"path", path}, {"time", kTime}};
}

QJsonObject ChartSet(int number, const QJsonArray& files, const QString& code = QStringLiteral("SET"),
                     const QString& module = QStringLiteral("M")) {
  return {{"number", number},      {"kind", 1},          {"group", 9999},
          {"moduleMask", 1},       {"displayName", "S"}, {"productCode", code},
          {"moduleCode", module},  {"files", files}};
}

// Hostile products: each alone in a file list, since one bad name refuses the whole list.
struct HostileCase {
  int product;
  QJsonObject record;
};

std::vector<HostileCase> HostileCases() {
  const QString path = QStringLiteral("set/good.qmr2");
  auto one = [&](int n, const QJsonObject& file) { return HostileCase{n, ChartSet(n, QJsonArray{file})}; };
  return {
      one(1601, File("../escape.qmr2", path)),
      one(1602, File("sub/inner.qmr2", path)),
      one(1603, File("..\\escape.qmr2", path)),
      one(1604, File("..", path)),
      one(1605, File(QStringLiteral("nul") + QChar(0) + ".qmr2", path)),
      one(1606, File("ok.qmr2", path, "/etc")),
      one(1607, File("ok.qmr2", path, "a/../../b")),
      one(1608, File("ok.qmr2", path, "..")),
      one(1609, File("ok.qmr2", path, "a//b")),
      {1610, ChartSet(1610, QJsonArray{File("ok.qmr2", path)}, "../P")},
      {1611, ChartSet(1611, QJsonArray{File("ok.qmr2", path)}, "P", "a/b")},
  };
}

class HostileCatalogue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    content = new QString(MakeTempFolder("catalogue"));
    QDir(*content).mkpath("files/set");
    auto write = [](const QString& path, const QByteArray& data) {
      QFile f(*content + "/" + path);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(data);
    };
    QByteArray chart(20000, '\0');
    for (int i = 0; i < chart.size(); ++i) chart[i] = static_cast<char>(i * 7 + i / 251);
    for (const char* name : {"good", "badsum", "short", "long", kAwkward})
      write(QStringLiteral("files/set/%1.qmr2").arg(QString::fromUtf8(name)), chart);

    QJsonObject badSum = File("badsum.qmr2", "set/badsum.qmr2");
    badSum["sha256"] = QString(64, u'0');
    QJsonObject tooShort = File("short.qmr2", "set/short.qmr2");
    tooShort["size"] = chart.size() - 100;
    QJsonObject tooLong = File("long.qmr2", "set/long.qmr2");
    tooLong["size"] = chart.size() + 100;
    const QString awkward = QString::fromUtf8(kAwkward) + ".qmr2";
    QJsonArray products{ChartSet(
        1500, QJsonArray{File("good.qmr2", "set/good.qmr2"), badSum, tooShort, tooLong, File(awkward, "set/" + awkward)})};
    for (const auto& [number, name] : kNamed) {
      QJsonObject named = ChartSet(number, QJsonArray{File("good.qmr2", "set/good.qmr2")});
      named["displayName"] = name;
      products.append(named);
    }
    for (const HostileCase& c : HostileCases()) products.append(c.record);
    QJsonObject escaping = ChartSet(1700, QJsonArray{File("ok.qmr2", "set/good.qmr2")});
    escaping["installFolder"] = "../../outside";
    products.append(escaping);
    write("catalogue.json", QJsonDocument(QJsonObject{{"products", products}}).toJson());
    QJsonArray owned{QJsonObject{{"product", 1500}}};
    for (const auto& named : kNamed) owned.append(QJsonObject{{"product", named.first}});
    for (const HostileCase& c : HostileCases()) owned.append(QJsonObject{{"product", c.product}});
    const QJsonArray accounts{Account(kEmail, owned), Account(kOtherEmail, {QJsonObject{{"product", 1700}}})};
    write("accounts.json", QJsonDocument(QJsonObject{{"accounts", accounts}}).toJson());
    auto started = std::make_unique<ServiceProcess>();
    ASSERT_TRUE(started->Start({"--accounts", *content}, false)) << started->Log().toStdString();
    service = started.release();
  }
  static void TearDownTestSuite() {
    delete service;
    delete content;
  }

  void SetUp() override {
    ASSERT_NE(service, nullptr) << "the service did not start";
    engine = std::make_unique<EngineOnService>(service->url);
  }

  // Every file below a folder.
  static QStringList Files(const QString& folder) {
    QStringList out;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
      out << it.next();
    return out;
  }

  static QString* content;
  static ServiceProcess* service;
  std::unique_ptr<EngineOnService> engine;
};

QString* HostileCatalogue::content = nullptr;
ServiceProcess* HostileCatalogue::service = nullptr;

TEST_F(HostileCatalogue, WrongChecksumOrSizeKeepsNothingAndReportsIt) {
  ASSERT_EQ(engine->SignIn(kEmail + ";" + kPassword), 0);
  ASSERT_EQ(engine->FileList({{1500, 1}}), 0);
  InstallItem* item = engine->FindItem(1500, 1);
  ASSERT_NE(item, nullptr);
  ASSERT_EQ(item->FileCount(), 5);
  struct Case {
    int file;
    int error;
  };
  const Case cases[] = {
      {0, 0}, {1, cvlib::ceChkChecksum}, {2, cvlib::ceChkChecksum}, {3, cvlib::ceChkChecksum}, {4, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(item->FileName(c.file).toStdString());
    const QString folder = MakeTempFolder("checked");
    EXPECT_EQ(engine->Download(item, c.file, folder), c.error);
    if (!c.error) {
      EXPECT_EQ(Files(folder), QStringList{folder + "/" + item->FileName(c.file)});
    } else {
      EXPECT_EQ(Files(folder), QStringList());
      // A second attempt fares the same: nothing was kept to resume.
      EXPECT_EQ(engine->Download(item, c.file, folder), c.error);
      EXPECT_EQ(Files(folder), QStringList());
    }
  }
}

TEST_F(HostileCatalogue, NamesThatLeaveTheFolderRefuseTheWholeList) {
  ASSERT_EQ(engine->SignIn(kEmail + ";" + kPassword), 0);
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.product);
    ASSERT_EQ(engine->FileList({{1500, 1}}), 0);
    ASSERT_EQ(engine->check->ItemCount(), 1);
    EXPECT_EQ(engine->FileList({{c.product, 1}}), cvlib::ceChkUnsafeName);
    EXPECT_EQ(engine->check->ItemCount(), 0);  // the earlier list is gone too
  }

  // A program record whose install folder leaves the destination refuses the product list.
  EngineOnService other(service->url);
  EXPECT_EQ(other.SignIn(kOtherEmail + ";" + kPassword), cvlib::ceChkUnsafeName);
  EXPECT_EQ(other.check->ProductCount(), 0);
}

// A backup rebuilds the product records from its items: they must come out in the order the
// service lists them, also where display names differ in letter case.
TEST_F(HostileCatalogue, RebuiltProductsKeepTheServicesOrder) {
  ASSERT_EQ(engine->SignIn(kEmail + ";" + kPassword), 0);
  ChartCheck& check = *engine->check;
  std::vector<std::pair<int, int>> listed;
  for (int i = 0; i < check.ProductCount(); ++i) {
    const int number = check.Product(i)->ProductNumber();
    if (number == 1500 || (number >= 1520 && number <= 1523)) listed.emplace_back(number, 1);
  }
  ASSERT_EQ(listed.size(), 5u);
  ASSERT_EQ(engine->FileList(listed), 0);
  check.ClearProducts();
  for (int i = 0; i < check.ItemCount(); ++i) check.AddItemProduct(check.Item(i));
  check.FinishProducts();
  std::vector<std::pair<int, int>> rebuilt;
  for (int i = 0; i < check.ProductCount(); ++i)
    rebuilt.emplace_back(check.Product(i)->ProductNumber(), check.Product(i)->ModuleMask());
  EXPECT_EQ(rebuilt, listed);
}

}  // namespace
