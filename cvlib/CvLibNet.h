#pragma once

// The network code: Qt Network and everything that speaks through it (the account service's
// client, the downloads, HTTP requests for the program). It is a module the support library
// carries inside itself and loads at the first request, so that a program starts without
// loading Qt Network and pays for it only once it goes on the network. docs/network-module.md.

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <memory>

namespace cvlib {

// What the module needs that the library does not: Qt Network, and what that needs in turn.
inline constexpr char kNetLibraryName[] = "libQt6Network.so.6";

// One HTTP request under way, its answer handed over as it arrives. The notices come on the
// thread that started it, from its event loop; a notice's handler may free the exchange.
// Freeing it aborts a request still running, and no notice follows.
class HttpExchange {
 public:
  virtual ~HttpExchange();

  std::function<void()> onHeaders;    // the status and the header fields arrived
  std::function<void()> onSent;       // part of the body went out
  std::function<void()> onReadyRead;  // answer bytes wait to be read
  std::function<void()> onFinished;   // the request is over (Error tells how); once

  virtual qint64 BytesAvailable() const = 0;
  virtual qint64 Read(char* data, qint64 size) = 0;
  // The HTTP status; invalid until it arrived.
  virtual QVariant Status() const = 0;
  // Qt's network error number (QNetworkReply::NetworkError) and its text.
  virtual int Error() const = 0;
  virtual QString ErrorText() const = 0;

  // The owner's mark: its answer is being handed over (kept with the request, so that a request
  // started during the delivery of another one has its own).
  bool delivering = false;
};

struct HttpPost {
  QUrl url;
  QByteArray contentType;  // left out when empty
  QByteArray userAgent;    // left out when empty
  QByteArray body;
  // What the network layer may hold of the answer before it is read; 0: no limit.
  qint64 readBufferSize = 0;
};

// Requests over plain HTTP/1.1 or TLS; a redirect is an answer like any other, never followed.
class HttpClient {
 public:
  virtual ~HttpClient();
  virtual std::shared_ptr<HttpExchange> Post(const HttpPost& post) = 0;
};

// A client, the network module loaded first if it is not yet; nullptr when it cannot be
// (ceChkNoNetwork).
std::unique_ptr<HttpClient> NewHttpClient();

}  // namespace cvlib
