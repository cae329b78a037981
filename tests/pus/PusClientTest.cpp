// The client against a scripted responder: request form, parsers, errors, downloads.
#include "PusTestSupport.h"

#include "CvPUSTransport.h"
#include "TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

using namespace pustest;

namespace {

const TGUID kG1 = MakeGuid(1);
const TGUID kG2 = MakeGuid(2);
const TGUID kG3 = MakeGuid(3);

QByteArray Record(const TGUID& g, const QByteArray& version = "1.2.3.4",
                  const QByteArray& date1 = "2024-05-06 07:08:09",
                  const QByteArray& date2 = "2024-05-06") {
  return G(g).toLatin1() + "\n" + version + "\n" + date1 + "\n" + date2 + "\n" +
         "text two\n42\ntext one\n\ntext four\n-7\n";
}

QString VersionEvent(int index, int count, const TGUID& g, const char* version = "1.2.3.4") {
  return QStringLiteral("version %1 %2 %3 %4").arg(index).arg(count).arg(G(g), QLatin1String(version));
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

struct ClientFixture : ::testing::Test {
  TScriptedServer server;
  TPUSClient client;
  TRecorder rec{client};
  void SetUp() override { client.SetURL(server.URL()); }
};

}  // namespace

TEST(PusForm, ScramblesEachByteToHexWithoutLeadingZero) {
  // 'Z' ^ 0x5A = 0 and 'P' ^ 0x5A = 0x0A scramble below 16: one digit each.
  EXPECT_EQ(PUSScrambleForm("ZPc"), QByteArray("d=0A39"));
  EXPECT_EQ(PUSScrambleForm("c=vi2"), QByteArray("d=39672C3368"));
}

TEST_F(ClientFixture, VersionRequestPostsTheScrambledForm) {
  server.SetAnswer("0\n" + Record(kG1) + Record(kG2) + "\xFF");
  client.RequestVersion(TGUIDsArray{kG1, kG2});
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(Unscramble(server.RequestBody()),
            "c=vi2&gc=2&g0=" + G(kG1).toLatin1() + "&g1=" + G(kG2).toLatin1());
  const QByteArray head = server.RequestHead().toLower();
  EXPECT_TRUE(head.startsWith("post /pus/pus.php http/1.1")) << head.constData();
  EXPECT_TRUE(head.contains("content-type: application/x-www-form-urlencoded"));
  EXPECT_TRUE(head.contains("user-agent: deployer 1"));
  EXPECT_EQ(rec.events, QStringList({VersionEvent(1, 2, kG1), VersionEvent(2, 2, kG2),
                                     "done pcReqVersion 0"}));
  EXPECT_FALSE(client.IsBusy());
}

TEST_F(ClientFixture, VersionRecordFieldsAndShortForms) {
  // Two components read as major.minor; a date without time is midnight.
  server.SetAnswer("0\n" + Record(kG1, "5.2", "2024-01-02 12:00:00", "1899-12-31") + "\xFF");
  client.RequestVersion(kG1);
  ASSERT_TRUE(rec.Wait());
  ASSERT_EQ(rec.versions.size(), 1);
  const TPUSVersionInfo& v = rec.versions[0];
  EXPECT_EQ(v.Guid, kG1);
  EXPECT_EQ(v.ProductVersion, 0x05020000u);
  EXPECT_DOUBLE_EQ(v.Date1, 45293.5);
  EXPECT_DOUBLE_EQ(v.Date2, 1.0);
  EXPECT_EQ(v.Text1, "text one");
  EXPECT_EQ(v.Text2, "text two");
  EXPECT_EQ(v.Text3, "");
  EXPECT_EQ(v.Text4, "text four");
  EXPECT_EQ(v.Number1, 42);
  EXPECT_EQ(v.Number2, -7);
  EXPECT_EQ(rec.lastResult, 0);
}

// An element may be split anywhere: every split of a version answer gives the same events.
TEST(PusSplits, EverySplitPositionOfAVersionAnswer) {
  const QByteArray body = "0\n" + Record(kG1) + "\xFF";
  const QStringList expected{VersionEvent(1, 1, kG1), "done pcReqVersion 0"};
  TScriptedServer server;
  for (int at = 0; at <= body.size(); ++at) {
    TPUSClient client;
    client.SetURL(server.URL());
    TRecorder rec(client);
    server.SetAnswer(body, {at}, 200, true, 10);
    client.RequestVersion(kG1);
    ASSERT_TRUE(rec.Wait(10000, 0)) << "split at " << at;
    EXPECT_EQ(rec.events, expected) << "split at " << at;
  }
  // And one byte at a time.
  QList<int> everyByte;
  for (int at = 1; at < body.size(); ++at) everyByte << at;
  TPUSClient client;
  client.SetURL(server.URL());
  TRecorder rec(client);
  server.SetAnswer(body, everyByte, 200, true, 1);
  client.RequestVersion(kG1);
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.events, expected);
}

