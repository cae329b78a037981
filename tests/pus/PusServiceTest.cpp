// The client and cvtool against the reference update service, over http and https.
#include "PusTestSupport.h"

#include "CvPUSTransport.h"
#include "TestEnv.h"

#include <QBuffer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <gtest/gtest.h>

using namespace pustest;

namespace {

const QString kInstaller = QStringLiteral("{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}");

class TService {
 public:
  bool Start(const QString& content, const QStringList& extra = {}) {
    fProcess.setProgram(cvtest::BinDir() + "/deployer-service");
    fProcess.setArguments(QStringList{"--host", "127.0.0.1", "--port", "0", "--content", content} +
                          extra);
    fProcess.setProcessChannelMode(QProcess::SeparateChannels);
    fProcess.start();
    if (!fProcess.waitForStarted(5000)) return false;
    while (!fProcess.canReadLine()) {
      if (!fProcess.waitForReadyRead(5000)) return false;
    }
    fBase = QString::fromUtf8(fProcess.readLine()).trimmed();
    return !fBase.isEmpty();
  }
  ~TService() {
    fProcess.kill();
    fProcess.waitForFinished(3000);
  }
  QString URL() const { return fBase + "/pus/pus.php"; }

 private:
  QProcess fProcess;
  QString fBase;
};

void WriteFile(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  ASSERT_EQ(f.write(data), data.size());
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Two products: A with history and a 300 000-byte file, B with a 3-byte file and no history.
QString MakeContent() {
  const QString root = cvtest::MakeTempFolder("content");
  const QString a = root + "/" + G(MakeGuid(1));
  const QString b = root + "/" + G(MakeGuid(2));
  QDir().mkpath(a);
  QDir().mkpath(b);
  WriteFile(a + "/product.json",
            R"({"version": "2.5.0.17", "date1": "2024-02-03 04:05:06", "date2": "2024-02-03",
                "number1": 3, "text1": "Product A", "number2": 9, "file": "a-setup.bin"})");
  QByteArray data;
  for (int i = 0; i < 300000; ++i) data.append(static_cast<char>(i * 31 % 251));
  WriteFile(a + "/a-setup.bin", data);
  WriteFile(a + "/history.html", "<p>line\nnext</p>");
  WriteFile(b + "/product.json", R"({"version": "7.1", "file": "b.bin"})");
  WriteFile(b + "/b.bin", "bee");
  return root;
}

// Posts a raw body and gives back the status and the answer.
std::pair<int, QByteArray> PostRaw(const QString& url, const QByteArray& body) {
  TPUSTransport transport;
  QBuffer source;
  source.setData(body);
  source.open(QIODevice::ReadOnly);
  transport.SetURL(url);
  transport.SetContentType("application/x-www-form-urlencoded");
  transport.SetBodySource(&source);
  QByteArray answer;
  int status = 0;
  bool done = false;
  transport.OnData = [&](const char* data, qint64 length) {
    answer.append(data, length);
    status = transport.StatusCode();
  };
  transport.OnDone = [&](int) { done = true; };
  EXPECT_EQ(transport.Post(), TPostResult::prStarted);
  for (int i = 0; i < 1000 && !done; ++i) {
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return {status, answer};
}

struct TToolRun {
  int exitCode = -1;
  QStringList lines;
};

TToolRun Cvtool(const QStringList& args) {
  QProcess p;
  p.start(cvtest::BinDir() + "/cvtool", args);
  TToolRun run;
  if (!p.waitForFinished(60000)) return run;
  run.exitCode = p.exitCode();
  run.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  return run;
}

}  // namespace

TEST(PusService, InstallerContentAsShipped) {
  TService service;
  ASSERT_TRUE(service.Start(cvtest::SourceDir() + "/service/content"));
  TPUSClient client;
  client.SetURL(service.URL());
  TRecorder rec(client);
  client.RequestVersion(StrToGUID(kInstaller));
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.events, QStringList({"version 1 1 " + kInstaller + " 1.1.0.0", "done pcReqVersion 0"}));

