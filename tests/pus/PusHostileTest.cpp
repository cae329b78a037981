// The client against answers and owners that misbehave: links under a download name, more
// records than asked, owners that abort or free the client from inside an event.
#include "PusTestSupport.h"

#include "CvPUSTransport.h"
#include "TestEnv.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace pustest;

namespace {

const TGUID kG1 = MakeGuid(1);
const TGUID kG2 = MakeGuid(2);

QByteArray Record(const TGUID& g) {
  return G(g).toLatin1() + "\n1.2.3.4\n2024-05-06\n2024-05-06\nt2\n1\nt1\nt3\nt4\n2\n";
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

// A link planted under the name of a download is replaced; the file it points at, or the
// place a dangling one names, is never written.
TEST(PusDownload, LinkUnderTheNameIsReplacedNotFollowed) {
  struct Case {
    const char* name;
    bool targetExists;
  };
  TScriptedServer server;
  for (const Case& c : {Case{"link to a file", true}, Case{"dangling link", false}}) {
    SCOPED_TRACE(c.name);
    const QString parent = cvtest::MakeTempFolder("link");
    const QString folder = parent + "/in";
    QDir().mkpath(folder);
    const QString target = parent + "/target.bin";
    if (c.targetExists) {
      QFile f(target);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write("keep");
    }
    ASSERT_TRUE(QFile::link(target, folder + "/f.bin"));
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(folder);
    TRecorder rec(client);
    server.SetAnswer("0\nf.bin\n3\nabc", {12});
    client.RequestUpdateFile(kG1);
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.lastResult, 0);
    EXPECT_EQ(ReadFile(target), c.targetExists ? QByteArray("keep") : QByteArray("<missing>"));
    const QFileInfo info(folder + "/f.bin");
    EXPECT_FALSE(info.isSymLink());
    EXPECT_EQ(ReadFile(folder + "/f.bin"), "abc");
  }
}

// Records beyond the GUIDs asked for are not handed to the owner: its index would point past
// its own list.
TEST(PusVersionAnswers, MoreRecordsThanAskedEndTheCommand) {
  TScriptedServer server;
  TPUSClient client;
  client.SetURL(server.URL());
  TRecorder rec(client);
  server.SetAnswer("0\n" + Record(kG1) + Record(kG2) + "\xFF");
  client.RequestVersion(kG1);
  ASSERT_TRUE(rec.Wait());
  EXPECT_EQ(rec.events,
            QStringList({QStringLiteral("version 1 1 %1 1.2.3.4").arg(G(kG1)), "done pcReqVersion -1"}));
}

// The owner may free the client from inside any event: nothing runs on, nothing fires after.
TEST(PusLifetime, ClientFreedInsideEveryEvent) {
  struct Case {
    const char* name;
    TPUSCommand command;
    QByteArray body;
    const char* freeIn;  // the event whose handler frees the client
    QStringList events;  // what fired up to that point
  };
  const QList<Case> cases = {
      {"done after an early end", pcReqVersion, "7\n", "done", {"done pcReqVersion 7"}},
      {"done after completion", pcReqHistory, "0\nabc\xFF", "done",
       {"history", "done pcReqHistory 0"}},
      {"history", pcReqHistory, "0\nabc\xFF" "trailing", "history", {"history"}},
      {"empty file", pcReqUpdateFile, "0\na.bin\n0\nb.bin\n3\nabc", "file", {"file 0"}},
      {"file progress", pcReqUpdateFile, "0\na.bin\n6\nabc|def", "file", {"file 3"}},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = std::make_unique<TPUSClient>();
    client->SetURL(server.URL());
    client->SetDownloadFolder(cvtest::MakeTempFolder("free"));
    QStringList events;
    const auto freeIf = [&](const char* event) {
      if (qstrcmp(event, c.freeIn) == 0) client.reset();
    };
    client->OnCommandDone = [&](TPUSClient*, TPUSCommand command, int result) {
      events << QStringLiteral("done %1 %2").arg(PUSCommandName(command)).arg(result);
      freeIf("done");
    };
    client->OnRequestHistory = [&](TPUSClient*, const QString&) {
      events << "history";
      freeIf("history");
    };
    client->OnRequestUpdateFile = [&](TPUSClient*, int progress, int, int, int, const TGUID&,
                                      const QString&) {
      events << QStringLiteral("file %1").arg(progress);
      freeIf("file");
    };
    QByteArray body = c.body;
    const qsizetype cut = body.indexOf('|');
    body.remove(cut < 0 ? body.size() : cut, cut < 0 ? 0 : 1);
    server.SetAnswer(body, cut < 0 ? QList<int>{} : QList<int>{int(cut)}, 200, true, 30);
    if (c.command == pcReqVersion) client->RequestVersion(kG1);
    if (c.command == pcReqHistory) client->RequestHistory(kG1);
    if (c.command == pcReqUpdateFile) client->RequestUpdateFile(TGUIDsArray{kG1, kG2});
    for (int i = 0; i < 100 && client; ++i) Spin(10);
    Spin(100);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(events, c.events);
  }
}

// An owner that aborts the transport from inside an event still gets exactly one done, and the
// client is idle and usable afterwards.
TEST(PusAbort, AbortInsideEveryEventReportsOnce) {
  struct Case {
    const char* name;
    TPUSCommand command;
    QByteArray body;
  };
  const QList<Case> cases = {
      {"version", pcReqVersion, "0\n" + Record(kG1) + "\xFF"},
      {"history", pcReqHistory, "0\nabc\xFF"},
      {"file", pcReqUpdateFile, "0\na.bin\n3\nabc"},
      {"done", pcReqHistory, "9\n"},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(cvtest::MakeTempFolder("abort"));
    TRecorder rec(client);
    const auto abort = [&client] { client.Transport().Abort(); };
    rec.onVersion = abort;
    const auto recordedDone = client.OnCommandDone;
    client.OnCommandDone = [&](TPUSClient* s, TPUSCommand command, int result) {
      recordedDone(s, command, result);
      abort();
    };
    const auto recordedHistory = client.OnRequestHistory;
    client.OnRequestHistory = [&](TPUSClient* s, const QString& text) {
      recordedHistory(s, text);
      abort();
    };
    const auto recordedFile = client.OnRequestUpdateFile;
    client.OnRequestUpdateFile = [&](TPUSClient* s, int a, int b, int i, int n, const TGUID& g,
                                     const QString& p) {
      recordedFile(s, a, b, i, n, g, p);
      abort();
    };
    server.SetAnswer(c.body);
    if (c.command == pcReqVersion) client.RequestVersion(kG1);
    if (c.command == pcReqHistory) client.RequestHistory(kG1);
    if (c.command == pcReqUpdateFile) client.RequestUpdateFile(kG1);
    ASSERT_TRUE(rec.Wait(10000, 150));
    EXPECT_EQ(rec.doneCount, 1);
    EXPECT_FALSE(client.IsBusy());

    // The next command runs as usual.
    rec.onVersion = nullptr;
    client.OnCommandDone = recordedDone;
    client.OnRequestHistory = recordedHistory;
    client.OnRequestUpdateFile = recordedFile;
    rec.doneCount = 0;
    server.SetAnswer("0\nxyz\xFF");
    client.RequestHistory(kG1);
    ASSERT_TRUE(rec.Wait());
    EXPECT_EQ(rec.lastResult, 0);
    EXPECT_EQ(rec.history, "xyz");
  }
}

// A server that goes quiet ends the command as a timed-out connection instead of holding the
// client busy for ever; one that is merely slow but keeps sending is waited for.
TEST(PusTransportStall, QuietServerTimesOut) {
  struct Case {
    const char* name;
    QList<TPiece> script;
    int result;
  };
  const QByteArray head =
      "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\n";
  const QList<Case> cases = {
      {"no answer at all", {{"", 0}, {head + "0\nabc\xFF", 3000}}, -2001},
      {"quiet after the head", {{head, 0}, {"0\nabc\xFF", 3000}}, -2001},
      {"quiet inside the answer", {{head + "0\nab", 0}, {"c\xFF", 3000}}, -2001},
      {"slow but steady", {{head, 0}, {"0\n", 200}, {"ab", 200}, {"c", 200}, {"\xFF", 200}}, 0},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPUSClient client;
    client.SetURL(server.URL());
    client.Transport().SetIdleTimeout(400);
    TRecorder rec(client);
    server.SetScript(c.script);
    client.RequestHistory(kG1);
    ASSERT_TRUE(rec.Wait(2500));
    EXPECT_EQ(rec.doneCount, 1);
    EXPECT_EQ(rec.lastResult, c.result);
    if (c.result == -2001) {
      EXPECT_EQ(client.SocketError(), 10060);
    }
  }
}

// A line that never ends is cut off at 1 MiB with a malformed answer, wherever it stands.
TEST(PusVersionAnswers, EndlessLineIsMalformed) {
  const QByteArray endless(3 * 1024 * 1024, '7');
  struct Case {
    const char* name;
    TPUSCommand command;
    QByteArray body;
  };
  const QList<Case> cases = {
      {"status line", pcReqVersion, endless},
      {"text of a record", pcReqVersion, "0\n" + Record(kG1).left(80) + endless},
      {"file name", pcReqUpdateFile, "0\n" + endless + "\n3\nabc"},
  };
  TScriptedServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPUSClient client;
    client.SetURL(server.URL());
    client.SetDownloadFolder(cvtest::MakeTempFolder("endless"));
    TRecorder rec(client);
    // Two MiB at once, the rest much later: the end must come before the rest.
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: " +
                            QByteArray::number(c.body.size()) + "\r\nConnection: close\r\n\r\n";
    server.SetScript({{head + c.body.left(2 * 1024 * 1024), 0}, {c.body.mid(2 * 1024 * 1024), 4000}});
    if (c.command == pcReqVersion) client.RequestVersion(kG1);
    if (c.command == pcReqUpdateFile) client.RequestUpdateFile(kG1);
    ASSERT_TRUE(rec.Wait(2500));
    EXPECT_EQ(rec.events, QStringList{QStringLiteral("done %1 -1").arg(PUSCommandName(c.command))});
  }
}
