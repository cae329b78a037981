#include "CvPUSTransport.h"

#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// Whether a request's answer is being handed over: a property of the request, so that a request
// started from inside the delivery of an earlier one gets its own answer delivered.
constexpr char kDelivering[] = "cvDelivering";

bool Delivering(const QNetworkReply* reply) { return reply && reply->property(kDelivering).toBool(); }

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
  // The owner may free us from inside a delivery, that is from inside a signal of the reply,
  // which touches itself after the signal returns: the manager and its replies go later.
  if (fManager) fManager.release()->deleteLater();
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
  const QByteArray body = fBodySource->read(length);
  if (body.size() != length) return TPostResult::prRefused;

  QNetworkRequest request(url);
  // Raw headers: the bytes go out as they were set, and an unset type is simply left out.
  if (!fContentType.isEmpty()) request.setRawHeader("Content-Type", fContentType);
  request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
  if (!fUserAgent.isEmpty()) request.setRawHeader("User-Agent", fUserAgent);
  // The protocol is plain HTTP/1.1; an answer that redirects is an answer like any other.
  request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);

  // Made at the first request: a wizard that never asks spends nothing on it at its start.
  if (!fManager) fManager = std::make_unique<QNetworkAccessManager>();
  QNetworkReply* reply = fManager->post(request, body);
  fReply = reply;
  fStatus = 0;
  fFinishPending = false;
  fBusy = true;
  // Qt's HTTP thread only limits its own reading from the socket when the size is set again
  // once the request is under way there; set before that, it merely limits what is handed
  // over, and the rest piles up in memory while the disk is slower than the network. The
  // queued call runs just after Qt has started the request (queued before it) and before the
  // first answer bytes can arrive; the header notice repeats it in case it came too early.
  reply->setReadBufferSize(kReadBufferSize);
  QMetaObject::invokeMethod(
      reply, [reply] { reply->setReadBufferSize(kReadBufferSize); }, Qt::QueuedConnection);
  connect(reply, &QNetworkReply::metaDataChanged, reply,
          [reply] { reply->setReadBufferSize(kReadBufferSize); });
  // A server that stops sending (or never starts) would hold the request forever.
  connect(reply, &QNetworkReply::uploadProgress, this, &TPUSTransport::RestartIdleTimer);
  connect(reply, &QNetworkReply::metaDataChanged, this, &TPUSTransport::RestartIdleTimer);
  RestartIdleTimer();
  connect(reply, &QNetworkReply::readyRead, this, &TPUSTransport::ReplyReadyRead);
  connect(reply, &QNetworkReply::finished, this, &TPUSTransport::ReplyFinished);
  return TPostResult::prStarted;
}

void TPUSTransport::Abort() {
  if (!fReply) return;  // nothing running, or its completion notice is already on its way
  DropReply();
  PostDone(teConnAborted);
}

int TPUSTransport::StatusCode() const {
  if (fReply) {
    const QVariant status = fReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
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
  if (Delivering(fReply)) {
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
  if (!fReply || Delivering(fReply)) return;
  const QPointer<TPUSTransport> self(this);
  const QPointer<QNetworkReply> reply = fReply;
  reply->setProperty(kDelivering, true);
  while (reply && reply == fReply && reply->bytesAvailable() > 0) {
    const qint64 n = reply->read(fChunk.data(), fChunk.size());
    if (n <= 0) break;
    fStatus = StatusCode();
    if (OnData) OnData(fChunk.constData(), n);
    if (!self) return;
  }
  if (reply) reply->setProperty(kDelivering, false);
  RestartIdleTimer();
  if (fFinishPending && reply && reply == fReply) {
    fFinishPending = false;
    const bool gotStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const int error = MapNetworkError(reply->error(), gotStatus, reply->errorString());
    DropReply();
    PostDone(error);
  }
}

void TPUSTransport::DropReply() {
  QNetworkReply* reply = fReply;
  fReply = nullptr;
  fFinishPending = false;
  fIdleTimer->stop();
  if (!reply) return;
  fStatus = 0;
  reply->disconnect(this);
  if (reply->isRunning()) reply->abort();
  reply->deleteLater();
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
