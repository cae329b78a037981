// Small files over plain http come over a kept-alive connection of the engine's own. Against a
// server scripted byte by byte: the plain answer is taken, every other one ends as it would on
// Qt's road, and a file reaches its name only whole and verified.
#include "EngineFixture.h"

#include "CvLibChartCheckTesting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cvtest;
using nlohmann::json;

namespace {

// Answers each request (counted over all connections) with the bytes the test gives; then the
// connection stays open, is closed, or falls silent until the server stops.
class ScriptedServer {
 public:
  enum class After { Keep, Close, Silent };
  struct Reply {
    std::string bytes;
    After after = After::Keep;
  };
  std::function<Reply(int request, const std::string& head)> reply;
  // Reads what came after a request along with it, and forgets it, as some servers do.
  std::atomic<bool> dropReadAhead{false};
  std::atomic<int> heardBehind{0};  // requests that came while the one before was being answered
  std::atomic<int> idleCloseMs{0};  // a connection silent this long is closed (0: never)

  ScriptedServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 16);
    socklen_t length = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard lock(mutex_);
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : connections_) t.join();
    ::close(listen_);
  }
  std::string URL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  int Connections() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
  }
  std::vector<std::string> Heads() {
    std::lock_guard lock(mutex_);
    return heads_;
  }

 private:
  void Accept() {
    for (;;) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard lock(mutex_);
      if (stop_) {
        ::close(fd);
        return;
      }
      open_.push_back(fd);
      connections_.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    std::string in;
    char buffer[4096];
    for (;;) {
      const size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) {
        pollfd wait{fd, POLLIN, 0};
        if (idleCloseMs > 0 && ::poll(&wait, 1, idleCloseMs) == 0) break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        in.append(buffer, static_cast<size_t>(n));
        continue;
      }
      const std::string head = in.substr(0, end);
      in.erase(0, end + 4);
      if (dropReadAhead) {
        ::poll(nullptr, 0, 30);
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        in.clear();
      }
      int request = 0;
      {
        std::lock_guard lock(mutex_);
        request = static_cast<int>(heads_.size());
        heads_.push_back(head);
      }
      const Reply r = reply(request, head);
      if (!in.empty() || ::recv(fd, buffer, 1, MSG_PEEK | MSG_DONTWAIT) > 0) ++heardBehind;
      for (size_t sent = 0; sent < r.bytes.size();) {
        const ssize_t n = ::send(fd, r.bytes.data() + sent, r.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      if (r.after == After::Close) break;
      if (r.after == After::Silent) {
        while (!stop_) ::poll(nullptr, 0, 10);
        break;
      }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<int> open_;
  std::vector<std::string> heads_;
};

using Reply = ScriptedServer::Reply;
using After = ScriptedServer::After;

std::string Answer(const std::string& body, const std::string& headers = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
}

class PlainDownloadTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    for (int i = 0; i < 3; ++i) contents.push_back(RandomBytes(3000 + i, 40 + i));
    contents.emplace_back();  // an empty file
    service.products = json::array({{{"number", 100}, {"kind", 0}, {"moduleMask", 1}, {"displayName", "Navigator"}}});
    json files = json::array();
    for (int i = 0; i < 4; ++i) {
      json file = service.AddFile("f" + std::to_string(i), contents[static_cast<size_t>(i)], 1700000000 + i);
      file["url"] = server.URL() + "f" + std::to_string(i);
      files.push_back(file);
    }
    service.items = json::array({{{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"status", 0}, {"files", files}}});
    ASSERT_EQ(SignInAndList(), 0);
    ASSERT_EQ(FileList({{100, 1}}), 0);
    folder = MakeTempFolder(QStringLiteral("plain"));
  }
  int Download(int file) { return Run([&] { return check->StartDownload(check->Item(0), file, folder); }); }
  QString Path(int file) const { return folder + "/f" + QString::number(file); }
  QString Part(int file) const { return cvlib::DownloadPartPath(folder, "f" + QString::number(file)); }
  // Every request gets the plain answer of the file it names.
  void AnswerAll(After after = After::Keep, const std::string& headers = "") {
    server.reply = [this, after, headers](int, const std::string& head) {
      const size_t at = head.find("GET /f") + 6;
      return Reply{Answer(contents[static_cast<size_t>(head[at] - '0')], headers), after};
    };
  }

  ScriptedServer server;
  std::vector<std::string> contents;
  QString folder;
};

}  // namespace

