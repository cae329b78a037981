// A service that accepts the connection and never answers: the commands end after the
// minute without data and say so in their own words, not in the network library's.
#include "TestEnv.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
          const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
          if (client >= 0) clients_.push_back(client);  // kept open, never read or answered
        }
      }
    });
  }
  ~SilentServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int client : clients_) ::close(client);
    if (fd_ >= 0) ::close(fd_);
  }
  QString URL() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> clients_;
};

TEST(SilentServer, CommandsSayTheServerDidNotAnswer) {
  SilentServer server;
  ASSERT_NE(server.Port(), 0);
  // Both at once: each waits its minute.
  QProcess account, pus;
  account.start(cvtest::BinDir() + "/cvtool", {"account", server.URL(), "products", "--email", "a@example.com",
                                               "--password", "x"});
  pus.start(cvtest::BinDir() + "/cvtool", {"pus", server.URL(), "version", "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}"});
  ASSERT_TRUE(account.waitForFinished(150000));
  ASSERT_TRUE(pus.waitForFinished(150000));

  EXPECT_EQ(account.exitCode(), 1);
  const QString accountErr = QString::fromUtf8(account.readAllStandardError());
  EXPECT_TRUE(accountErr.startsWith("cvtool account: the server did not answer within 60 s")) << qPrintable(accountErr);
  EXPECT_EQ(accountErr.count('\n'), 1) << qPrintable(accountErr);  // nothing of Qt's own

  EXPECT_EQ(pus.exitCode(), 1);
  const QString pusErr = QString::fromUtf8(pus.readAllStandardError());
  EXPECT_TRUE(pusErr.contains("10060")) << qPrintable(pusErr);  // the update server's own message stays
  EXPECT_TRUE(pusErr.endsWith("cvtool pus: the server did not answer within 60 s\n")) << qPrintable(pusErr);
  EXPECT_FALSE(pusErr.contains("QIODevice") || accountErr.contains("QIODevice"));
}

}  // namespace