TEST(PusVersionAnswers, MalformedAndShortAnswers) {
  struct Case {
    const char* name;
    QByteArray body;
    int guids;
    QStringList events;
  };
  const QByteArray r1 = Record(kG1);
  const QList<Case> cases = {
      {"no final marker", "0\n" + r1, 1, {"done pcReqVersion -1"}},
      {"two records for three GUIDs", "0\n" + r1 + Record(kG2) + "\xFF", 3,
       {VersionEvent(1, 3, kG1), VersionEvent(2, 3, kG2), "done pcReqVersion -1"}},
      {"bytes after the end", "0\n" + r1 + "\xFFxyz", 1,
       {VersionEvent(1, 1, kG1), "done pcReqVersion -1"}},
      {"CR LF lines", "0\r\n" + r1 + "\xFF", 1, {"done pcReqVersion -1"}},
      {"empty status line", "\n" + r1 + "\xFF", 1, {"done pcReqVersion -1000"}},
      {"non-zero status", "5\nrest is not read", 1, {"done pcReqVersion 5"}},
      {"negative status", "-3\n", 1, {"done pcReqVersion -3"}},
      {"status not a number", "ok\n", 1, {"done pcReqVersion -1"}},
      {"bad GUID", "0\n{nope}\n" + r1.mid(39) + "\xFF", 1, {"done pcReqVersion -1"}},
      {"bad version", "0\n" + Record(kG1, "1.x") + "\xFF", 1, {"done pcReqVersion -1"}},
      {"component over 255", "0\n" + Record(kG1, "1.256") + "\xFF", 1, {"done pcReqVersion -1"}},
      {"bad date", "0\n" + Record(kG1, "1.0", "2024-13-01") + "\xFF", 1, {"done pcReqVersion -1"}},
      {"empty answer", "", 1, {"done pcReqVersion -1"}},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    TPUSClient client;
    client.SetURL(server.URL());
    TRecorder rec(client);
    server.SetAnswer(c.body);
    TGUIDsArray guids{kG1, kG2, kG3};
    guids.resize(static_cast<size_t>(c.guids));
    client.RequestVersion(guids);
    ASSERT_TRUE(rec.Wait()) << c.name;
    EXPECT_EQ(rec.events, c.events) << c.name;
    EXPECT_EQ(client.LastResult(), rec.lastResult) << c.name;
  }
}

TEST(PusVersionAnswers, DateForms) {
  struct Case {
    QByteArray text;
    bool valid;
    double date;
  };
  const Case cases[] = {
      {"2024-05-06 07:08", true, 45418 + (7 * 60 + 8) / 1440.0},
      {"2024-02-29", true, 45351},
      // Before 1899-12-30 the time of day counts away from zero.
      {"1899-12-29 12:00:00", true, -1.5},
      {"2023-02-29", false, 0},
      {"2024-05-06 24:00", false, 0},
      {"2024-05-06 07:60", false, 0},
      {"2024-05-06 07:08:60", false, 0},
      {"2024-05-06 07:08:", false, 0},
      {"2024-05-06T07:08", false, 0},
      {"2024-05-06 ", false, 0},
      {"0000-01-01", false, 0},
      {"", false, 0},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.constData());
    TPUSClient client;
    client.SetURL(server.URL());
    TRecorder rec(client);
    server.SetAnswer("0\n" + Record(kG1, "1.0", c.text) + "\xFF");
    client.RequestVersion(kG1);
    ASSERT_TRUE(rec.Wait(10000, 0));
    EXPECT_EQ(rec.lastResult, c.valid ? 0 : -1);
    if (c.valid && rec.versions.size() == 1) {
      EXPECT_DOUBLE_EQ(rec.versions[0].Date1, c.date);
    }
  }
}