TEST_F(PlainDownloadTest, SmallFilesShareOneConnectionAndArriveVerifiedWithTheirTimes) {
  AnswerAll();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Download(i), 0);
    EXPECT_EQ(ReadAll(Path(i)), QByteArray::fromStdString(contents[static_cast<size_t>(i)]));
    EXPECT_EQ(QFileInfo(Path(i)).lastModified().toSecsSinceEpoch(), 1700000000 + i);
    EXPECT_FALSE(QFile::exists(Part(i)));
  }
  EXPECT_EQ(server.Connections(), 1);
  for (const std::string& head : server.Heads()) {
    EXPECT_EQ(head.find("Authorization"), std::string::npos) << "the session went to another host";
    EXPECT_NE(head.find("\r\nHost: 127.0.0.1:"), std::string::npos);
  }
  // An answer that ends its connection is taken as well; the next file opens a new one (the
  // first of them still goes over the kept one).
  AnswerAll(After::Close, "Connection: close\r\n");
  for (int i = 0; i < 3; ++i) {
    QFile::remove(Path(i));
    ASSERT_EQ(Download(i), 0);
    EXPECT_EQ(ReadAll(Path(i)), QByteArray::fromStdString(contents[static_cast<size_t>(i)]));
  }
  EXPECT_EQ(server.Connections(), 3);
  // An empty file is a plain answer too.
  ASSERT_EQ(Download(3), 0);
  EXPECT_TRUE(QFileInfo(Path(3)).isFile());
  EXPECT_EQ(QFileInfo(Path(3)).size(), 0);
  // The engine settles what is left when it goes: every file then has its exact time.
  check = NewCheck();
  for (int i = 0; i < 3; ++i) {
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Path(i)).constData(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000 + i);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  }
}