  TRecorder hist(client);
  client.RequestHistory(StrToGUID(kInstaller));
  ASSERT_TRUE(hist.Wait());
  EXPECT_EQ(hist.lastResult, 0);
  for (const char* code : {"EN", "NL", "DE", "FR", "SP", "IT", "DK", "SW"})
    EXPECT_TRUE(hist.history.contains(QStringLiteral("name=\"%1\"").arg(code))) << code;
}

TEST(PusService, VersionHistoryAndDownloads) {
  const QString content = MakeContent();
  TService service;
  ASSERT_TRUE(service.Start(content));
  const TGUID a = MakeGuid(1), b = MakeGuid(2), unknown = MakeGuid(9);

  TPUSClient client;
  client.SetURL(service.URL());
  {
    TRecorder rec(client);
    client.RequestVersion(TGUIDsArray{a, b});
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.events, QStringList({"version 1 2 " + G(a) + " 2.5.0.17",
                                       "version 2 2 " + G(b) + " 7.1.0.0", "done pcReqVersion 0"}));
    ASSERT_EQ(rec.versions.size(), 2);
    EXPECT_EQ(rec.versions[0].Text1, "Product A");
    EXPECT_EQ(rec.versions[0].Number2, 9);
  }
  {
    TRecorder rec(client);
    client.RequestHistory(a);
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.history, "<p>line\nnext</p>");
  }
  {
    const QString folder = cvtest::MakeTempFolder("dl");
    client.SetDownloadFolder(folder);
    TRecorder rec(client);
    client.RequestUpdateFile(TGUIDsArray{b, a});
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.lastResult, 0);
    EXPECT_EQ(rec.events.first(), "file 3 3 1 2 " + G(b) + " " + folder + "/b.bin");
    EXPECT_EQ(rec.events.at(rec.events.size() - 2),
              "file 300000 300000 2 2 " + G(a) + " " + folder + "/a-setup.bin");
    EXPECT_EQ(ReadFile(folder + "/a-setup.bin"), ReadFile(content + "/" + G(a) + "/a-setup.bin"));
    EXPECT_EQ(ReadFile(folder + "/b.bin"), "bee");
  }
  // Failures are status lines; a body that is no scrambled form is HTTP 400.
  struct Case {
    const char* name;
    std::function<void()> request;
    int result;
  };
  const QList<Case> cases = {
      {"unknown product", [&] { client.RequestVersion(TGUIDsArray{a, unknown}); }, -3},
      {"no history", [&] { client.RequestHistory(b); }, -4},
  };
  for (const Case& c : cases) {
    TRecorder rec(client);
    c.request();
    ASSERT_TRUE(rec.Wait()) << c.name;
    EXPECT_EQ(rec.doneCount, 1) << c.name;
    EXPECT_EQ(rec.lastResult, c.result) << c.name;
  }
  EXPECT_EQ(PostRaw(service.URL(), "d=XYZ").first, 400);
  EXPECT_EQ(PostRaw(service.URL(), "x=1").first, 400);
  const auto unknownCommand = PostRaw(service.URL(), PUSScrambleForm("c=zz"));
  EXPECT_EQ(unknownCommand, std::make_pair(200, QByteArray("-2\n")));
}