TEST(PusHttpStatus, StatusOf400AndMoreIsTheResultWhenABodyArrived) {
  struct Case {
    int status;
    QByteArray body;
    int result;
  };
  TScriptedServer server;
  for (const Case& c : {Case{404, "not here", 404}, Case{404, "", -1}, Case{503, "busy", 503},
                        // A redirect is not followed: its body is the answer.
                        Case{302, "0\n\xFF", 0}}) {
    TPUSClient client;
    client.SetURL(server.URL());
    TRecorder rec(client);
    server.SetAnswer(c.body, {}, c.status);
    client.RequestHistory(kG1);
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.events.last(), QStringLiteral("done pcReqHistory %1").arg(c.result))
        << c.status << " " << c.body.constData();
    EXPECT_EQ(rec.doneCount, 1);
  }
}

TEST(PusHistory, TextKeptAsSentAcrossChunks) {
  struct Case {
    const char* name;
    QByteArray body;
    QList<int> splits;
    QStringList events;
    QString history;
  };
  const QByteArray text = "<p>line one\r\nline two\nGr\xC3\xBC\xC3\x9F" "e</p>";
  const QList<Case> cases = {
      {"split text", "0\n" + text + "\xFF", {1, 5, 12, 30}, {"history 31", "done pcReqHistory 0"},
       QString::fromUtf8(text)},
      {"marker alone in last chunk", "0\n" + text + "\xFF", {int(text.size()) + 2},
       {"history 31", "done pcReqHistory 0"}, QString::fromUtf8(text)},
      {"empty history", "0\n\xFF", {}, {"history 0", "done pcReqHistory 0"}, QString()},
      {"byte after the marker", "0\nabc\xFF" "A", {}, {"history 3", "done pcReqHistory -1"},
       "abc"},
      {"no marker", "0\nabc", {}, {"done pcReqHistory -1"}, QString()},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    TPUSClient client;
    client.SetURL(server.URL());
    TRecorder rec(client);
    server.SetAnswer(c.body, c.splits);
    client.RequestHistory(kG2);
    ASSERT_TRUE(rec.Wait()) << c.name;
    EXPECT_EQ(Unscramble(server.RequestBody()), "c=vh&g=" + G(kG2).toLatin1());
    EXPECT_EQ(rec.events, c.events) << c.name;
    EXPECT_EQ(rec.history, c.history) << c.name;
  }
}

TEST_F(ClientFixture, DownloadEmptyFirstFileThenDataInThreeChunks) {
  const QString folder = cvtest::MakeTempFolder("dl");
  client.SetDownloadFolder(folder);
  const QByteArray data = "0123456789abcdefghij";  // 20 bytes
  const QByteArray body = "0\nfirst.bin\n0\nsecond.bin\n20\n" + data;
  const int at = body.size() - 20;
  server.SetAnswer(body, {at + 3, at + 11});
  client.RequestUpdateFile(TGUIDsArray{kG1, kG2});
  ASSERT_TRUE(rec.Wait());
  const QString p1 = folder + "/first.bin";
  const QString p2 = folder + "/second.bin";
  EXPECT_EQ(Unscramble(server.RequestBody()),
            "c=uf&gc=2&g0=" + G(kG1).toLatin1() + "&g1=" + G(kG2).toLatin1());
  EXPECT_EQ(rec.events,
            QStringList({QStringLiteral("file 0 0 1 2 %1 %2").arg(G(kG1), p1),
                         QStringLiteral("file 3 20 2 2 %1 %2").arg(G(kG2), p2),
                         QStringLiteral("file 11 20 2 2 %1 %2").arg(G(kG2), p2),
                         QStringLiteral("file 20 20 2 2 %1 %2").arg(G(kG2), p2),
                         "done pcReqUpdateFile 0"}));
  EXPECT_FALSE(QFile::exists(p1));
  EXPECT_EQ(ReadFile(p2), data);
}

