// cvtool account as a user runs it against the real service: a selection the account does not
// have, the table for people, and Ctrl-C in the middle of a file, resumed by the next run.
#include "IntegrationFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QCryptographicHash>
#include <QElapsedTimer>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <httplib.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

using namespace cvtest;

namespace {

struct AccountRun {
  int exitCode = -1;
  QString out, err;
};

AccountRun Account(const QStringList& args) {
  QProcess p;
  p.start(BinDir() + "/cvtool", QStringList{"account"} + args);
  AccountRun r;
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    ADD_FAILURE() << "cvtool did not end";
    return r;
  }
  r.exitCode = p.exitCode();
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

QStringList Files(const QString& folder) {
  QStringList out;
  for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
    out << it.next();
  return out;
}

// A selection that names no product of the account fetches nothing, writes nothing, and says so.
TEST(CvtoolRuns, ASelectionTheAccountDoesNotHaveIsAnError) {
  const QStringList signIn{"--email", DemoService().email, "--password", DemoService().password};
  const QString parent = MakeTempFolder("not-owned");
  struct Case {
    QStringList args;
    const char* missing;
  };
  const Case cases[] = {
      {{"files", "999:1"}, "999:1"},
      {{"files", "1001:1", "4242:1"}, "4242:1"},
      {{"files", "1001:4"}, "1001:4"},  // a module of the product the account does not own
      {{"download", parent + "/backup", "999:1"}, "999:1"},
      {{"download", parent + "/backup", "1002:1", "999:1"}, "999:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const AccountRun r = Account(QStringList{DemoService().url} + c.args + signIn);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no product") && r.err.contains(c.missing)) << qPrintable(r.err);
    EXPECT_FALSE(r.out.contains("\nitem\t") || r.out.startsWith("item\t")) << qPrintable(r.out);
  }
  EXPECT_FALSE(QFileInfo::exists(parent + "/backup"));
}

TEST(CvtoolRuns, ProductsAsATableForPeople) {
  const AccountRun r = Account({DemoService().url, "products", "--table", "--email", DemoService().email, "--password",
                         DemoService().password});
  ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
  const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 8) << qPrintable(r.out);  // a heading and seven products
  EXPECT_TRUE(lines[0].startsWith("Product  Modules  Kind")) << qPrintable(lines[0]);
  EXPECT_FALSE(r.out.contains("event"));
  const QString navigator = lines.filter(QRegularExpression("Corvane Navigator$")).value(0);
  EXPECT_TRUE(navigator.contains("Program") && navigator.contains("General") && navigator.contains(" KiB"))
      << qPrintable(navigator);
  EXPECT_TRUE(lines.filter(QRegularExpression("Chart set +2019 ")).size() == 2) << qPrintable(r.out);
  EXPECT_EQ(lines.filter("Companion").size(), 1);
}