TEST(PusService, TheInstallersSignatureGoesJustBeforeIt) {
  const QString content = MakeContent();
  const TGUID a = MakeGuid(1), b = MakeGuid(2);
  const QByteArray signature(64, 's');
  WriteFile(content + "/" + G(a) + "/a-setup.bin.sig", signature);
  TService service;
  ASSERT_TRUE(service.Start(content));
  const auto answer = PostRaw(service.URL(), PUSScrambleForm("c=uf&gc=2&g0=" + G(b).toLatin1() +
                                                             "&g1=" + G(a).toLatin1()));
  EXPECT_EQ(answer.first, 200);
  EXPECT_TRUE(answer.second.startsWith("0\nb.bin\n3\nbeea-setup.bin.sig\n64\n" + signature +
                                       "a-setup.bin\n300000\n"));

  TPUSClient client;
  client.SetURL(service.URL());
  const QString folder = cvtest::MakeTempFolder("dl");
  client.SetDownloadFolder(folder);
  TRecorder rec(client);
  client.RequestUpdateFile(a);
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.lastResult, 0);
  EXPECT_EQ(rec.events.first(), "file 64 64 1 1 " + G(a) + " " + folder + "/a-setup.bin.sig");
  EXPECT_EQ(rec.events.at(rec.events.size() - 2),
            "file 300000 300000 1 1 " + G(a) + " " + folder + "/a-setup.bin");
  EXPECT_EQ(ReadFile(folder + "/a-setup.bin.sig"), signature);

  // The build's copy of the shipped content carries the installer's signed manifest.
  TService shipped;
  ASSERT_TRUE(shipped.Start(cvtest::BinDir() + "/../service/content"));
  const auto installer = PostRaw(shipped.URL(), PUSScrambleForm("c=uf&gc=1&g0=" + kInstaller.toLatin1()));
  const QByteArray manifest = "Corvane update manifest 1\nproduct " + kInstaller.toLatin1() + "\nversion 1.1.0.0\nsha256 ";
  EXPECT_TRUE(installer.second.startsWith("0\nDeployerSetup-1.1.0.0.sh.sig\n" +
                                          QByteArray::number(manifest.size() + 65 + 64) + "\n" + manifest))
      << installer.second.left(200).constData();
}