TEST(PusDownload, LargerThanTheWriteBufferIsExact) {
  QByteArray data;
  for (int i = 0; i < 100000; ++i) data.append(static_cast<char>((i * 7 + i / 251) & 0xFF));
  const QByteArray body = "0\nbig.bin\n100000\n" + data;
  const int at = body.size() - data.size();
  const QList<QList<int>> splitSets = {
      // Pieces smaller and larger than 8192, some ending mid-buffer.
      {at + 1, at + 5000, at + 5001, at + 30000, at + 38192, at + 99999},
      // Whole aligned windows right after a full buffer, then a partial one.
      {at + 8192, at + 8192 * 3, at + 8192 * 3 + 100, at + 8192 * 6},
  };
  TScriptedServer server;
  for (const QList<int>& splits : splitSets) {
    const QString folder = cvtest::MakeTempFolder("dl");
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(folder);
    TRecorder rec(client);
    server.SetAnswer(body, splits);
    client.RequestUpdateFile(kG1);
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.lastResult, 0);
    EXPECT_EQ(ReadFile(folder + "/big.bin"), data);
  }
}

TEST(PusDownload, ASignatureSharesItsProductsPlace) {
  struct Case {
    const char* name;
    QByteArray body;
    int guids;
    int result;
    QStringList files;  // "<progress> <size> <index> <name>" of each file event
  };
  const QList<Case> cases = {
      {"signature, then the file it signs", "0\nsetup.sh.sig\n2\nSS" "setup.sh\n3\nabc", 1, 0,
       {"2 2 1 setup.sh.sig", "3 3 1 setup.sh"}},
      {"signed second product", "0\na.bin\n1\nA" "b.sh.sig\n2\nSS" "b.sh\n3\nbcd", 2, 0,
       {"1 1 1 a.bin", "2 2 2 b.sh.sig", "3 3 2 b.sh"}},
      {"a last file named .sig is a file of its own", "0\nnotes.sig\n2\nNN", 1, 0,
       {"2 2 1 notes.sig"}},
      {"a .sig file followed by another product's file", "0\na.sig\n1\nA" "b.bin\n1\nB", 2, 0,
       {"1 1 1 a.sig", "1 1 2 b.bin"}},
      {"a signature and a file it does not sign, for one product",
       "0\nsetup.sh.sig\n2\nSS" "other.sh\n3\nabc", 1, -1, {"2 2 1 setup.sh.sig"}},
      {"a surplus file after a signed one", "0\nx.sig\n1\nS" "x\n1\nX" "y\n1\nY", 1, -1,
       {"1 1 1 x.sig", "1 1 1 x"}},
      {"a signature for a file that never comes", "0\na.bin.sig\n2\nSS", 2, -1,
       {"2 2 1 a.bin.sig"}},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString folder = cvtest::MakeTempFolder("signed");
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(folder);
    TRecorder rec(client);  // its own file events are replaced below
    QStringList files;
    client.OnRequestUpdateFile = [&](TPUSClient*, int progress, int size, int index, int,
                                     const TGUID& guid, const QString& path) {
      files << QStringLiteral("%1 %2 %3 %4").arg(progress).arg(size).arg(index).arg(QFileInfo(path).fileName());
      EXPECT_EQ(guid, index == 1 ? kG1 : kG2);
    };
    server.SetAnswer(c.body, {}, 200, false);
    client.RequestUpdateFile(c.guids == 2 ? TGUIDsArray{kG1, kG2} : TGUIDsArray{kG1});
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.lastResult, c.result);
    EXPECT_EQ(files, c.files);
  }
}