TEST_F(PlainDownloadTest, AnyOtherAnswerEndsAsOnQtsRoad) {
  const std::string& body = contents[0];
  const std::string ok = Answer(body);
  std::string damaged = body;
  damaged[100] ^= 1;
  struct Case {
    const char* what;
    Reply first;    // the answer to the plain request
    Reply later;    // to any request after it
    int error;
    qint64 part;    // bytes kept in the part; -1: no part
  } cases[] = {
      {"chunked", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"}, {ok}, 0, -1},
      {"bare line ends", {"HTTP/1.1 200 OK\nContent-Length: 3000\n\n" + body, After::Close}, {ok}, 0, -1},
      {"bytes beyond the body", {ok + "HTTP/1.1 200 OK\r\n"}, {ok}, 0, -1},
      {"redirect", {"HTTP/1.1 302 Found\r\nLocation: /f0\r\nContent-Length: 0\r\n\r\n"}, {ok}, 0, -1},
      {"not found", {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}, {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
       cvlib::ceChkHttp, -1},
      {"longer than listed", {Answer(body + "x")}, {Answer(body + "x")}, cvlib::ceChkChecksum, -1},
      {"shorter than listed", {Answer(body.substr(10))}, {Answer(body.substr(10))}, cvlib::ceChkChecksum, -1},
      {"other bytes", {Answer(damaged)}, {Answer(damaged)}, cvlib::ceChkChecksum, -1},
      {"broken off", {ok.substr(0, ok.size() - 1000), After::Close}, {ok}, cvlib::ceChkIncomplete, 2000},
      {"silent before the answer", {"", After::Silent}, {ok}, cvlib::ceChkNetwork, -1},
      {"silent in the body", {ok.substr(0, ok.size() - 1000), After::Silent}, {ok}, cvlib::ceChkIncomplete, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    folder = MakeTempFolder(QStringLiteral("plain"));
    server.reply = [&c, first = server.Heads().size()](int request, const std::string&) {
      return static_cast<size_t>(request) == first ? c.first : c.later;
    };
    cvlib::testing::SetRequestTimeout(300);
    EXPECT_EQ(Download(0), c.error);
    cvlib::testing::SetRequestTimeout(60000);
    if (c.error == 0) EXPECT_EQ(ReadAll(Path(0)), QByteArray::fromStdString(body));
    else EXPECT_FALSE(QFile::exists(Path(0)));
    EXPECT_EQ(QFileInfo::exists(Part(0)) ? QFileInfo(Part(0)).size() : -1, c.part);
    if (c.part > 0) {
      // The next attempt resumes the part on Qt's road.
      ASSERT_EQ(Download(0), 0);
      EXPECT_EQ(ReadAll(Path(0)), QByteArray::fromStdString(body));
    }
  }
}

TEST_F(PlainDownloadTest, AKeptConnectionTheServerClosedIsAskedOnceMore) {
  // Closed after the answer without a word: the next request finds the connection gone.
  AnswerAll(After::Close);
  ASSERT_EQ(Download(0), 0);
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  ASSERT_EQ(Download(1), 0);
  EXPECT_EQ(ReadAll(Path(1)), QByteArray::fromStdString(contents[1]));
  EXPECT_EQ(server.Connections(), 2);
}

TEST_F(PlainDownloadTest, AFileAlreadyThereIsReplacedWholeAndALinkThereIsNeverFollowed) {
  AnswerAll();
  ASSERT_EQ(Download(0), 0);  // the folder's file system is known from here on
  const QString outside = MakeTempFolder(QStringLiteral("outside")) + "/victim";
  QFile victim(outside);
  ASSERT_TRUE(victim.open(QIODevice::WriteOnly));
  victim.write("keep me");
  victim.close();
  ASSERT_TRUE(QFile::link(outside, Path(1)));
  QFile old(Path(2));
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("older copy");
  old.close();
  // A wrong answer leaves the older copy as it was.
  server.reply = [](int, const std::string&) { return Reply{Answer(std::string(3002, 'x'))}; };
  EXPECT_EQ(Download(2), cvlib::ceChkChecksum);
  EXPECT_EQ(ReadAll(Path(2)), "older copy");
  AnswerAll();
  for (int i : {1, 2}) {
    ASSERT_EQ(Download(i), 0);
    EXPECT_FALSE(QFileInfo(Path(i)).isSymLink());
    EXPECT_EQ(ReadAll(Path(i)), QByteArray::fromStdString(contents[static_cast<size_t>(i)]));
  }
  EXPECT_EQ(ReadAll(outside), "keep me");
}

TEST_F(PlainDownloadTest, CancelEndsAPlainDownloadKeepsWhatArrivedAndTheNextOneComesOnAFreshConnection) {
  const std::string answer = Answer(contents[0]);
  const std::string half = answer.substr(0, answer.size() - 1000);  // 2,000 bytes of the body
  server.reply = [&half](int, const std::string&) { return Reply{half, After::Silent}; };
  const int before = recorder.DoneCount();
  ASSERT_EQ(check->StartDownload(check->Item(0), 0, folder), 0);
  QElapsedTimer waited;
  waited.start();
  while ((recorder.events.empty() || recorder.events.back().code != 131) && waited.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  EXPECT_EQ(check->CancelDownload(), 0);
  ASSERT_TRUE(recorder.WaitDone(before + 1));
  EXPECT_EQ(check->LastError(), cvlib::ceChkCancelled);
  EXPECT_FALSE(QFile::exists(Path(0)));
  EXPECT_EQ(ReadAll(Part(0)), QByteArray::fromStdString(contents[0].substr(0, 2000)));
  AnswerAll();
  ASSERT_EQ(Download(0), 0);
  EXPECT_EQ(ReadAll(Path(0)), QByteArray::fromStdString(contents[0]));
  EXPECT_FALSE(QFile::exists(Part(0)));
  EXPECT_EQ(server.Connections(), 2);
}

// The end of a run: what waits to be synced is settled without the engine going, and no
// descriptor of the run's folder stays open (a backup medium could not be ejected).
TEST_F(PlainDownloadTest, FinishingTheDownloadsSettlesTheFilesAndLetsGoOfTheFolder) {
  AnswerAll();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Download(i), 0);
  const QByteArray real = QFile::encodeName(QFileInfo(folder).canonicalFilePath());
  auto heldOpen = [&] {
    int held = 0;
    for (const QString& fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System)) {
      char target[4096];
      const ssize_t n = ::readlink(QFile::encodeName("/proc/self/fd/" + fd).constData(), target, sizeof target);
      held += n > 0 && QByteArray(target, static_cast<qsizetype>(n)).startsWith(real);
    }
    return held;
  };
  auto settled = [&] {
    for (int i = 0; i < 3; ++i) {
      struct stat st {};
      if (::stat(QFile::encodeName(Path(i)).constData(), &st) != 0 || st.st_mtim.tv_nsec != 0) return false;
    }
    return true;
  };
  EXPECT_GT(heldOpen(), 0);
  EXPECT_FALSE(settled());
  check->FinishDownloads();
  QElapsedTimer waited;
  waited.start();
  while ((heldOpen() > 0 || !settled()) && waited.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(settled());
  EXPECT_EQ(heldOpen(), 0);
  // The engine goes on as before.
  QFile::remove(Path(0));
  ASSERT_EQ(Download(0), 0);
  EXPECT_EQ(ReadAll(Path(0)), QByteArray::fromStdString(contents[0]));
}

TEST_F(PlainDownloadTest, RequestsGoBehindAnotherOnlyToAServerThatSaysItAnswersThemInOrder) {
  // Twelve files fetched ahead over two connections. Once a connection has answered with the
  // field, the next request goes out behind the one under way; without it, never. A server that
  // says so and then forgets such a request (answering the next one in its place) has it asked
  // again alone, whether the silence or the foreign answer shows it: every file arrives whole
  // and in its place. When the server also closes a connection that stays silent, the
  // connections left idle by the wait all close at about the same time: what is asked again
  // goes on connections opened after the fallback, never on one of those.
  struct Case {
    const char* what;
    bool says;
    bool drops;
    int connections = 2;
    int files = 12;
    int idleCloseMs = 0;  // else the request timeout ends the wait
  };
  for (const Case c : {Case{"says so", true, false}, Case{"silent", false, false}, Case{"says so, drops", true, true},
                       Case{"says so, drops, closes idle ones", true, true, 4, 24, 300}}) {
    SCOPED_TRACE(c.what);
    ScriptedServer pipe;
    std::vector<std::string> bodies;
    json files = json::array();
    for (int i = 0; i < c.files; ++i) {
      bodies.push_back(RandomBytes(2000 + static_cast<size_t>(i), static_cast<unsigned>(70 + i)));
      json file = service.AddFile("g" + std::to_string(i), bodies.back(), 1700000000);
      file["url"] = pipe.URL() + "g" + std::to_string(i);
      files.push_back(file);
    }
    service.items = json::array({{{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"status", 0}, {"files", files}}});
    ASSERT_EQ(FileList({{100, 1}}), 0);
    const std::string field = c.says ? "Corvane-Pipelining: in-order\r\n" : "";
    pipe.reply = [&bodies, field](int, const std::string& head) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // time for a request behind to come
      const size_t at = head.find("GET /g") + 6;
      return Reply{Answer(bodies[static_cast<size_t>(std::stoi(head.substr(at)))], field)};
    };
    pipe.dropReadAhead = c.drops;
    pipe.idleCloseMs = c.idleCloseMs;
    cvlib::testing::SetRequestTimeout(c.idleCloseMs ? 60000 : 400);
    check->SetConnections(c.connections);
    const QString to = MakeTempFolder(QStringLiteral("pipe"));
    cvlib::InstallItem* item = check->Item(0);
    std::vector<int> errors;
    int announced = 0;
    for (int f = 0; f < c.files; ++f) {
      announced = std::max(announced, f);
      while (announced < c.files && check->PrefetchRoom() > 0 && check->PrefetchDownload(item, announced, to)) ++announced;
      errors.push_back(Run([&] { return check->StartDownload(item, f, to); }));
    }
    check->FinishDownloads();
    cvlib::testing::SetRequestTimeout(60000);
    EXPECT_EQ(errors, std::vector<int>(static_cast<size_t>(c.files), 0));
    for (int i = 0; i < c.files; ++i)
      EXPECT_EQ(ReadAll(to + "/g" + QString::number(i)), QByteArray::fromStdString(bodies[static_cast<size_t>(i)])) << i;
    if (c.drops) EXPECT_GT(pipe.Heads().size(), static_cast<size_t>(c.files)) << "a forgotten request was asked again";
    else EXPECT_EQ(pipe.heardBehind > 0, c.says);
  }
}