// Serves one file: the first request stalls after a part until released; later ones answer
// whole or from the range asked.
class StallingFileServer {
 public:
  explicit StallingFileServer(std::string data) : data_(std::move(data)) {
    server_.Get("/big.qmr2", [this](const httplib::Request& req, httplib::Response& res) {
      std::string range = req.get_header_value("Range");
      {
        std::lock_guard lock(mutex_);
        ranges_.push_back(range);
      }
      const bool first = requests_++ == 0;
      res.set_content_provider(data_.size(), "application/octet-stream",
                               [this, first](size_t offset, size_t length, httplib::DataSink& sink) {
                                 if (first && offset + length > kStallAt) {
                                   if (offset < kStallAt) sink.write(data_.data() + offset, kStallAt - offset);
                                   std::unique_lock lock(mutex_);
                                   released_.wait_for(lock, std::chrono::seconds(30), [this] { return release_; });
                                   return false;
                                 }
                                 sink.write(data_.data() + offset, length);
                                 return true;
                               });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~StallingFileServer() {
    Release();
    server_.stop();
    thread_.join();
  }
  void Release() {
    std::lock_guard lock(mutex_);
    release_ = true;
    released_.notify_all();
  }
  std::vector<std::string> Ranges() {
    std::lock_guard lock(mutex_);
    return ranges_;
  }
  QString URL() const { return QStringLiteral("http://127.0.0.1:%1/big.qmr2").arg(port_); }
  static constexpr size_t kStallAt = 20 * 1024 * 1024;

 private:
  std::string data_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  std::vector<std::string> ranges_;
};

QJsonObject AccountEntry(const QString& email, const QString& password, int product) {
  unsigned char salt[16];
  unsigned char hash[32];
  RAND_bytes(salt, sizeof salt);
  const QByteArray bytes = password.toUtf8();
  PKCS5_PBKDF2_HMAC(bytes.constData(), static_cast<int>(bytes.size()), salt, sizeof salt, 1000, EVP_sha256(),
                    sizeof hash, hash);
  return {{"email", email},
          {"salt", QString::fromLatin1(QByteArray(reinterpret_cast<char*>(salt), sizeof salt).toHex())},
          {"hash", QString::fromLatin1(QByteArray(reinterpret_cast<char*>(hash), sizeof hash).toHex())},
          {"rounds", 1000},
          {"products", QJsonArray{QJsonObject{{"product", product}}}}};
}

// A catalogue of one large chart file served by a StallingFileServer, and a service for it.
struct StalledCatalogue {
  std::string data = std::string(24 * 1024 * 1024, '\0');
  std::unique_ptr<StallingFileServer> files;
  ServiceProcess service;
  bool Start() {
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 977);
    files = std::make_unique<StallingFileServer>(data);
    const QString content = MakeTempFolder("stall-catalogue");
    QDir(content).mkpath("files");
    const QByteArray sha =
        QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha256).toHex();
    const QJsonObject file{{"name", "big.qmr2"}, {"folder", ""}, {"url", files->URL()}, {"size", qint64(data.size())},
                           {"sha256", QString::fromLatin1(sha)}, {"time", 1700000000}};
    const QJsonObject product{{"number", 1800}, {"kind", 1}, {"moduleMask", 1}, {"displayName", "Big"},
                              {"productCode", "BIG"}, {"moduleCode", "M"}, {"files", QJsonArray{file}}};
    auto write = [&](const QString& name, const QJsonObject& object) {
      QFile f(content + "/" + name);
      return f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(object).toJson()) > 0;
    };
    return write("catalogue.json", {{"products", QJsonArray{product}}}) &&
           write("accounts.json", {{"accounts", QJsonArray{AccountEntry("big@example.com", "secret", 1800)}}}) &&
           service.Start({"--accounts", content}, false);
  }
};

// Ctrl-C while a file comes in: exit 130 and a line saying the partial file was kept; the
// next run asks only for the rest.
TEST(CvtoolRuns, InterruptedDownloadKeepsThePartAndTheNextRunResumesIt) {
  // Large enough that whole write chunks of the engine reach the disk before the stall.
  StalledCatalogue catalogue;
  ASSERT_TRUE(catalogue.Start()) << qPrintable(catalogue.service.Log());
  StallingFileServer& files = *catalogue.files;
  ServiceProcess& service = catalogue.service;
  const std::string& data = catalogue.data;

  const QString folder = MakeTempFolder("interrupted") + "/backup";
  const QStringList args{"account", service.url, "download", folder, "1800:1", "--email", "big@example.com",
                         "--password", "secret"};
  QProcess p;
  p.start(BinDir() + "/cvtool", args);
  QByteArray out;
  // Wait until the stalled part has arrived.
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 30000 && !out.contains(QByteArray("event\t131\t") + QByteArray::number(qint64(StallingFileServer::kStallAt)))) {
    p.waitForReadyRead(200);
    out += p.readAllStandardOutput();
  }
  ASSERT_TRUE(out.contains("download\t1800\t1\t0\t")) << out.constData();
  ::kill(static_cast<pid_t>(p.processId()), SIGINT);
  ASSERT_TRUE(p.waitForFinished(30000));
  const QString err = QString::fromUtf8(p.readAllStandardError());
  EXPECT_EQ(p.exitCode(), 130);
  const QString target = folder + "/QMR2/BIG/M/big.qmr2";
  EXPECT_TRUE(err.contains("interrupted") && err.contains("already written was kept") && err.contains(target) &&
              err.contains("resumes it"))
      << qPrintable(err);
  EXPECT_FALSE(QFileInfo::exists(target));
  const QStringList kept = Files(folder);
  ASSERT_EQ(kept.size(), 1) << qPrintable(kept.join(' '));
  const qint64 keptSize = QFileInfo(kept[0]).size();
  EXPECT_GT(keptSize, 0);
  EXPECT_LE(keptSize, qint64(StallingFileServer::kStallAt));

  files.Release();
  const AccountRun again = Account(args.mid(1));
  ASSERT_EQ(again.exitCode, 0) << qPrintable(again.err);
  QFile done(target);
  ASSERT_TRUE(done.open(QIODevice::ReadOnly));
  EXPECT_EQ(done.readAll(), QByteArray::fromStdString(data));
  const auto ranges = files.Ranges();
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[1], "bytes=" + std::to_string(keptSize) + "-");
}