TEST(PusDownload, FailuresAndHostileNames) {
  struct Case {
    const char* name;
    QByteArray body;
    int guids;
    int result;
    QByteArray partial;  // what stays in "f.bin"; empty: no such file
  };
  const QList<Case> cases = {
      {"parent component", "0\n../x\n3\nabc", 1, -1002, {}},
      {"absolute path", "0\n%P/x\n3\nabc", 1, -1002, {}},
      {"sub-folder", "0\nsub/x\n3\nabc", 1, -1002, {}},
      {"backslash", "0\n..\\x\n3\nabc", 1, -1002, {}},
      {"dot-dot", "0\n..\n3\nabc", 1, -1002, {}},
      {"empty name", "0\n\n3\nabc", 1, -1002, {}},
      {"bad size", "0\nf.bin\n3x\nabc", 1, -1, {}},
      {"stops short", "0\nf.bin\n10\nabc", 1, -1, "abc"},
      {"fewer files than GUIDs", "0\nf.bin\n3\nabc", 2, -1, "abc"},
      {"bytes after the last file", "0\nf.bin\n3\nabcd", 1, -1, "abc"},
      {"empty last file", "0\nf.bin\n0\n", 1, -1, {}},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    const QString parent = cvtest::MakeTempFolder("hostile");
    const QString folder = parent + "/in";
    QDir().mkpath(folder + "/sub");
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(folder);
    TRecorder rec(client);
    QByteArray body = c.body;
    server.SetAnswer(body.replace("%P", parent.toUtf8()), {}, 200, false);
    client.RequestUpdateFile(c.guids == 2 ? TGUIDsArray{kG1, kG2} : TGUIDsArray{kG1});
    ASSERT_TRUE(rec.Wait()) << c.name;
    EXPECT_EQ(rec.lastResult, c.result) << c.name;
    EXPECT_EQ(rec.doneCount, 1) << c.name;
    // A refused name is the server's fault, not the user's access rights.
    if (c.result == -1002) {
      const QString text = client.GetErrorText(rec.lastResult);
      EXPECT_TRUE(text.contains("not allowed")) << c.name << " " << text.toStdString();
      EXPECT_FALSE(text.contains("access rights")) << c.name;
    }
    // Nothing lands outside the folder or in a sub-folder of it.
    EXPECT_FALSE(QFile::exists(parent + "/x")) << c.name;
    EXPECT_FALSE(QFile::exists(folder + "/sub/x")) << c.name;
    const QStringList left = QDir(folder).entryList(QDir::Files);
    if (c.partial.isEmpty()) {
      EXPECT_TRUE(left.isEmpty()) << c.name << " " << qPrintable(left.join(' '));
    } else {
      EXPECT_EQ(ReadFile(folder + "/f.bin"), c.partial) << c.name;
    }
  }
}

TEST_F(ClientFixture, MissingDownloadFolderGivesWriteFailureWithThePath) {
  const QString folder = cvtest::MakeTempFolder("dl") + "/not-there";
  client.SetDownloadFolder(folder);
  server.SetAnswer("0\nsetup.bin\n5\nabcde");
  client.RequestUpdateFile(kG1);
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.events, QStringList{"done pcReqUpdateFile -1002"});
  EXPECT_TRUE(client.GetErrorText(-1002).contains(folder + "/setup.bin"));
  EXPECT_FALSE(QDir(folder).exists());
}

