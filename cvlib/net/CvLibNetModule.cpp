// The network module's one exported name, and the HTTP requests it makes for the program
// (CvLibNet.h). Built apart from the support library and carried inside it.
#include "CvLibNetClients.h"
#include "CvLibNetEntries.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>

namespace cvlib::detail {

namespace {

// A handler may free the exchange, and with it the function it runs from.
void Notify(const std::function<void()>& handler) {
  if (!handler) return;
  const std::function<void()> call = handler;
  call();
}

class QtExchange final : public HttpExchange {
 public:
  QtExchange(QNetworkReply* reply, qint64 readBufferSize) : fReply(reply), fContext(std::make_unique<QObject>()) {
    if (readBufferSize > 0) {
      // Qt's HTTP thread only limits its own reading from the socket when the size is set again
      // once the request is under way there; set before that, it merely limits what is handed
      // over, and the rest piles up in memory while the reader is slower than the network. The
      // queued call runs just after Qt has started the request (queued before it) and before
      // the first answer bytes can arrive; the header notice repeats it in case it came too early.
      reply->setReadBufferSize(readBufferSize);
      QMetaObject::invokeMethod(
          reply, [reply, readBufferSize] { reply->setReadBufferSize(readBufferSize); }, Qt::QueuedConnection);
      QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                       [reply, readBufferSize] { reply->setReadBufferSize(readBufferSize); });
    }
    QObject* context = fContext.get();
    QObject::connect(reply, &QNetworkReply::metaDataChanged, context, [this] { Notify(onHeaders); });
    QObject::connect(reply, &QNetworkReply::uploadProgress, context, [this] { Notify(onSent); });
    QObject::connect(reply, &QNetworkReply::readyRead, context, [this] { Notify(onReadyRead); });
    QObject::connect(reply, &QNetworkReply::finished, context, [this] { Notify(onFinished); });
  }

  ~QtExchange() override {
    // Possibly from inside one of the reply's notices: the reply and the connections' context
    // go later, never in the middle of the notice.
    if (fReply) QObject::disconnect(fReply, nullptr, fContext.get(), nullptr);
    fContext.release()->deleteLater();
    if (fReply) {
      if (fReply->isRunning()) fReply->abort();
      fReply->deleteLater();
    }
  }

  qint64 BytesAvailable() const override { return fReply ? fReply->bytesAvailable() : 0; }
  qint64 Read(char* data, qint64 size) override { return fReply ? fReply->read(data, size) : -1; }
  QVariant Status() const override {
    return fReply ? fReply->attribute(QNetworkRequest::HttpStatusCodeAttribute) : QVariant();
  }
  int Error() const override { return fReply ? fReply->error() : QNetworkReply::OperationCanceledError; }
  QString ErrorText() const override { return fReply ? fReply->errorString() : QString(); }

 private:
  QPointer<QNetworkReply> fReply;  // a child of the client's manager
  std::unique_ptr<QObject> fContext;
};

class QtHttpClient final : public HttpClient {
 public:
  ~QtHttpClient() override {
    // The owner may free the client from inside a notice of one of its replies, which touches
    // itself after the notice returns: the manager and its replies go later.
    if (fManager) fManager.release()->deleteLater();
  }

  std::shared_ptr<HttpExchange> Post(const HttpPost& post) override {
    QNetworkRequest request(post.url);
    // Raw headers: the bytes go out as they were set, and an unset one is simply left out.
    if (!post.contentType.isEmpty()) request.setRawHeader("Content-Type", post.contentType);
    request.setHeader(QNetworkRequest::ContentLengthHeader, post.body.size());
    if (!post.userAgent.isEmpty()) request.setRawHeader("User-Agent", post.userAgent);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!fManager) fManager = std::make_unique<QNetworkAccessManager>();
    return std::make_shared<QtExchange>(fManager->post(request, post.body), post.readBufferSize);
  }

 private:
  std::unique_ptr<QNetworkAccessManager> fManager;
};

std::unique_ptr<NetService> NewService(const QString& productCode, uint32_t version) {
  return std::make_unique<ServiceClient>(productCode, version);
}

std::unique_ptr<NetDownloads> NewDownloads(NetService& service, NetDownloads::Progress progress,
                                           NetDownloads::Done done) {
  return std::make_unique<Downloader>(static_cast<ServiceClient&>(service), std::move(progress), std::move(done));
}

std::unique_ptr<HttpClient> NewHttpClient() { return std::make_unique<QtHttpClient>(); }

constexpr NetEntries kEntries{NewService, NewDownloads, NewHttpClient};

}  // namespace

}  // namespace cvlib::detail

extern "C" __attribute__((visibility("default"))) const cvlib::detail::NetEntries* CvLibNetEntries() {
  return &cvlib::detail::kEntries;
}
