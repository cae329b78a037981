#pragma once

// A scripted HTTP responder on 127.0.0.1 that sends exact bytes split where the test says, with
// pauses between the pieces, and a recorder of the client's events.

#include "CvPUSClient.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTcpServer>

#include <functional>

#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace pustest {

struct TPiece {
  QByteArray bytes;
  int pauseMs = 0;  // before this piece is sent
};

class TScriptedServer final : public QTcpServer {
 public:
  TScriptedServer();
  // The answer: the pieces in order, then the connection closes.
  void SetScript(QList<TPiece> pieces) { fScript = std::move(pieces); }
  // A body split into pieces at the given offsets, after a header with the status and, when
  // withLength, a Content-Length.
  void SetAnswer(const QByteArray& body, const QList<int>& splits = {}, int status = 200,
                 bool withLength = true, int pauseMs = 15);
  QString URL() const;
  // The last request: its head (request line and headers) and its body.
  QByteArray RequestHead() const { return fHead; }
  QByteArray RequestBody() const { return fBody; }
  int Connections() const { return fConnections; }

 private:
  void Accept();
  QList<TPiece> fScript;
  QByteArray fHead;
  QByteArray fBody;
  int fConnections = 0;
};

// The form a request body carries, unscrambled ("d=" and hex pairs, key 0x5A).
QByteArray Unscramble(const QByteArray& body);

// Records every event of a client as one line of text, and runs the event loop until the
// command is done and a little longer, so that a second done would show.
class TRecorder {
 public:
  explicit TRecorder(TPUSClient& client);
  // Runs until OnCommandDone, then settleMs more; false on a timeout.
  bool Wait(int timeoutMs = 10000, int settleMs = 60);
  QStringList events;
  QList<TPUSVersionInfo> versions;
  QString history;
  int doneCount = 0;
  int lastResult = 0;
  std::function<void()> onVersion;  // runs inside OnRequestVersion

 private:
  TPUSClient& fClient;
};

QString G(const TGUID& guid);
TGUID MakeGuid(int n);

}  // namespace pustest