// Targets that cannot take the file: -1002, once, and no hang on a FIFO without a reader.
TEST(PusDownload, UnwritableTargetsGiveWriteFailure) {
  QByteArray data;
  for (int i = 0; i < 100000; ++i) data.append(static_cast<char>((i * 13 + i / 257) & 0xFF));
  struct Case {
    const char* name;
    std::function<void(const QString& path)> block;
    qsizetype maxKept;  // bytes that may stay in the file; -1: the name stays what it was
  };
  const QList<Case> cases = {
      {"folder under the name", [](const QString& path) { QDir().mkpath(path); }, -1},
      {"FIFO under the name",
       [](const QString& path) { ASSERT_EQ(::mkfifo(qPrintable(path), 0600), 0); }, -1},
      // The process may write no file beyond 20000 bytes: the write fails part-way.
      {"file size limit", nullptr, 20000},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString folder = cvtest::MakeTempFolder("unwritable");
    const QString path = folder + "/f.bin";
    if (c.block) c.block(path);
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(folder);
    TRecorder rec(client);
    server.SetAnswer("0\nf.bin\n100000\n" + data, {30, 20000, 60000});

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    if (!c.block) {
      rlimit limit = saved;
      limit.rlim_cur = 20000;
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    client.RequestUpdateFile(kG1);
    const bool finished = rec.Wait();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);

    ASSERT_TRUE(finished);
    EXPECT_EQ(rec.doneCount, 1);
    EXPECT_EQ(rec.events.last(), "done pcReqUpdateFile -1002");
    const QFileInfo info(path);
    if (c.maxKept < 0) {
      EXPECT_FALSE(info.isFile());
    } else {
      const QByteArray kept = ReadFile(path);
      EXPECT_LE(kept.size(), c.maxKept);
      EXPECT_EQ(kept, data.left(kept.size()));
    }
  }
}

TEST_F(ClientFixture, EmptyGuidListSendsCountZero) {
  server.SetAnswer("0\n");
  client.RequestUpdateFile(TGUIDsArray{});
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(Unscramble(server.RequestBody()), "c=uf&gc=0");
}

TEST_F(ClientFixture, SecondRequestWhileBusyIsRefusedAndLeavesTheFirstAlone) {
  server.SetAnswer("0\n" + Record(kG1) + "\xFF", {10}, 200, true, 30);
  client.RequestVersion(kG1);
  client.RequestHistory(kG2);
  // Reported before RequestHistory returned.
  EXPECT_EQ(rec.events, QStringList{"done pcReqHistory -101"});
  EXPECT_TRUE(client.IsBusy());
  EXPECT_EQ(client.LastResult(), 0);
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.events, QStringList({"done pcReqHistory -101", VersionEvent(1, 1, kG1),
                                     "done pcReqVersion 0"}));
  EXPECT_EQ(server.Connections(), 1);
}

TEST(PusRefusal, RefusedRequestIsReportedAtOnceAndLeavesTheClientIdle) {
  TPUSClient client;
  TRecorder rec(client);
  client.SetURL("ftp://127.0.0.1/pus/pus.php");
  client.RequestVersion(kG1);
  EXPECT_EQ(rec.events, QStringList{"done pcReqVersion -100"});
  EXPECT_FALSE(client.IsBusy());
  EXPECT_EQ(client.LastResult(), -100);
}

TEST(PusSocket, ConnectionRefusedKeepsTheSocketError) {
  quint16 port = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    port = probe.serverPort();
  }
  TPUSClient client;
  TRecorder rec(client);
  client.SetURL(QStringLiteral("http://127.0.0.1:%1/pus/pus.php").arg(port));
  client.RequestVersion(kG1);
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.events, QStringList{"done pcReqVersion -2001"});
  EXPECT_EQ(client.SocketError(), 10061);
  EXPECT_TRUE(client.GetErrorText(client.LastResult()).contains("\r\n\r\n10061\r\n\r\n"));
}

TEST(PusSocket, ErrorMapping) {
  struct Case {
    QNetworkReply::NetworkError error;
    bool gotStatus;
    int mapped;
    const char* detail = "";
  };
  // Qt reports an unreachable host and an unreachable network as one error; its text differs.
  for (const Case& c : {Case{QNetworkReply::UnknownNetworkError, false, 10065, "Connection error: Host unreachable"},
                        Case{QNetworkReply::UnknownNetworkError, false, 10051, "Network unreachable"},
                        Case{QNetworkReply::NoError, true, 0},
                        Case{QNetworkReply::HostNotFoundError, false, 11001},
                        Case{QNetworkReply::ConnectionRefusedError, false, 10061},
                        Case{QNetworkReply::TimeoutError, false, 10060},
                        Case{QNetworkReply::RemoteHostClosedError, true, 10054},
                        Case{QNetworkReply::ContentNotFoundError, true, 0},
                        Case{QNetworkReply::InternalServerError, true, 0},
                        Case{QNetworkReply::ProtocolFailure, false, 1}}) {
    EXPECT_EQ(TPUSTransport::MapNetworkError(c.error, c.gotStatus, QString::fromLatin1(c.detail)), c.mapped)
        << c.error << " " << c.detail;
  }
}