// What a client could not read is refused when the content is loaded, naming the file, rather
// than failing every version check or download later.
TEST(PusService, ContentTheClientCannotReadStopsTheStart) {
  struct Case {
    const char* what;
    const char* product;
    const char* file;  // written as the installer when set
  } cases[] = {
      {"date with a T", R"({"version": "1.0", "date1": "2024-06-03T09:30:00"})", nullptr},
      {"no such day", R"({"date2": "2023-02-29"})", nullptr},
      {"version with five parts", R"({"version": "1.2.3.4.5"})", nullptr},
      {"version part above 255", R"({"version": "1.256"})", nullptr},
      {"version with a letter", R"({"version": "1.2b"})", nullptr},
      {"number beyond 32 bits", R"({"number1": 4294967296})", nullptr},
      {"text that is an object", R"({"text1": {}})", nullptr},
      {"empty installer", R"({"version": "1.0", "file": "setup.bin"})", ""},
      {"missing installer", R"({"version": "1.0", "file": "setup.bin"})", nullptr},
      {"not JSON", "{", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString root = cvtest::MakeTempFolder("badcontent");
    const QString folder = root + "/" + G(MakeGuid(3));
    ASSERT_TRUE(QDir().mkpath(folder));
    WriteFile(folder + "/product.json", c.product);
    if (c.file) WriteFile(folder + "/setup.bin", c.file);
    QProcess p;
    p.start(cvtest::BinDir() + "/deployer-service", {"--port", "0", "--content", root});
    ASSERT_TRUE(p.waitForFinished(10000)) << "started anyway";
    EXPECT_EQ(p.exitCode(), 1);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_TRUE(err.contains(folder + "/product.json")) << err.toStdString();
  }
  // Good dates in every form the client reads start.
  const QString root = cvtest::MakeTempFolder("goodcontent");
  const QString folder = root + "/" + G(MakeGuid(4));
  ASSERT_TRUE(QDir().mkpath(folder));
  WriteFile(folder + "/product.json",
            R"({"version": "1", "date1": "2024-02-29 23:59", "date2": "2024-06-03 09:30:00", "number2": "-5"})");
  TService service;
  EXPECT_TRUE(service.Start(root));
}

TEST(PusService, CvtoolLines) {
  const QString content = MakeContent();
  TService service;
  ASSERT_TRUE(service.Start(content));
  const QString a = G(MakeGuid(1)), b = G(MakeGuid(2));

  TToolRun run = Cvtool({"pus", service.URL(), "version", a, b});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines, QStringList({"version 1 2 " + a + " 2.5.0.17", "version 2 2 " + b + " 7.1.0.0",
                                    "done pcReqVersion 0"}));

  const QString out = cvtest::MakeTempFolder("out") + "/history.html";
  run = Cvtool({"pus", service.URL(), "history", a, "--out", out});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines, QStringList({"history 16", "done pcReqHistory 0"}));
  EXPECT_EQ(ReadFile(out), "<p>line\nnext</p>");

  const QString folder = cvtest::MakeTempFolder("dl");
  run = Cvtool({"pus", service.URL(), "download", folder, a});
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_GE(run.lines.size(), 2);
  EXPECT_EQ(run.lines.at(run.lines.size() - 2),
            "file 300000 300000 1 1 " + a + " " + folder + "/a-setup.bin");
  EXPECT_EQ(run.lines.last(), "done pcReqUpdateFile 0");

  // A history that cannot be written is a failure, told before anything is asked; a folder in
  // the way as well.
  for (const QString& bad : {cvtest::MakeTempFolder("out2") + "/missing/history.html", cvtest::MakeTempFolder("out3")}) {
    run = Cvtool({"pus", service.URL(), "history", a, "--out", bad});
    EXPECT_EQ(run.exitCode, 1) << qPrintable(bad);
    EXPECT_TRUE(run.lines.isEmpty());
  }

  // A new folder is made, a relative one taken from the current folder.
  const QString base = cvtest::MakeTempFolder("dl-new");
  {
    QProcess p;
    p.setWorkingDirectory(base);
    p.start(cvtest::BinDir() + "/cvtool", {"pus", service.URL(), "download", "new/deeper", a});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    EXPECT_TRUE(QFileInfo(base + "/new/deeper/a-setup.bin").isFile());
  }

  // The base URL as the service prints it: the update service's path is added.
  QString root = service.URL();
  root.chop(QStringLiteral("/pus/pus.php").size());
  run = Cvtool({"pus", root, "version", a});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines.last(), "done pcReqVersion 0");

  run = Cvtool({"pus", "--lang", "3", service.URL(), "version", G(MakeGuid(9))});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.lines, QStringList({"done pcReqVersion -3",
                                    "error Im Program Update Server ist ein interner Fehler "
                                    "aufgetreten. Fehlercode: -3\\n\\nBitte versuchen Sie es "
                                    "später erneut oder wenden Sie sich an Corvane Software, "
                                    "falls das Problem weiterhin besteht."}));

  run = Cvtool({"pus", "error-text", "-2001", "10054"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines, QStringList{"A Windows Socket API Error occured: \\n\\n10054\\n\\nPlease try "
                                   "again later or contact Corvane Software if the problem "
                                   "persists."});
}

TEST(PusService, Https) {
  const QString dir = cvtest::MakeTempFolder("tls");
  QProcess openssl;
  openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"});
  ASSERT_TRUE(openssl.waitForFinished(60000));
  ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().constData();
  TService service;
  ASSERT_TRUE(service.Start(MakeContent(), {"--cert", dir + "/cert.pem", "--key", dir + "/key.pem"}));
  ASSERT_TRUE(service.URL().startsWith("https://"));
  const TGUID a = MakeGuid(1);
  {
    // Not trusted yet: the handshake fails, reported as a socket error.
    TPUSClient client;
    client.SetURL(service.URL());
    TRecorder rec(client);
    client.RequestVersion(a);
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.lastResult, -2001);
  }
  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  QSslConfiguration trusted = saved;
  trusted.addCaCertificates(QSslCertificate::fromPath(dir + "/cert.pem"));
  QSslConfiguration::setDefaultConfiguration(trusted);
  TPUSClient client;
  client.SetURL(service.URL());
  TRecorder rec(client);
  client.RequestVersion(a);
  ASSERT_TRUE(rec.Wait());
  QSslConfiguration::setDefaultConfiguration(saved);
  EXPECT_EQ(rec.events, QStringList({"version 1 1 " + G(a) + " 2.5.0.17", "done pcReqVersion 0"}));
}
