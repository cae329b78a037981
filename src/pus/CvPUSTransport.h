#pragma once

// The HTTP transport of the update-server client: one POST at a time on the event loop of the
// owning thread, the answer body handed over in chunks as it arrives, and exactly one
// completion notice per request, always posted, never delivered inside Post or Abort.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;
class QTimer;

namespace cvlib {
class HttpClient;
class HttpExchange;
}  // namespace cvlib

// Completion codes: 0 no error; 10000 and above are socket error numbers; others our own.
enum : int {
  teNone = 0,
  teProtocol = 1,            // the answer broke the HTTP protocol
  teOther = 2,               // anything else the network layer reports
  teHostNotFound = 11001,
  teTryAgain = 11002,
  teNoAddress = 11004,
  teHostUnreachable = 10065,
  teConnRefused = 10061,
  teTimedOut = 10060,
  teConnReset = 10054,
  teConnAborted = 10053,     // also: aborted by us, TLS handshake failed
  teNetUnreachable = 10051,
  teNetDown = 10050,
};

enum class TPostResult : std::uint8_t {
  prStarted,
  prBusy,            // a request is still running or its completion notice not yet delivered
  prNothingToPost,   // no body source, or an empty one
  prOverflow,        // the body is larger than MaxBodySize
  prRefused,         // no usable URL (empty, not http or https)
  prNoNetwork,       // the network part of the program cannot be loaded
};

class TPUSTransport final : public QObject {
  Q_OBJECT

 public:
  using TDataEvent = std::function<void(const char* data, qint64 length)>;
  using TDoneEvent = std::function<void(int error)>;

  explicit TPUSTransport(QObject* parent = nullptr);
  ~TPUSTransport() override;

  QString URL() const { return fURL; }
  void SetURL(const QString& url) { fURL = url; }
  QByteArray UserAgent() const { return fUserAgent; }
  void SetUserAgent(const QByteArray& agent) { fUserAgent = agent; }
  QByteArray ContentType() const { return fContentType; }
  void SetContentType(const QByteArray& type) { fContentType = type; }
  // The stream the body is read from; not owned, must outlive the request. Read from its
  // current position to its end.
  void SetBodySource(QIODevice* source) { fBodySource = source; }
  qint64 MaxBodySize() const { return fMaxBodySize; }
  void SetMaxBodySize(qint64 size) { fMaxBodySize = size; }
  // A request that sees nothing of its answer for this long ends with teTimedOut; 0: never.
  int IdleTimeout() const { return fIdleTimeoutMs; }
  void SetIdleTimeout(int ms) { fIdleTimeoutMs = ms; }

  // Starts the POST and returns at once.
  TPostResult Post();
  // Ends the current request; its completion notice (teConnAborted) follows later.
  void Abort();
  // True from Post until the completion notice has been delivered.
  bool IsBusy() const { return fBusy; }
  // HTTP status of the current answer; 0 before the headers arrived.
  int StatusCode() const;

  // Body chunks in order, after the headers. A handler may call Abort: delivery stops.
  TDataEvent OnData;
  // Exactly once per started request.
  TDoneEvent OnDone;

  // The socket error number (or own code) for a network error of Qt. Qt reports an unreachable
  // host and an unreachable network alike; its detail text tells them apart.
  static int MapNetworkError(int qtError, bool gotStatus, const QString& detail = QString());

 private:
  void ReplyReadyRead();
  void ReplyFinished();
  void Deliver();
  void PostDone(int error);
  void DropReply();
  void Stalled();
  void RestartIdleTimer();

  std::unique_ptr<cvlib::HttpClient> fClient;
  std::shared_ptr<cvlib::HttpExchange> fReply;
  QString fURL;
  QByteArray fUserAgent;
  QByteArray fContentType;
  QIODevice* fBodySource = nullptr;
  qint64 fMaxBodySize = 1 << 20;
  int fIdleTimeoutMs = 60000;
  std::unique_ptr<QTimer> fIdleTimer;
  bool fBusy = false;
  bool fFinishPending = false;
  int fStatus = 0;
  QByteArray fChunk;
};
