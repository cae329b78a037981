#include "PusTestSupport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace pustest {

TScriptedServer::TScriptedServer() {
  listen(QHostAddress::LocalHost, 0);
  connect(this, &QTcpServer::newConnection, this, &TScriptedServer::Accept);
}

QString TScriptedServer::URL() const {
  return QStringLiteral("http://127.0.0.1:%1/pus/pus.php").arg(serverPort());
}

void TScriptedServer::SetAnswer(const QByteArray& body, const QList<int>& splits, int status,
                                bool withLength, int pauseMs) {
  QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
  if (withLength) head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
  head += "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
  QList<TPiece> pieces{{head, 0}};
  int from = 0;
  for (const int at : splits) {
    pieces.append({body.mid(from, at - from), pieces.size() == 1 ? 0 : pauseMs});
    from = at;
  }
  pieces.append({body.mid(from), pieces.size() == 1 ? 0 : pauseMs});
  fScript = pieces;
}

void TScriptedServer::Accept() {
  while (QTcpSocket* socket = nextPendingConnection()) {
    ++fConnections;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto buffer = std::make_shared<QByteArray>();
    auto started = std::make_shared<bool>(false);
    const QList<TPiece> script = fScript;
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer, started, script] {
      buffer->append(socket->readAll());
      const qsizetype end = buffer->indexOf("\r\n\r\n");
      if (end < 0 || *started) return;
      const QByteArray head = buffer->left(end);
      qsizetype length = 0;
      for (const QByteArray& line : head.split('\n')) {
        if (line.toLower().startsWith("content-length:"))
          length = line.mid(15).trimmed().toLongLong();
      }
      if (buffer->size() < end + 4 + length) return;
      *started = true;
      fHead = head;
      fBody = buffer->mid(end + 4, length);
      // Send the pieces one after the other, each after its pause.
      auto index = std::make_shared<int>(0);
      auto step = std::make_shared<std::function<void()>>();
      const QPointer<QTcpSocket> guard(socket);
      *step = [guard, script, index, step] {
        if (!guard) return;
        if (*index >= script.size()) {
          guard->disconnectFromHost();
          return;
        }
        const TPiece& piece = script[(*index)++];
        guard->write(piece.bytes);
        guard->flush();
        const int next = *index < script.size() ? script[*index].pauseMs : 0;
        QTimer::singleShot(next, guard, [step] { (*step)(); });
      };
      (*step)();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  }
}

QByteArray Unscramble(const QByteArray& body) {
  if (!body.startsWith("d=")) return "<no d=>";
  const QByteArray hex = QByteArray::fromPercentEncoding(body.mid(2));
  QByteArray form;
  for (qsizetype i = 0; i + 1 < hex.size(); i += 2)
    form.append(static_cast<char>(hex.mid(i, 2).toInt(nullptr, 16) ^ 0x5A));
  return form;
}

TRecorder::TRecorder(TPUSClient& client) : fClient(client) {
  client.OnCommandDone = [this](TPUSClient* sender, TPUSCommand command, int result) {
    EXPECT_EQ(sender, &fClient);
    events << QStringLiteral("done %1 %2").arg(PUSCommandName(command)).arg(result);
    ++doneCount;
    lastResult = result;
  };
  client.OnRequestVersion = [this](TPUSClient*, int index, int count, const TPUSVersionInfo& info) {
    events << QStringLiteral("version %1 %2 %3 %4")
                  .arg(index)
                  .arg(count)
                  .arg(G(info.Guid), VersionToStr(info.ProductVersion));
    versions << info;
    if (onVersion) onVersion();
  };
  client.OnRequestHistory = [this](TPUSClient*, const QString& text) {
    events << QStringLiteral("history %1").arg(text.size());
    history = text;
  };
  client.OnRequestUpdateFile = [this](TPUSClient*, int progress, int size, int index, int count,
                                      const TGUID& guid, const QString& path) {
    events << QStringLiteral("file %1 %2 %3 %4 %5 %6")
                  .arg(progress)
                  .arg(size)
                  .arg(index)
                  .arg(count)
                  .arg(G(guid), path);
  };
}

bool TRecorder::Wait(int timeoutMs, int settleMs) {
  QElapsedTimer timer;
  timer.start();
  while (doneCount == 0 || fClient.IsBusy()) {
    if (timer.elapsed() > timeoutMs) return false;
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  QEventLoop loop;
  QTimer::singleShot(settleMs, &loop, &QEventLoop::quit);
  loop.exec();
  return true;
}

QString G(const TGUID& guid) { return GUIDToString(guid); }

TGUID MakeGuid(int n) {
  TGUID g;
  g.D1 = 0xA0B1C2D3u + static_cast<std::uint32_t>(n);
  g.D2 = 0x1234;
  g.D3 = 0xABCD;
  for (int i = 0; i < 8; ++i) g.D4[i] = static_cast<std::uint8_t>(0xE0 + i + n);
  return g;
}

}  // namespace pustest
