#include "CvPUSTransport.h"

#include "CvLibNet.h"

#include <QIODevice>
#include <QNetworkReply>  // its error numbers only: the requests go through the support library
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {

// What Qt may hold of an answer before we have taken it: keeps memory flat while the disk is
// slower than the network.
constexpr qint64 kReadBufferSize = 1024 * 1024;
// Largest chunk handed to OnData at once.
constexpr qsizetype kChunkSize = 64 * 1024;

}  // namespace

TPUSTransport::TPUSTransport(QObject* parent)
    : QObject(parent), fIdleTimer(std::make_unique<QTimer>()) {
  fChunk.resize(kChunkSize);
  fIdleTimer->setSingleShot(true);
  connect(fIdleTimer.get(), &QTimer::timeout, this, &TPUSTransport::Stalled);
}

TPUSTransport::~TPUSTransport() {
  DropReply();
}

TPostResult TPUSTransport::Post() {
  if (fBusy) return TPostResult::prBusy;
  const QUrl url(fURL, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.host().isEmpty() ||
      (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
    return TPostResult::prRefused;
  if (!fBodySource || !fBodySource->isOpen() || !fBodySource->isReadable())
    return TPostResult::prNothingToPost;
  const qint64 length = fBodySource->size() - fBodySource->pos();
  if (length <= 0) return TPostResult::prNothingToPost;
  if (length > fMaxBodySize) return TPostResult::prOverflow;
  // Made at the first request: a wizard that never asks spends nothing on it at its start.
  if (!fClient) fClient = cvlib::NewHttpClient();
  if (!fClient) return TPostResult::prNoNetwork;
  const QByteArray body = fBodySource->read(length);
  if (body.size() != length) return TPostResult::prRefused;

  fStatus = 0;
  fFinishPending = false;
  fBusy = true;
  // Plain HTTP/1.1, where an answer that redirects is an answer like any other (HttpClient).
  cvlib::HttpPost post;
  post.url = url;
  post.contentType = fContentType;
  post.userAgent = fUserAgent;
  post.body = body;
  // Keeps memory flat while the disk is slower than the network.
  post.readBufferSize = kReadBufferSize;
  fReply = fClient->Post(post);
  // A server that stops sending (or never starts) would hold the request forever.
  fReply->onSent = [this] { RestartIdleTimer(); };
  fReply->onHeaders = [this] { RestartIdleTimer(); };
  RestartIdleTimer();
  fReply->onReadyRead = [this] { ReplyReadyRead(); };
  fReply->onFinished = [this] { ReplyFinished(); };
  return TPostResult::prStarted;
}

void TPUSTransport::Abort() {
  if (!fReply) return;  // nothing running, or its completion notice is already on its way
  DropReply();
  PostDone(teConnAborted);
}

int TPUSTransport::StatusCode() const {
  if (fReply) {
    const QVariant status = fReply->Status();
    if (status.isValid()) return status.toInt();
  }
  return fStatus;
}

void TPUSTransport::ReplyReadyRead() {
  RestartIdleTimer();
  Deliver();
}

void TPUSTransport::RestartIdleTimer() {
  if (fReply && fIdleTimeoutMs > 0)
    fIdleTimer->start(fIdleTimeoutMs);
  else
    fIdleTimer->stop();
}

void TPUSTransport::Stalled() {
  if (!fReply) return;
  // The owner is inside a delivery (a modal box, say): the wait is ours, not the server's.
  if (fReply->delivering) {
    RestartIdleTimer();
    return;
  }
  DropReply();
  PostDone(teTimedOut);
}

void TPUSTransport::ReplyFinished() {
  fFinishPending = true;
  Deliver();
}

void TPUSTransport::Deliver() {
  // A handler that runs a nested event loop (a modal box) must not get a second, interleaved
  // delivery of the same answer: the outer loop below picks up whatever arrives meanwhile.
  if (!fReply || fReply->delivering) return;
  const QPointer<TPUSTransport> self(this);
  const std::shared_ptr<cvlib::HttpExchange> reply = fReply;
  reply->delivering = true;
  while (reply == fReply && reply->BytesAvailable() > 0) {
    const qint64 n = reply->Read(fChunk.data(), fChunk.size());
    if (n <= 0) break;
    fStatus = StatusCode();
    if (OnData) OnData(fChunk.constData(), n);
    if (!self) return;
  }
  reply->delivering = false;
  RestartIdleTimer();
  if (fFinishPending && reply == fReply) {
    fFinishPending = false;
    const bool gotStatus = reply->Status().isValid();
    const int error = MapNetworkError(reply->Error(), gotStatus, reply->ErrorText());
    DropReply();
    PostDone(error);
  }
}

void TPUSTransport::DropReply() {
  const std::shared_ptr<cvlib::HttpExchange> reply = std::exchange(fReply, nullptr);
  fFinishPending = false;
  fIdleTimer->stop();
  if (!reply) return;
  fStatus = 0;
  // Nothing more of it reaches us; it is aborted once nobody holds it.
  reply->onHeaders = nullptr;
  reply->onSent = nullptr;
  reply->onReadyRead = nullptr;
  reply->onFinished = nullptr;
}

void TPUSTransport::PostDone(int error) {
  QMetaObject::invokeMethod(
      this,
      [this, error] {
        fBusy = false;
        if (OnDone) OnDone(error);
      },
      Qt::QueuedConnection);
}

int TPUSTransport::MapNetworkError(int qtError, bool gotStatus, const QString& detail) {
  switch (static_cast<QNetworkReply::NetworkError>(qtError)) {
    case QNetworkReply::NoError: return teNone;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError: return teConnRefused;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError: return teConnReset;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError: return teHostNotFound;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError: return teTimedOut;
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::SslHandshakeFailedError: return teConnAborted;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::UnknownProxyError: return teNetDown;
    case QNetworkReply::UnknownNetworkError:
      // Qt's socket texts for EHOSTUNREACH; anything else of this kind is the network's.
      return detail.contains(QLatin1String("Host unreachable"), Qt::CaseInsensitive) ||
                     detail.contains(QLatin1String("No route to host"), Qt::CaseInsensitive)
                 ? teHostUnreachable
                 : teNetUnreachable;
    default: break;
  }
  // Content and server errors only say that the status is 400 or more: the status itself is
  // the answer and the client reads it.
  if ((qtError >= 201 && qtError <= 299) || (qtError >= 401 && qtError <= 499) ||
      qtError == QNetworkReply::ProxyAuthenticationRequiredError)
    return gotStatus ? teNone : teProtocol;
  if (qtError >= 301 && qtError <= 399) return teProtocol;
  if (qtError == QNetworkReply::TooManyRedirectsError ||
      qtError == QNetworkReply::InsecureRedirectError)
    return teProtocol;
  return teOther;
}