// The wizard answers a failed command with a message box and may start the next one from it,
// while the failed answer's delivery is still on the stack: the new command gets its answer.
TEST(PusReentry, ACommandStartedInsideADeliveryGetsItsOwnAnswer) {
  TScriptedServer server;
  server.SetAnswer("-3\n");  // ends the command inside the delivery of its answer
  TPUSClient client;
  client.SetURL(server.URL());
  QStringList results;
  bool started = false;
  client.OnCommandDone = [&](TPUSClient* sender, TPUSCommand, int result) {
    results << QString::number(result);
    if (started) return;
    started = true;
    QEventLoop box;  // as a message box: the first request's notice arrives meanwhile
    QTimer::singleShot(100, &box, &QEventLoop::quit);
    box.exec();
    server.SetAnswer("0\n" + Record(kG1) + "\xFF");
    sender->RequestVersion(TGUIDsArray{kG1});
    QElapsedTimer waited;  // and waits for it there, as a modal progress would
    waited.start();
    while (results.size() < 2 && waited.elapsed() < 5000)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  };
  client.RequestVersion(TGUIDsArray{kG1});
  QElapsedTimer waited;
  waited.start();
  while (results.size() < 2 && waited.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  EXPECT_EQ(results, QStringList({"-3", "0"}));
}

TEST(PusEndpoint, EnvironmentThenSettingsThenBuiltIn) {
  const QString builtIn = QStringLiteral("https://pus.corvane.com/pus/pus.php");
  const QString env = QStringLiteral("http://env.example/pus/pus.php");
  const QString setting = QStringLiteral("http://setting.example/pus/pus.php");
  struct Case {
    const char* name;
    const QString* env;      // null: not set
    const QString* setting;  // null: no such value
    QString url;
  };
  const QString empty;
  const Case cases[] = {
      {"neither", nullptr, nullptr, builtIn},
      {"setting only", nullptr, &setting, setting},
      {"both", &env, &setting, env},
      {"environment only", &env, nullptr, env},
      {"empty environment", &empty, &setting, setting},
      {"empty setting", nullptr, &empty, builtIn},
  };
  TAppReg& reg = GetAppReg();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.env)
      qputenv("CORVANE_PUS_URL", c.env->toUtf8());
    else
      qunsetenv("CORVANE_PUS_URL");
    if (c.setting)
      ASSERT_EQ(reg.WriteString(rrSettings, "Servers", "UpdateServer", *c.setting), 0);
    else
      reg.DeleteValue(rrSettings, "Servers", "UpdateServer");
    EXPECT_EQ(DefaultPUSURL(), c.url);
    EXPECT_EQ(TPUSClient().URL(), c.url);
  }
  qunsetenv("CORVANE_PUS_URL");
  reg.DeleteValue(rrSettings, "Servers", "UpdateServer");
}

TEST(PusDownloadFolder, TrailingDelimiterAddedOnce) {
  TPUSClient client;
  for (const auto& [in, out] : {std::pair{"/a/b", "/a/b/"}, std::pair{"/a/b/", "/a/b/"}}) {
    client.SetDownloadFolder(in);
    EXPECT_EQ(client.DownloadFolder(), out);
  }
}

TEST(PusLifetime, ClientFreedInsideAnEventStopsCleanly) {
  TScriptedServer server;
  auto client = std::make_unique<TPUSClient>();
  client->SetURL(server.URL());
  TRecorder rec(*client);
  rec.onVersion = [&client] { client.reset(); };
  server.SetAnswer("0\n" + Record(kG1) + Record(kG2) + "\xFF");
  client->RequestVersion(TGUIDsArray{kG1, kG2});
  QEventLoop loop;
  QTimer::singleShot(300, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(rec.events, QStringList{VersionEvent(1, 2, kG1)});
}
