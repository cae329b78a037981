// The transport on its own: refusals, chunks with their status, abort, one posted completion.
#include "PusTestSupport.h"

#include "CvPUSTransport.h"

#include <QBuffer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

using namespace pustest;

namespace {

void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

struct TransportFixture : ::testing::Test {
  TScriptedServer server;
  TPUSTransport transport;
  QBuffer body;
  QList<int> done;
  QByteArray received;
  QList<int> statuses;
  void SetUp() override {
    body.setData("d=39672C3368");
    body.open(QIODevice::ReadOnly);
    transport.SetURL(server.URL());
    transport.SetContentType("application/x-www-form-urlencoded");
    transport.SetBodySource(&body);
    transport.OnData = [this](const char* data, qint64 length) {
      received.append(data, length);
      statuses << transport.StatusCode();
    };
    transport.OnDone = [this](int error) { done << error; };
  }
  void WaitDone() {
    for (int i = 0; i < 2000 && done.isEmpty(); ++i) Spin(5);
    Spin(50);
  }
};

}  // namespace

TEST_F(TransportFixture, ChunksInOrderWithStatusAndOnePostedCompletion) {
  server.SetAnswer("first-second-third", {6, 13}, 201);
  ASSERT_EQ(transport.Post(), TPostResult::prStarted);
  EXPECT_TRUE(done.isEmpty());  // never inside Post
  EXPECT_TRUE(transport.IsBusy());
  WaitDone();
  EXPECT_EQ(received, "first-second-third");
  EXPECT_FALSE(statuses.isEmpty());
  for (int status : statuses) EXPECT_EQ(status, 201);
  EXPECT_EQ(done, QList<int>{0});
  EXPECT_FALSE(transport.IsBusy());
  EXPECT_EQ(server.RequestBody(), "d=39672C3368");
}

TEST_F(TransportFixture, HeadCarriesTheTypeAndAgentAsSet) {
  transport.SetContentType("text/plain");
  transport.SetUserAgent("Deployer/1.2.3.4");
  server.SetAnswer("ok");
  ASSERT_EQ(transport.Post(), TPostResult::prStarted);
  WaitDone();
  const QByteArray head = server.RequestHead().toLower();
  EXPECT_TRUE(head.contains("\r\ncontent-type: text/plain\r\n")) << head.constData();
  EXPECT_TRUE(head.contains("\r\nuser-agent: deployer/1.2.3.4\r\n")) << head.constData();
}

TEST_F(TransportFixture, AbortInsideDataStopsDeliveryAndPostsOneCompletion) {
  server.SetAnswer("aaaa-bbbb-cccc", {5, 10}, 200, true, 40);
  transport.OnData = [this](const char* data, qint64 length) {
    received.append(data, length);
    transport.Abort();
    EXPECT_TRUE(done.isEmpty());  // not inside Abort either
  };
  ASSERT_EQ(transport.Post(), TPostResult::prStarted);
  WaitDone();
  Spin(150);
  EXPECT_EQ(received, "aaaa-");
  EXPECT_EQ(done, QList<int>{10053});
  EXPECT_FALSE(transport.IsBusy());
}

TEST_F(TransportFixture, Refusals) {
  server.SetAnswer("x");
  ASSERT_EQ(transport.Post(), TPostResult::prStarted);
  body.seek(0);
  EXPECT_EQ(transport.Post(), TPostResult::prBusy);
  WaitDone();
  EXPECT_EQ(done, QList<int>{0});

  QBuffer empty;
  empty.open(QIODevice::ReadOnly);
  transport.SetBodySource(&empty);
  EXPECT_EQ(transport.Post(), TPostResult::prNothingToPost);
  transport.SetBodySource(nullptr);
  EXPECT_EQ(transport.Post(), TPostResult::prNothingToPost);

  body.seek(0);
  transport.SetBodySource(&body);
  transport.SetMaxBodySize(4);
  EXPECT_EQ(transport.Post(), TPostResult::prOverflow);
  transport.SetMaxBodySize(1 << 20);

  for (const char* url : {"", "ftp://127.0.0.1/x", "not a url", "http:///no-host"}) {
    transport.SetURL(url);
    body.seek(0);
    EXPECT_EQ(transport.Post(), TPostResult::prRefused) << url;
  }
  Spin(30);
  EXPECT_EQ(done, QList<int>{0});  // a refused request has no completion notice
}