// Ctrl-C in an unattended backup is the wizard's Abort: the file under way is cancelled with
// its part kept, the run ends with its summary (nothing stored), and the next run resumes it.
TEST(CvtoolRuns, InterruptedBackupRunEndsWithItsSummaryAndResumes) {
  StalledCatalogue catalogue;
  ASSERT_TRUE(catalogue.Start()) << qPrintable(catalogue.service.Log());
  const QString folder = MakeTempFolder("interrupted-run") + "/backup";
  const QStringList args{"backup", catalogue.service.url, folder, "1800:1", "--email", "big@example.com",
                         "--password", "secret"};
  QProcess p;
  p.start(BinDir() + "/cvtool", args);
  // Wait until the stalled part has arrived on the disk.
  QElapsedTimer timer;
  timer.start();
  qint64 arrived = 0;
  while (timer.elapsed() < 30000 && arrived < qint64(StallingFileServer::kStallAt) / 2) {
    p.waitForFinished(100);
    arrived = 0;
    for (const QString& f : Files(folder)) arrived = std::max(arrived, QFileInfo(f).size());
  }
  ASSERT_EQ(p.state(), QProcess::Running) << p.readAllStandardError().constData();
  ::kill(static_cast<pid_t>(p.processId()), SIGINT);
  ASSERT_TRUE(p.waitForFinished(30000));
  const QString out = QString::fromUtf8(p.readAllStandardOutput());
  const QString err = QString::fromUtf8(p.readAllStandardError());
  EXPECT_EQ(p.exitCode(), 1) << qPrintable(err);
  EXPECT_TRUE(err.contains("interrupted") && err.contains("kept") && err.contains("resumes it")) << qPrintable(err);
  EXPECT_TRUE(out.trimmed().endsWith("summary failed 0 1")) << qPrintable(out);
  const QString target = folder + "/QMR2/BIG/M/big.qmr2";
  EXPECT_FALSE(QFileInfo::exists(target));
  const QStringList kept = Files(folder).filter(".cvpart");
  ASSERT_EQ(kept.size(), 1) << qPrintable(Files(folder).join(' '));
  const qint64 keptSize = QFileInfo(kept[0]).size();
  EXPECT_GT(keptSize, 0);

  catalogue.files->Release();
  QProcess again;
  again.start(BinDir() + "/cvtool", args);
  ASSERT_TRUE(again.waitForFinished(60000));
  EXPECT_EQ(again.exitCode(), 0) << again.readAllStandardError().constData();
  QFile done(target);
  ASSERT_TRUE(done.open(QIODevice::ReadOnly));
  EXPECT_EQ(done.readAll(), QByteArray::fromStdString(catalogue.data));
  const auto ranges = catalogue.files->Ranges();
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[1], "bytes=" + std::to_string(keptSize) + "-");
}

}  // namespace
