#include "CvLibChartCheck.h"
#include "CvLibChartCheckTesting.h"

#include "CvLibBackupIndex.h"
#include "CvLibErrors.h"
#include "CvLibItemJson.h"
#include "CvLibProcess.h"
#include "CvLibRegistry.h"
#include "CvLibStrings.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {

namespace {

constexpr char kDefaultServiceURL[] = "https://account.corvane.com/";
const QString kAccountKey = QStringLiteral("Account");
const QString kEmailValue = QStringLiteral("Email");
const QString kTokenValue = QStringLiteral("Token");

constexpr qint64 kMaxAnswerSize = 32 * 1024 * 1024;  // a JSON answer larger than this is refused
constexpr qint64 kWriteChunk = 8 * 1024 * 1024;      // downloads reach the disk in chunks this big
constexpr qint64 kReplyBuffer = 4 * 1024 * 1024;     // what Qt may hold of a download unread
constexpr qint64 kDirectAlign = 4096;                // block alignment of direct I/O

// A service that stops answering fails the request (or download) after this long without any
// data, so the wizard is never left waiting for good.
int& RequestTimeoutMs() {
  static int ms = 60000;
  return ms;
}

std::function<void()>& DownloadWriteHook() {
  static std::function<void()> hook;
  return hook;
}

bool IsHex64(const QString& text) {
  if (text.size() != 64) return false;
  for (QChar c : text)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) return false;
  return true;
}

// Lenient readers for the service's answers: a missing field takes its default, a field of
// the wrong type makes the answer malformed.
struct AnswerReader {
  bool ok = true;
  void Int(const QJsonObject& o, const char* key, int& out) {
    out = 0;
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) return;
    const double d = v.toDouble();
    // The range first: converting a double beyond int64 is undefined.
    if (!v.isDouble() || d < std::numeric_limits<int32_t>::min() || d > std::numeric_limits<uint32_t>::max() ||
        d != static_cast<double>(static_cast<int64_t>(d))) {
      ok = false;
      return;
    }
    out = static_cast<int>(static_cast<int64_t>(d));
  }
  void Size(const QJsonObject& o, const char* key, int64_t& out) {
    out = 0;
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) return;
    const double d = v.toDouble();
    if (!v.isDouble() || d < 0 || d > 9007199254740992.0 || d != static_cast<double>(static_cast<int64_t>(d))) {
      ok = false;
      return;
    }
    out = static_cast<int64_t>(d);
  }
  // As text: "1.2.3.4".
  void Version(const QJsonObject& o, const char* key, uint32_t& out) {
    QString text;
    Str(o, key, text);
    if (!ParsePackedVersion(text, out)) ok = false;
  }
  void Str(const QJsonObject& o, const char* key, QString& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
      out.clear();
      return;
    }
    if (!v.isString()) ok = false;
    out = v.toString();
  }
  void Bool(const QJsonObject& o, const char* key, bool& out) {
    out = false;
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) return;
    if (!v.isBool()) ok = false;
    out = v.toBool();
  }
};

// A session or token goes into a header line and the settings store as it came: printable
// ASCII only (no line breaks that would add headers of the service's choosing), and not absurdly long.
bool IsCredentialText(const QString& text) {
  if (text.isEmpty() || text.size() > 4096) return false;
  return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7F; });
}

constexpr char kPartSuffix[] = ".cvpart";

// Hidden, and with a suffix no listed file may have, so that no file of a list can take it.
QString PartName(const QString& name) {
  const QString plain = u'.' + name + QLatin1String(kPartSuffix);
  if (QFile::encodeName(plain).size() <= NAME_MAX) return plain;
  // A name near the limit: its hash keeps the part's name within it.
  const QByteArray hash = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(40);
  return u'.' + QString::fromLatin1(hash) + QLatin1String(kPartSuffix);
}

// A finished file gets the mode any file the user makes gets: the part was private meanwhile.
mode_t NewFileMode() {
  mode_t mask = 022;
  QFile status(QStringLiteral("/proc/self/status"));
  if (status.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : status.readAll().split('\n')) {
      if (!line.startsWith("Umask:")) continue;
      bool ok = false;
      const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
      if (ok) mask = static_cast<mode_t>(value);
    }
  }
  return 0666 & ~mask;
}

// Opens each of `names` below the open folder `fd` without following a link; takes fd.
// Creates missing ones when `create`. The last folder's descriptor, or -1 with error set.
int OpenBelow(int fd, const QStringList& names, bool create, int& error) {
  for (const QString& name : names) {
    const QByteArray n = QFile::encodeName(name);
    if (create && ::mkdirat(fd, n.constData(), 0777) != 0 && errno != EEXIST) {
      error = ceDirCreate;
      ::close(fd);
      return -1;
    }
    const int next = ::openat(fd, n.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      struct stat st {};
      const bool link = ::fstatat(fd, n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      error = link ? ceChkLinkedFolder : errno == ENOENT ? ceFileNotFound : ceFileAccess;
      ::close(fd);
      return -1;
    }
    ::close(fd);
    fd = next;
  }
  error = ceOK;
  return fd;
}

int WriteError() { return errno == ENOSPC || errno == EDQUOT ? ceDiskFull : ceFileWrite; }

bool WriteAt(int fd, const char* data, qint64 size, qint64 pos) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, static_cast<size_t>(size), static_cast<off_t>(pos));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= n;
    pos += n;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Names, versions, folders

bool IsSafeFileName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  // A name the file system cannot hold, or one that would not come back as the same text.
  if (!name.isValidUtf16() || QFile::encodeName(name).size() > NAME_MAX) return false;
  for (QChar c : name)
    if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control) return false;
  return true;
}

bool IsSafeRelativeFolder(const QString& folder) {
  if (folder.isEmpty()) return true;
  QString f = folder;
  if (f.endsWith(u'/')) f.chop(1);
  if (f.isEmpty()) return false;  // "/" alone is the root
  for (const QString& part : f.split(u'/'))
    if (!IsSafeFileName(part)) return false;
  return true;
}

bool ParsePackedVersion(const QString& text, uint32_t& version) {
  version = 0;
  if (text.isEmpty()) return true;
  const QStringList parts = text.split(u'.');
  if (parts.size() > 4) return false;
  for (int i = 0; i < 4; ++i) {
    unsigned n = 0;
    if (i < parts.size()) {
      bool ok = false;
      n = parts[i].toUInt(&ok);
      if (!ok || n > 255) return false;
    }
    version = version << 8 | n;
  }
  return true;
}

QString BackupSourceFolder(const InstallItem& item, bool chartSet) {
  if (chartSet)
    return QStringLiteral("QMR2/%1/%2/").arg(_FileNameReplaceInvalidChars(item.ProductCode()),
                                             _FileNameReplaceInvalidChars(item.ModuleCode()));
  if (item.FileCount() == 0) return {};
  return QStringLiteral("Setups/") + item.FileName(0);
}

QString DownloadPartPath(const QString& folder, const QString& name) {
  return QDir(folder).filePath(PartName(name));
}

bool IsDownloadPartName(const QString& name) {
  return name.endsWith(QLatin1String(kPartSuffix), Qt::CaseInsensitive);
}

int DirCreateBelow(const QString& base, const QString& relative) {
  if (!IsSafeRelativeFolder(relative)) return ceChkUnsafeName;
  const int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ceFileNotFound : ceFileAccess;
  int error = ceOK;
  const int last = OpenBelow(fd, relative.split(u'/', Qt::SkipEmptyParts), true, error);
  if (last >= 0) ::close(last);
  return error;
}

QString PackageServiceURL() {
  QString url = qEnvironmentVariable("CORVANE_SERVICE_URL");
  if (url.isEmpty())
    url = GetAppReg().ReadString(rrSettings, QStringLiteral("Servers"), QStringLiteral("PackageService"));
  if (url.isEmpty()) url = QString::fromLatin1(kDefaultServiceURL);
  if (!url.endsWith(u'/')) url += u'/';
  return url;
}

// ---------------------------------------------------------------------------------------
// Items and lists

const TItemFile& InstallItem::File(int i) const {
  static const TItemFile none;
  if (i < 0 || i >= FileCount()) return none;
  return fData.files[static_cast<size_t>(i)];
}

bool InstallItem::ContainsFile(const QString& bareName) const {
  return std::any_of(fData.files.begin(), fData.files.end(),
                     [&](const TItemFile& f) { return f.name == bareName; });
}

void SelectionList::Add(std::unique_ptr<SelectionEntry> entry) {
  if (entry) fEntries.push_back(std::move(entry));
}

void SelectionList::Delete(int index) {
  if (index >= 0 && index < Count()) fEntries.erase(fEntries.begin() + index);
}

SelectionEntry* SelectionList::Get(int index) const {
  return index >= 0 && index < Count() ? fEntries[static_cast<size_t>(index)].get() : nullptr;
}

// ---------------------------------------------------------------------------------------
// The engine

class ChartCheckImpl final {
 public:
  ChartCheckImpl(TNavEventSource& events, const QString& productCode, uint32_t version)
      : fEvents(events), fEventsAlive(events.Lifetime()), fProductCode(productCode), fVersion(version) {}

  ~ChartCheckImpl() {
    AbortRunning();
    if (EventsAlive()) fEvents.Withdraw(this);
  }

  // Also false while the source's last delivery unwinds after a callback deleted it.
  bool EventsAlive() const {
    const std::shared_ptr<const bool> alive = fEventsAlive.lock();
    return alive && *alive;
  }

  void Post(const TNavEvent& event) {
    if (EventsAlive()) fEvents.Post(event, this);
  }

  TNavEventSource& fEvents;
  std::weak_ptr<const bool> fEventsAlive;  // the environment may be deleted first
  QString fProductCode;
  uint32_t fVersion;
  QString fServiceURL;  // empty: PackageServiceURL()

  std::vector<std::shared_ptr<InstallItem>> fItems;
  std::vector<std::shared_ptr<InstallItem>> fBackupItems;
  QString fBackupPath;  // IndexPath of the index read last

  // The index's path with its folder's links resolved: the same backup reached through a
  // linked folder (a mount point, a link on the desktop) is still the same backup.
  static QString IndexPath(const QString& path) {
    const QFileInfo info(path);
    const QString folder = info.absoluteDir().canonicalPath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + u'/' + info.fileName();
  }
  std::vector<std::unique_ptr<ProductRecord>> fProducts;

  int fLastError = 0;
  bool fBusy = false;

  struct PendingSignIn {
    bool pending = false;
    int error = 0;  // found before anything was sent; reported by RequestProducts
    QString email, password, token;
    bool remember = false;
    bool once = false;  // the stored sign-in is left alone
  } fSignIn;
  QByteArray fSession;

  // The running request. fContext owns the connections: deleting it first means no
  // handler runs while the reply is aborted.
  std::unique_ptr<QNetworkAccessManager> fNetwork;
  std::unique_ptr<QObject> fContext;
  QNetworkReply* fReply = nullptr;

  // Does a download's disk work on a thread of its own, one job at a time: it writes one buffer
  // while the next is received and hashed, hashes the part an interrupted attempt left, and
  // syncs the file at the end, so that a slow disk never holds up the event thread.
  // The data goes to disk with direct I/O where the file system allows it: it then passes
  // through memory once, for the hash, instead of also being copied into the page cache.
  class Writer {
   public:
    // onIdle runs on the writer's thread each time a job is done.
    Writer(int fd, int directFd, std::function<void()> onIdle)
        : fFd(fd), fDirectFd(directFd), fOnIdle(std::move(onIdle)), fThread([this] { Run(); }) {}
    ~Writer() {
      {
        std::lock_guard lock(fMutex);
        fQuit = true;
      }
      fWake.notify_all();
      fThread.join();
      if (fDirectFd >= 0) ::close(fDirectFd);
    }
    // Hands over a buffer to be written at pos, after the job before it is done; the buffer
    // must stay untouched until the writer is idle again. 0 or the error of an earlier job.
    int SubmitWrite(const char* data, qint64 size, qint64 pos) {
      return Submit([this, data, size, pos] {
        if (const auto& hook = DownloadWriteHook()) hook();
        return Write(data, size, pos);
      });
    }
    int SubmitSync() {
      return Submit([this] { return ::fsync(fFd) == 0 || errno == EINVAL ? ceOK : WriteError(); });
    }
    // Any other job on the file; it returns 0 or an error code.
    int Submit(std::function<int()> job) {
      std::unique_lock lock(fMutex);
      fWake.wait(lock, [this] { return !fJob; });
      if (fError) return fError;
      fJob = std::move(job);
      lock.unlock();
      fWake.notify_all();
      return ceOK;
    }
    int Wait() {
      std::unique_lock lock(fMutex);
      fWake.wait(lock, [this] { return !fJob; });
      return fError;
    }
    bool Busy() {
      std::lock_guard lock(fMutex);
      return static_cast<bool>(fJob);
    }

   private:
    void Run() {
      std::unique_lock lock(fMutex);
      for (;;) {
        fWake.wait(lock, [this] { return fJob || fQuit; });
        if (!fJob) return;
        lock.unlock();
        const int error = fJob();
        lock.lock();
        if (error && !fError) fError = error;
        fJob = nullptr;
        fWake.notify_all();
        if (fOnIdle) {
          lock.unlock();
          fOnIdle();
          lock.lock();
        }
      }
    }
    // Whole blocks from an aligned position directly, the rest through the page cache.
    int Write(const char* data, qint64 size, qint64 pos) {
      qint64 direct = 0;
      if (fDirectFd >= 0 && pos % kDirectAlign == 0) {
        direct = size / kDirectAlign * kDirectAlign;
        if (direct > 0 && !WriteAt(fDirectFd, data, direct, pos)) {
          if (errno != EINVAL) return WriteError();
          // The file system took the flag but not the write: no direct I/O for this file.
          ::close(fDirectFd);
          fDirectFd = -1;
          direct = 0;
        }
      }
      return WriteAt(fFd, data + direct, size - direct, pos + direct) ? ceOK : WriteError();
    }

    const int fFd;
    int fDirectFd;
    const std::function<void()> fOnIdle;
    std::mutex fMutex;
    std::condition_variable fWake;
    std::function<int()> fJob;  // the job under way; empty when idle
    bool fQuit = false;
    int fError = 0;
    std::thread fThread;  // last: starts when everything above is ready
  };

  struct Download {
    InstallItem* item = nullptr;
    TItemFile file;
    QString target, part;
    QByteArray targetName, partName;  // in dirFd
    int dirFd = -1;  // the target folder, opened without links below the chosen folder
    int fd = -1;     // the part file
    std::unique_ptr<Writer> writer;
    EVP_MD_CTX* hash = nullptr;
    qint64 offset = 0;   // bytes received: written, being written and in the buffer
    qint64 written = 0;  // bytes handed to the writer
    qint64 requestStart = 0;  // offset the running request started from
    char* buffers[2] = {nullptr, nullptr};  // kWriteChunk bytes each, aligned for direct I/O
    int current = 0;                        // the buffer being filled
    qint64 fill = 0;
    int fallbacks = 0;  // restarts from 0 after a refused range
    int error = 0;      // found while receiving; the reply is aborted
    unsigned serial = 0;        // tells the writer's notices for this download from stale ones
    bool hashingPart = false;    // the writer hashes what an earlier attempt left
    bool syncing = false;        // verified; the writer is syncing the part before it is renamed
    bool replyFinished = false;  // the whole answer is in; the rest waits only for the writer
    QTimer* idle = nullptr;      // of the running request; owned by its context
    QUrl url;                    // where the file is fetched from, after redirects
    int redirects = 0;
    char* Buffer() const { return buffers[current]; }
    ~Download() {
      writer.reset();  // finishes its write before the file closes
      if (fd >= 0) ::close(fd);
      if (dirFd >= 0) ::close(dirFd);
      if (hash) EVP_MD_CTX_free(hash);
      std::free(buffers[0]);
      std::free(buffers[1]);
    }
  };
  // Receives the writer's notices on this thread; outlives every download.
  QObject fWakeTarget;
  unsigned fDownloadSerial = 0;
  std::unique_ptr<Download> fDownload;

  QString BaseURL() const {
    if (fServiceURL.isEmpty()) return PackageServiceURL();
    return fServiceURL.endsWith(u'/') ? fServiceURL : fServiceURL + u'/';
  }

  QNetworkAccessManager& Network() {
    if (!fNetwork) fNetwork = std::make_unique<QNetworkAccessManager>();
    return *fNetwork;
  }

  void Finish(int error) {
    fLastError = error;
    fBusy = false;
    Post({necOperationDone, 0});
  }

  void AbortRunning() {
    if (fDownload) fDownload->idle = nullptr;
    fContext.reset();
    if (fReply) {
      fReply->disconnect();
      fReply->abort();
      delete fReply;
      fReply = nullptr;
    }
    fDownload.reset();
  }

  // Lets go of the running reply and its connections. Called from inside their handlers,
  // so both are deleted later, never in the middle of a handler.
  void DropReply() {
    if (fDownload && fDownload->idle) {
      fDownload->idle->stop();
      fDownload->idle = nullptr;
    }
    if (fReply) {
      fReply->disconnect();
      fReply->deleteLater();
      fReply = nullptr;
    }
    if (fContext) fContext.release()->deleteLater();
  }

  QNetworkRequest MakeRequest(const QUrl& url) const {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Deployer/%1.%2.%3.%4 (%5)")
                          .arg(fVersion >> 24)
                          .arg(fVersion >> 16 & 0xFF)
                          .arg(fVersion >> 8 & 0xFF)
                          .arg(fVersion & 0xFF)
                          .arg(fProductCode));
    // The session is the service's own: a file may come from anywhere the list says.
    if (!fSession.isEmpty() && SameOrigin(url, QUrl(BaseURL())))
      request.setRawHeader("Authorization", "Bearer " + fSession);
    return request;
  }

  static bool SameOrigin(const QUrl& a, const QUrl& b) {
    auto port = [](const QUrl& u) { return u.port(u.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80); };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
  }

  // One JSON request; done gets 0 and the answer object, or an error.
  using JsonDone = std::function<void(int error, const QJsonObject& answer)>;

  void SendJson(const QString& path, const QJsonObject* body, JsonDone done) {
    const QUrl url = QUrl(BaseURL()).resolved(QUrl(path));
    QNetworkRequest request = MakeRequest(url);
    request.setTransferTimeout(RequestTimeoutMs());
    // The session, password or token must not follow a redirect to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    if (body) {
      request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
      fReply = Network().post(request, QJsonDocument(*body).toJson(QJsonDocument::Compact));
    } else {
      fReply = Network().get(request);
    }
    fContext = std::make_unique<QObject>();
    QNetworkReply* reply = fReply;
    QObject::connect(reply, &QNetworkReply::readyRead, fContext.get(), [reply] {
      if (reply->bytesAvailable() > kMaxAnswerSize) reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, fContext.get(), [this, reply, done] {
      const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
      const QByteArray data = reply->bytesAvailable() <= kMaxAnswerSize ? reply->readAll() : QByteArray();
      const QNetworkReply::NetworkError netError = reply->error();
      DropReply();
      int error = 0;
      QJsonObject answer;
      if (status == 0) {
        error = ceChkNetwork;
      } else {
        QJsonParseError parseError{};
        const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
        if (status == 200) {
          if (netError != QNetworkReply::NoError) error = ceChkNetwork;
          else if (parseError.error != QJsonParseError::NoError || !doc.isObject()) error = ceChkBadAnswer;
          else answer = doc.object();
        } else {
          // The service's own error number when it sent one, else ours.
          const QJsonValue n = doc.isObject() ? doc.object().value(QLatin1String("error")) : QJsonValue();
          const int code = n.isDouble() ? n.toInt() : 0;
          error = code > 0 && code < 100 ? code : ceChkHttp;
        }
      }
      done(error, answer);
    });
  }

  // ---- sign-in and product list

  void StartProducts() {
    SendJson(QStringLiteral("api/v1/products"), nullptr, [this](int error, const QJsonObject& answer) {
      if (!error) error = TakeProducts(answer);
      Finish(error);
    });
  }

  int TakeProducts(const QJsonObject& answer) {
    const QJsonValue list = answer.value(QLatin1String("products"));
    if (!list.isArray()) return ceChkBadAnswer;
    std::vector<std::unique_ptr<ProductRecord>> products;
    for (const QJsonValue& v : list.toArray()) {
      if (!v.isObject()) return ceChkBadAnswer;
      const QJsonObject o = v.toObject();
      AnswerReader r;
      TProductData p;
      detail::ProductFields(r, o, p);
      if (!r.ok) return ceChkBadAnswer;
      if (!detail::ProductNamesSafe(p)) return ceChkUnsafeName;
      // A record is found by number and mask: a second one could never be told apart.
      if (std::any_of(products.begin(), products.end(), [&p](const auto& q) {
            return q->ProductNumber() == p.productNumber && q->ModuleMask() == p.moduleMask;
          }))
        return ceChkBadAnswer;
      products.push_back(std::make_unique<ProductRecord>(p));
    }
    fProducts = std::move(products);
    return ceOK;
  }

  void StoreRemembered(const QString& email, const QString& token, bool remember) {
    TAppReg& reg = GetAppReg();
    // The stored address and token belong together: an older token does not stay with a new
    // answer, and an answer without one leaves nothing to remember.
    if (remember && !token.isEmpty()) {
      reg.WriteString(rrSettings, kAccountKey, kEmailValue, email);
      reg.WriteString(rrSettings, kAccountKey, kTokenValue, token);
    } else {
      reg.DeleteValue(rrSettings, kAccountKey, kEmailValue);
      reg.DeleteValue(rrSettings, kAccountKey, kTokenValue);
    }
  }

  int RequestProducts() {
    if (fBusy) return ceChkBusy;
    fBusy = true;
    if (!fSignIn.pending) {
      if (fSession.isEmpty()) {
        Finish(ceChkNotSignedIn);
        return ceChkNotSignedIn;
      }
      StartProducts();
      return ceOK;
    }
    const PendingSignIn signIn = fSignIn;
    fSignIn = PendingSignIn();  // the password is held no longer than needed
    if (signIn.error) {
      Finish(signIn.error);
      return signIn.error;
    }
    fSession.clear();
    QJsonObject body;
    body["email"] = signIn.email;
    if (!signIn.token.isEmpty()) body["token"] = signIn.token;
    else body["password"] = signIn.password;
    body["remember"] = signIn.remember;
    // The answer's handler keeps no password.
    const QString sentEmail = signIn.email;
    const bool remember = signIn.remember;
    const bool once = signIn.once;
    const bool byToken = !signIn.token.isEmpty();
    SendJson(QStringLiteral("api/v1/signin"), &body, [this, sentEmail, remember, once, byToken](int error,
                                                                                             const QJsonObject& answer) {
      if (error) {
        // The remembered token refused is dead: trying it again at every start cannot help, and
        // an address without it would show as remembered with nothing to sign in with.
        if (error == 4 && byToken) {
          GetAppReg().DeleteValue(rrSettings, kAccountKey, kTokenValue);
          GetAppReg().DeleteValue(rrSettings, kAccountKey, kEmailValue);
        }
        Finish(error);
        return;
      }
      const QJsonValue session = answer.value(QLatin1String("session"));
      const QJsonValue token = answer.value(QLatin1String("token"));
      if (!session.isString() || !IsCredentialText(session.toString()) ||
          !(token.isUndefined() || (token.isString() && IsCredentialText(token.toString())))) {
        Finish(ceChkBadAnswer);
        return;
      }
      fSession = session.toString().toLatin1();
      const QString email = answer.value(QLatin1String("email")).toString(sentEmail);
      if (!once) StoreRemembered(email.isEmpty() ? sentEmail : email, token.toString(), remember);
      StartProducts();
    });
    return ceOK;
  }

  int PrepareSignIn(PendingSignIn signIn) {
    if (signIn.error == 0 && signIn.email.isEmpty()) signIn.error = ceChkBadArgument;
    signIn.pending = true;
    fSignIn = signIn;
    return signIn.error;
  }

  // ---- file list

  ProductRecord* FindProduct(int number, int mask) const {
    for (const auto& p : fProducts)
      if (p->ProductNumber() == number && p->ModuleMask() == mask) return p.get();
    return nullptr;
  }

  bool IsChartSet(const InstallItem& item) const {
    if (const ProductRecord* p = FindProduct(item.ProductNumber(), item.ModuleMask()))
      return p->Kind() == pkChartSet;
    if (item.Data().hasProduct) return item.Data().product.kind == pkChartSet;
    return F12(item.ProductNumber());
  }

  // A file comes over HTTP(S) only: a "file:" or other URL would have local files copied.
  // Under an https service, plain http is refused: anyone on the way could swap the file or
  // learn what is installed.
  bool IsWebURL(const QString& url) const {
    if (url.isEmpty()) return false;
    return IsWebURL(QUrl(BaseURL()).resolved(QUrl(url)), QUrl(BaseURL()));
  }
  static bool IsWebURL(const QUrl& resolved, const QUrl& from) {
    const QString scheme = resolved.scheme().toLower();
    const bool secure = from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    return resolved.isValid() && !resolved.host().isEmpty() &&
           (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && !secure));
  }

  // asked: the product numbers of the selection; companions share their program's number.
  int TakeItems(const QJsonObject& answer, const std::vector<int>& asked) {
    const QJsonValue list = answer.value(QLatin1String("items"));
    if (!list.isArray()) return ceChkBadAnswer;
    std::vector<std::shared_ptr<InstallItem>> items;
    for (const QJsonValue& v : list.toArray()) {
      if (!v.isObject()) return ceChkBadAnswer;
      const QJsonObject o = v.toObject();
      AnswerReader r;
      TItemData d;
      detail::ItemFields(r, o, d);
      const QJsonValue files = o.value(QLatin1String("files"));
      if (!(files.isArray() || files.isUndefined())) return ceChkBadAnswer;
      for (const QJsonValue& fv : files.toArray()) {
        if (!fv.isObject()) return ceChkBadAnswer;
        const QJsonObject fo = fv.toObject();
        TItemFile f;
        detail::FileFields(r, fo, f);
        f.sha256 = f.sha256.toLower();
        r.Str(fo, "url", f.url);
        if (!r.ok) return ceChkBadAnswer;
        if (!detail::FileStaysInside(f)) return ceChkUnsafeName;
        if (!IsHex64(f.sha256) || !IsWebURL(f.url)) return ceChkBadAnswer;
        d.files.push_back(f);
      }
      if (!r.ok) return ceChkBadAnswer;
      if (!detail::ItemNamesSafe(d)) return ceChkUnsafeName;
      // Nothing the user did not pick gets installed, and nothing twice.
      if (std::find(asked.begin(), asked.end(), d.productNumber) == asked.end() ||
          std::any_of(items.begin(), items.end(), [&d](const auto& i) {
            return i->ProductNumber() == d.productNumber && i->ModuleMask() == d.moduleMask;
          }))
        return ceChkBadAnswer;
      if (const ProductRecord* p = FindProduct(d.productNumber, d.moduleMask)) {
        d.hasProduct = true;
        d.product = p->Data();
      }
      auto item = std::make_shared<InstallItem>(std::move(d));
      const bool chartSet = IsChartSet(*item);
      // A chart set is kept under its codes (backup folder, installed-products store): without
      // them a backup would get a folder its own index refuses.
      if (chartSet && item->Status() == 0 && (item->ProductCode().isEmpty() || item->ModuleCode().isEmpty()))
        return ceChkBadAnswer;
      item->MutableData().sourceFolder = BackupSourceFolder(*item, chartSet);
      items.push_back(std::move(item));
    }
    RefuseClashes(items);
    fItems = std::move(items);
    return ceOK;
  }

  // Where a file lands below the chosen folder, as a FAT medium tells names apart.
  QString LandingKey(const InstallItem& item, const TItemFile& file) const {
    return (LayoutFolders(item, file).join(u'/') + u'/' + file.name).toCaseFolded();
  }

  // Two files that land on one path would leave one of them lost and two index entries
  // pointing at the other. The earlier item keeps its files (a backup's items not replaced
  // by the list are earlier still); a later one that would take one of them is refused whole.
  void RefuseClashes(std::vector<std::shared_ptr<InstallItem>>& items) const {
    std::set<QString> taken;
    auto claim = [&](const InstallItem& item, bool force) {
      std::set<QString> own;
      for (const TItemFile& f : item.Data().files) {
        const QString key = LandingKey(item, f);
        if (!force && (own.count(key) || taken.count(key))) return false;
        own.insert(key);
      }
      taken.insert(own.begin(), own.end());
      return true;
    };
    for (const auto& backup : fBackupItems) {
      const bool replaced = std::any_of(items.begin(), items.end(), [&](const auto& i) {
        return i->ProductNumber() == backup->ProductNumber() && i->ModuleMask() == backup->ModuleMask();
      });
      if (!replaced && backup->Status() == itemProcessable) claim(*backup, true);
    }
    for (const auto& item : items)
      if (item->Status() == itemProcessable && !claim(*item, false)) item->MutableData().status = itemNameClash;
  }

  int RequestFileList(const SelectionList& selection) {
    if (fBusy) return ceChkBusy;
    fBusy = true;
    if (fSession.isEmpty()) {
      Finish(ceChkNotSignedIn);
      return ceChkNotSignedIn;
    }
    QJsonArray entries;
    std::vector<int> asked;
    for (int i = 0; i < selection.Count(); ++i) {
      const SelectionEntry* e = selection.Get(i);
      asked.push_back(e->ProductNumber());
      QJsonObject o;
      o["product"] = e->ProductNumber();
      o["mask"] = e->ModuleMask();
      o["kind"] = e->Kind();
      entries.append(o);
    }
    QJsonObject body;
    body["selection"] = entries;
    SendJson(QStringLiteral("api/v1/files"), &body, [this, asked](int error, const QJsonObject& answer) {
      if (!error) error = TakeItems(answer, asked);
      // A failed list leaves no items of an earlier one behind to be taken for this one.
      if (error) fItems.clear();
      Finish(error);
    });
    return ceOK;
  }

  // ---- downloads

  bool OwnsItem(const InstallItem* item) const {
    auto has = [item](const std::vector<std::shared_ptr<InstallItem>>& list) {
      return std::any_of(list.begin(), list.end(), [item](const auto& p) { return p.get() == item; });
    };
    return item && (has(fItems) || has(fBackupItems));
  }

  void FailDownload(int error, bool keepPart) {
    DropReply();
    if (fDownload) {
      if (!keepPart) ::unlinkat(fDownload->dirFd, fDownload->partName.constData(), 0);
      fDownload.reset();
    }
    Finish(error);
  }

  // Hands the filled buffer to the writer and goes on with the other one.
  int FlushBuffer() {
    Download& d = *fDownload;
    if (d.fill == 0) return ceOK;
    if (const int error = d.writer->SubmitWrite(d.Buffer(), d.fill, d.written)) return error;
    d.written += d.fill;
    d.fill = 0;
    d.current ^= 1;
    return ceOK;
  }

  // Everything received is on disk: 0 or the error of a write.
  int FlushAll() {
    const int error = FlushBuffer();
    const int waited = fDownload->writer ? fDownload->writer->Wait() : ceOK;
    return error ? error : waited;
  }

  // The folders of the layout a file of this item lands in, below the folder the user chose:
  // QMR2/<product>/<module>/ for a chart set, Setups/ for software, then Addons<n>/ for an add-on.
  QStringList LayoutFolders(const InstallItem& item, const TItemFile& file) const {
    QStringList names = IsChartSet(item) ? QStringList{QStringLiteral("QMR2"), _FileNameReplaceInvalidChars(item.ProductCode()),
                                                       _FileNameReplaceInvalidChars(item.ModuleCode())}
                                         : QStringList{QStringLiteral("Setups")};
    if (file.addOn) names << QStringLiteral("Addons%1").arg(item.ProductNumber());
    return names;
  }

  // Opens the target folder. The trailing folders that are the layout's own are opened without
  // following a link: one planted there (a backup someone else wrote) would have the files
  // written outside the chosen folder. The chosen folder itself may be a link.
  static int OpenTargetFolder(const QString& folder, const QStringList& layout, int& dirFd) {
    const QStringList parts = QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).split(u'/', Qt::SkipEmptyParts);
    qsizetype own = std::min(parts.size(), layout.size());
    while (own > 0 && parts.mid(parts.size() - own) != layout.mid(layout.size() - own)) --own;
    const QString chosen = u'/' + parts.mid(0, parts.size() - own).join(u'/');
    const int fd = ::open(QFile::encodeName(chosen).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ceFileNotFound : ceFileAccess;
    int error = ceOK;
    dirFd = OpenBelow(fd, parts.mid(parts.size() - own), false, error);
    return error;
  }

  // The part file in the target folder, never through a link, and resumed only when it is the
  // user's own and nobody else could have written into it; anything else there is replaced.
  static int OpenPart(Download& d, struct stat& st) {
    const char* name = d.partName.constData();
    d.fd = ::openat(d.dirFd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (d.fd >= 0 && (::fstat(d.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
                      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_nlink != 1)) {
      ::close(d.fd);
      d.fd = -1;
      if (::unlinkat(d.dirFd, name, 0) != 0) return ceFileCreate;
    } else if (d.fd < 0) {
      if (errno == ELOOP) {
        if (::unlinkat(d.dirFd, name, 0) != 0) return ceFileCreate;
      } else if (errno != ENOENT) {
        return ceFileCreate;
      }
    }
    if (d.fd < 0) {
      d.fd = ::openat(d.dirFd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (d.fd < 0 || ::fstat(d.fd, &st) != 0) return ceFileCreate;
    }
    return ceOK;
  }

  int StartDownload(InstallItem* item, int fileIndex, const QString& folder) {
    if (fBusy) return ceChkBusy;
    fBusy = true;
    auto fail = [this](int error) {
      fDownload.reset();
      Finish(error);
      return error;
    };
    if (!OwnsItem(item) || fileIndex < 0 || fileIndex >= item->FileCount()) return fail(ceChkBadArgument);
    const TItemFile& file = item->Data().files[static_cast<size_t>(fileIndex)];
    if (!IsSafeFileName(file.name) || IsDownloadPartName(file.name)) return fail(ceChkUnsafeName);
    if (item->Status() == itemNameClash) return fail(ceChkNameClash);
    if (file.url.isEmpty() || !IsHex64(file.sha256)) return fail(ceChkBadArgument);
    if (!IsWebURL(file.url)) return fail(ceChkBadAnswer);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) return fail(ceFileNotFound);

    fDownload = std::make_unique<Download>();
    Download& d = *fDownload;
    d.item = item;
    d.file = file;
    d.target = QDir(folder).filePath(file.name);
    d.part = DownloadPartPath(folder, file.name);
    d.targetName = QFile::encodeName(file.name);
    d.partName = QFile::encodeName(PartName(file.name));
    if (const int error = OpenTargetFolder(folder, LayoutFolders(*item, file), d.dirFd)) return fail(error);
    d.hash = EVP_MD_CTX_new();
    for (char*& buffer : d.buffers) buffer = static_cast<char*>(std::aligned_alloc(kDirectAlign, kWriteChunk));
    if (!d.hash || !d.buffers[0] || !d.buffers[1] || !EVP_DigestInit_ex(d.hash, EVP_sha256(), nullptr))
      return fail(ceChkChecksum);
    struct stat st {};
    if (const int error = OpenPart(d, st)) return fail(error);
    // A part left by an interrupted attempt is resumed from its last whole block (so that
    // direct I/O can go on); its bytes go through the hash first.
    qint64 keep = st.st_size;
    if (keep > file.size) keep = 0;
    else if (keep < file.size) keep = keep / kDirectAlign * kDirectAlign;
    if (keep != st.st_size && ::ftruncate(d.fd, keep) != 0) return fail(ceFileWrite);
    d.serial = ++fDownloadSerial;
    d.writer = NewWriter(OpenDirect(d.dirFd, d.partName, st));
    if (keep == 0) {
      SendRange();
      return ceOK;
    }
    // Hashing a large part takes a while: the writer does it, and WriterIdle goes on.
    d.hashingPart = true;
    Download* download = &d;
    d.writer->Submit([download, keep] {
      Download& part = *download;
      while (part.offset < keep) {
        const ssize_t n = ::pread(part.fd, part.Buffer(), static_cast<size_t>(std::min(keep - part.offset, kWriteChunk)),
                                  static_cast<off_t>(part.offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ceFileRead;
        EVP_DigestUpdate(part.hash, part.Buffer(), static_cast<size_t>(n));
        part.offset += n;
      }
      return ceOK;
    });
    return ceOK;
  }

  // The part of an earlier attempt is hashed: fetch the rest, or check a complete one.
  void PartHashed() {
    Download& d = *fDownload;
    d.hashingPart = false;
    if (const int error = d.writer->Wait()) {
      FailDownload(error, true);
      return;
    }
    d.written = d.offset;
    if (d.offset == d.file.size) CompleteDownload();
    else SendRange();
  }

  void SendRange() {
    Download& d = *fDownload;
    if (d.url.isEmpty()) d.url = QUrl(BaseURL()).resolved(QUrl(d.file.url));
    QNetworkRequest request = MakeRequest(d.url);
    // Redirects are followed here, so that the session goes to the service's origin alone.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (d.offset > 0) request.setRawHeader("Range", "bytes=" + QByteArray::number(d.offset) + "-");
    d.requestStart = d.offset;
    fReply = Network().get(request);
    fContext = std::make_unique<QObject>();
    QNetworkReply* reply = fReply;
    // Qt's network thread only stops reading the socket at the limit when the limit is set
    // again once the request is under way there; set only before, unread data would pile up in
    // memory while the disk is slower than the network.
    reply->setReadBufferSize(kReplyBuffer);
    QMetaObject::invokeMethod(
        fContext.get(), [reply] { reply->setReadBufferSize(kReplyBuffer); }, Qt::QueuedConnection);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, fContext.get(),
                     [reply] { reply->setReadBufferSize(kReplyBuffer); });
    // A server that sends part of the file and then goes quiet ends the download as broken off.
    // Only the network counts: while the writer holds the data back the socket rests, and that
    // is no silence of the server's.
    d.idle = new QTimer(fContext.get());
    d.idle->setInterval(RequestTimeoutMs());
    QObject::connect(d.idle, &QTimer::timeout, fContext.get(), [this, reply] {
      if (!fDownload || fReply != reply) return;
      Download& current = *fDownload;
      if (current.replyFinished || (current.writer && current.writer->Busy())) {
        current.idle->start();
        return;
      }
      reply->abort();
    });
    d.idle->start();
    auto statusChecked = std::make_shared<bool>(false);
    QObject::connect(reply, &QNetworkReply::readyRead, fContext.get(), [this, reply, statusChecked] {
      fDownload->idle->start();
      if (!*statusChecked) {
        *statusChecked = true;
        if (!AcceptStatus(reply)) return;
      }
      Receive(reply);
    });
    QObject::connect(reply, &QNetworkReply::finished, fContext.get(), [this, reply, statusChecked] {
      if (!*statusChecked && fDownload->error == 0) {
        *statusChecked = true;
        if (!AcceptStatus(reply)) {
          // Refused (aborting a finished reply sends nothing more), unless it restarted.
          if (fReply == reply) ReplyFinished(reply);
          return;
        }
      }
      fDownload->replyFinished = true;
      if (fDownload->error) {
        ReplyFinished(reply);
        return;
      }
      Receive(reply);
      if (fDownload && fReply == reply) FinishWhenWritten();
    });
  }

  // Starts the file again from its first byte.
  bool Restart() {
    Download& d = *fDownload;
    if (d.fallbacks++ > 0 || d.writer->Wait() != 0 || ::ftruncate(d.fd, 0) != 0 ||
        !EVP_DigestInit_ex(d.hash, EVP_sha256(), nullptr))
      return false;
    d.offset = d.written = d.fill = d.requestStart = 0;
    return true;
  }

  // Checks the answer's status before the first byte is taken. False when the reply was
  // given up (a restart or a failure is then under way).
  bool AcceptStatus(QNetworkReply* reply) {
    Download& d = *fDownload;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (d.offset > 0 && status == 206) {
      const QByteArray range = reply->rawHeader("Content-Range");
      if (range.startsWith("bytes " + QByteArray::number(d.offset) + "-")) return true;
      d.error = ceChkBadAnswer;
    } else if (status == 200 && d.offset == 0) {
      return true;
    } else if (status == 200 || (d.offset > 0 && status == 416)) {
      // The service ignored or refused the range: the whole file again.
      if (Restart()) {
        if (status == 200) return true;
        DropReply();
        SendRange();
        return false;
      }
      d.error = ceChkHttp;
    } else if (status == 0) {
      return true;  // a network failure: finished tells it
    } else if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
      // Onwards, but never from https to plain http, and not for ever.
      const QUrl next = d.url.resolved(QUrl::fromEncoded(reply->rawHeader("Location")));
      if (d.redirects++ < 10 && IsWebURL(next, d.url)) {
        d.url = next;
        DropReply();
        SendRange();
        return false;
      }
      d.error = ceChkHttp;
    } else {
      d.error = ceChkHttp;
    }
    reply->abort();
    return false;
  }

  void Receive(QNetworkReply* reply) {
    Download& d = *fDownload;
    if (d.error) return;
    const qint64 before = d.offset;
    for (;;) {
      if (d.fill == kWriteChunk) {
        // Both buffers are taken: the rest waits in the reply until the writer is done, so
        // that a slow disk never holds up this thread.
        if (d.writer->Busy()) break;
        if (const int error = FlushBuffer()) {
          d.error = error;
          reply->abort();
          return;
        }
      }
      const qint64 n = reply->read(d.Buffer() + d.fill, kWriteChunk - d.fill);
      if (n <= 0) break;
      EVP_DigestUpdate(d.hash, d.Buffer() + d.fill, static_cast<size_t>(n));
      d.fill += n;
      d.offset += n;
      if (d.offset > d.file.size) {
        d.error = ceChkChecksum;
        reply->abort();
        return;
      }
    }
    if (d.offset != before) {
      if (d.idle) d.idle->start();
      Post({necDownloadProgress, static_cast<double>(d.offset)});
    }
  }

  // A second descriptor of the part file for direct I/O, or -1; only when it is the same file
  // as `opened` (the name may have been swapped meanwhile).
  static int OpenDirect(int dirFd, const QByteArray& part, const struct stat& opened) {
    const int fd = ::openat(dirFd, part.constData(), O_WRONLY | O_DIRECT | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_dev != opened.st_dev || st.st_ino != opened.st_ino)) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // A writer for the current download's part file; its notices come back to WriterIdle.
  std::unique_ptr<Writer> NewWriter(int directFd) {
    Download& d = *fDownload;
    return std::make_unique<Writer>(d.fd, directFd, [this, serial = d.serial] {
      QMetaObject::invokeMethod(&fWakeTarget, [this, serial] { WriterIdle(serial); }, Qt::QueuedConnection);
    });
  }

  // The writer finished a buffer: take what waits in the reply, or end a finished answer.
  void WriterIdle(unsigned serial) {
    if (!fDownload || fDownload->serial != serial) return;
    if (fDownload->hashingPart) {
      PartHashed();
      return;
    }
    if (fDownload->syncing) {
      RenameSynced();
      return;
    }
    if (fDownload->error || !fReply) return;
    QNetworkReply* reply = fReply;
    Receive(reply);
    if (fDownload && fReply == reply && fDownload->replyFinished) FinishWhenWritten();
  }

  // Ends a finished answer once all of it is in the buffers and the writer has taken the last
  // one; until then the writer's notices come back here.
  void FinishWhenWritten() {
    Download& d = *fDownload;
    if (!d.error) {
      if (fReply->bytesAvailable() > 0 || d.writer->Busy()) return;
      if (d.fill > 0) {
        d.error = FlushBuffer();
        if (!d.error) return;
      }
    }
    ReplyFinished(fReply);
  }

  void ReplyFinished(QNetworkReply* reply) {
    Download& d = *fDownload;
    QNetworkReply::NetworkError netError = reply->error();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Qt may report a connection the service closed mid-body as a clean end: an answer shorter
    // than its own Content-Length was broken off, whatever Qt says.
    bool hasLength = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&hasLength);
    if (netError == QNetworkReply::NoError && hasLength && d.offset - d.requestStart < length)
      netError = QNetworkReply::RemoteHostClosedError;
    DropReply();
    const int flushed = FlushAll();
    if (!d.error) d.error = flushed;
    if (d.error) {
      // Damaged or unwritable data is not worth resuming.
      FailDownload(d.error, false);
      return;
    }
    if (netError == QNetworkReply::NoError && d.offset < d.file.size) {
      // The whole answer arrived and is shorter than announced: resuming cannot mend that.
      FailDownload(ceChkChecksum, false);
      return;
    }
    if (netError != QNetworkReply::NoError) {
      // Broken off: what arrived stays in the part file for the next attempt.
      const bool started = d.offset > 0;
      const int error = status != 0 && status != 200 && status != 206 ? ceChkHttp
                        : started ? ceChkIncomplete
                                  : ceChkNetwork;
      FailDownload(error, true);
      return;
    }
    CompleteDownload();
  }

  void CompleteDownload() {
    DropReply();
    Download& d = *fDownload;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(d.hash, digest, &length);
    const QString sha = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
    struct stat st {};
    if (d.offset != d.file.size || ::fstat(d.fd, &st) != 0 || st.st_size != d.file.size || sha != d.file.sha256) {
      FailDownload(ceChkChecksum, false);
      return;
    }
    if (::fchmod(d.fd, NewFileMode()) != 0) {
      FailDownload(ceFileWrite, false);
      return;
    }
    // Its modification time is what later tells whether the file is current.
    const struct timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(d.file.time), 0}};
    if (::futimens(d.fd, times) != 0) {
      FailDownload(ceFileWrite, false);
      return;
    }
    // The file must be on disk before it takes its name: after a crash a file under the real
    // name with the right time but torn data would pass as current for good. The writer syncs
    // it, as a slow disk may take long.
    d.syncing = true;
    if (const int error = d.writer->SubmitSync()) FailDownload(error, false);
  }

  void RenameSynced() {
    Download& d = *fDownload;
    const int synced = d.writer->Wait();
    d.writer.reset();
    const int closed = ::close(d.fd);
    d.fd = -1;
    if (synced || closed != 0) {
      FailDownload(synced ? synced : ceFileWrite, false);
      return;
    }
    if (::renameat(d.dirFd, d.partName.constData(), d.dirFd, d.targetName.constData()) != 0) {
      FailDownload(ceFileWrite, false);
      return;
    }
    fDownload.reset();
    Finish(ceOK);
  }

  int CancelDownload() {
    if (!fBusy) return ceOK;
    // The writer finishes its write; what is on disk stays in the part for the next attempt.
    AbortRunning();
    Finish(ceChkCancelled);
    return ceOK;
  }

  // ---- backup index

  int ReadBackupIndex(const QString& path) {
    std::vector<TItemData> data;
    const int error = ReadBackupIndexFile(path, data);
    if (error) {
      fBackupItems.clear();
      fBackupPath.clear();
      return error;
    }
    std::vector<std::shared_ptr<InstallItem>> items;
    for (TItemData& d : data) items.push_back(std::make_shared<InstallItem>(std::move(d)));
    fItems = items;
    fBackupItems = std::move(items);
    fBackupPath = IndexPath(path);
    return ceOK;
  }

  int WriteBackupIndex(const QString& path) {
    std::vector<TItemData> out;
    auto contains = [&out](int number, int mask) {
      return std::any_of(out.begin(), out.end(), [&](const TItemData& d) {
        return d.productNumber == number && d.moduleMask == mask;
      });
    };
    for (const auto& item : fItems) {
      if (!item->Selected() || !item->Succeeded() || item->Status() != 0) continue;
      if (contains(item->ProductNumber(), item->ModuleMask())) continue;
      TItemData d = item->Data();
      if (const ProductRecord* p = FindProduct(d.productNumber, d.moduleMask)) {
        d.hasProduct = true;
        d.product = p->Data();
      }
      if (d.sourceFolder.isEmpty()) d.sourceFolder = BackupSourceFolder(*item, IsChartSet(*item));
      for (TItemFile& f : d.files) f.url.clear();  // a backup is read without the service
      out.push_back(std::move(d));
    }
    // What an earlier run put into this backup stays in its index.
    if (!fBackupPath.isEmpty() && fBackupPath == IndexPath(path)) {
      for (const auto& item : fBackupItems)
        if (!contains(item->ProductNumber(), item->ModuleMask())) out.push_back(item->Data());
    }
    return WriteBackupIndexFile(path, out);
  }
};

// ---------------------------------------------------------------------------------------

ChartCheck::ChartCheck(TNavEventSource& events, const QString& productCode, uint32_t progVersion)
    : fImpl(std::make_unique<ChartCheckImpl>(events, productCode, progVersion)) {}

ChartCheck::~ChartCheck() = default;

void ChartCheck::ClearProducts() { fImpl->fProducts.clear(); }

void ChartCheck::AddItemProduct(const InstallItem* item) {
  if (!item || fImpl->FindProduct(item->ProductNumber(), item->ModuleMask())) return;
  TProductData p;
  if (item->Data().hasProduct) {
    p = item->Data().product;
  } else {
    // An index without records: what the item itself tells.
    const bool chart = F12(item->ProductNumber());
    p.productNumber = item->ProductNumber();
    p.kind = chart ? pkChartSet : pkProgram;
    p.displayName = item->ProductName();
    p.itemTitle = chart ? item->ModuleName() : QString();
    p.installFolder = item->InstallFolder();
    p.checked = true;
    for (int i = 0; i < item->FileCount(); ++i) p.size += item->FileSize(i);
  }
  p.productNumber = item->ProductNumber();
  p.moduleMask = item->ModuleMask();
  p.revision = item->Revision();
  fImpl->fProducts.push_back(std::make_unique<ProductRecord>(p));
}

void ChartCheck::FinishProducts() {
  std::stable_sort(fImpl->fProducts.begin(), fImpl->fProducts.end(), [](const auto& a, const auto& b) {
    return std::tuple(a->Kind(), a->Group()) < std::tuple(b->Kind(), b->Group()) ||
           (std::tuple(a->Kind(), a->Group()) == std::tuple(b->Kind(), b->Group()) &&
            QString::compare(a->DisplayName(), b->DisplayName(), Qt::CaseInsensitive) < 0);
  });
}

std::unique_ptr<SelectionEntry> ChartCheck::NewSelectionEntry() const {
  return std::make_unique<SelectionEntry>();
}

std::unique_ptr<SelectionList> ChartCheck::NewSelectionList() const { return std::make_unique<SelectionList>(); }

ProductRecord* ChartCheck::FindProductRecord(int productNumber, int moduleMask) const {
  return fImpl->FindProduct(productNumber, moduleMask);
}

InstallItem* ChartCheck::FindBackupItem(int productNumber, int moduleMask) const {
  for (const auto& item : fImpl->fBackupItems)
    if (item->ProductNumber() == productNumber && item->ModuleMask() == moduleMask) return item.get();
  return nullptr;
}

int ChartCheck::ProductCount() const { return static_cast<int>(fImpl->fProducts.size()); }

ProductRecord* ChartCheck::Product(int index) const {
  return index >= 0 && index < ProductCount() ? fImpl->fProducts[static_cast<size_t>(index)].get() : nullptr;
}

int ChartCheck::ItemCount() const { return static_cast<int>(fImpl->fItems.size()); }

InstallItem* ChartCheck::Item(int index) const {
  return index >= 0 && index < ItemCount() ? fImpl->fItems[static_cast<size_t>(index)].get() : nullptr;
}

int ChartCheck::LastError() const { return fImpl->fLastError; }

bool ChartCheck::IsBusy() const { return fImpl->fBusy; }

namespace {

// The stored sign-in: an address and its token, or nothing.
bool ReadRemembered(QString& email, QString& token) {
  email = GetAppReg().ReadString(rrSettings, kAccountKey, kEmailValue);
  token = GetAppReg().ReadString(rrSettings, kAccountKey, kTokenValue);
  if (email.isEmpty() || token.isEmpty()) {
    email.clear();
    token.clear();
    return false;
  }
  return true;
}

}  // namespace

bool ChartCheck::RememberedEmail(QString& email) const {
  QString token;
  return ReadRemembered(email, token);
}

int ChartCheck::ReadBackupIndex(const QString& path) { return fImpl->ReadBackupIndex(path); }

int ChartCheck::WriteBackupIndex(const QString& path, bool /*flag*/) { return fImpl->WriteBackupIndex(path); }

int ChartCheck::SignIn(const QString& text, bool remember) {
  ChartCheckImpl::PendingSignIn s;
  s.remember = remember;
  if (text.isEmpty()) {
    if (!ReadRemembered(s.email, s.token)) s.error = ceChkNoRemembered;
  } else {
    const qsizetype semicolon = text.indexOf(u';');
    if (semicolon < 0) {
      s.error = ceChkBadArgument;
    } else {
      s.email = text.left(semicolon).trimmed();
      s.password = text.mid(semicolon + 1);
    }
  }
  return fImpl->PrepareSignIn(s);
}

int ChartCheck::SignInEmail(const QString& email, bool remember) {
  ChartCheckImpl::PendingSignIn s;
  s.remember = remember;
  // The token belongs to the stored address: for another one it could only be refused.
  if (!ReadRemembered(s.email, s.token) || s.email.compare(email.trimmed(), Qt::CaseInsensitive) != 0) {
    s.email = email.trimmed();
    s.token.clear();
    s.error = ceChkNoRemembered;
  }
  return fImpl->PrepareSignIn(s);
}

int ChartCheck::SignInPassword(const QString& password, bool remember) {
  ChartCheckImpl::PendingSignIn s;
  s.remember = remember;
  QString token;
  if (!ReadRemembered(s.email, token)) s.error = ceChkNoRemembered;
  s.password = password;
  return fImpl->PrepareSignIn(s);
}

int ChartCheck::SignInOnce(const QString& text) {
  // Only with a password: a token used without "remember" is forgotten by the service too.
  const int error = SignIn(text.isEmpty() ? QStringLiteral(";") : text, false);
  fImpl->fSignIn.once = true;
  return error;
}

int ChartCheck::RequestProducts() { return fImpl->RequestProducts(); }

int ChartCheck::RequestFileList(const SelectionList& selection) { return fImpl->RequestFileList(selection); }

int ChartCheck::StartDownload(InstallItem* item, int fileIndex, const QString& targetFolder) {
  return fImpl->StartDownload(item, fileIndex, targetFolder);
}

int ChartCheck::CancelDownload() { return fImpl->CancelDownload(); }

void ChartCheck::SetServiceURL(const QString& url) { fImpl->fServiceURL = url; }

QString ChartCheck::ServiceURL() const { return fImpl->BaseURL(); }

std::unique_ptr<ChartCheck> QMRChartCheckCreate(TNavEventSource& events, const QString& productCode,
                                                uint32_t progVersion) {
  return std::make_unique<ChartCheck>(events, productCode, progVersion);
}

}  // namespace cvlib

namespace cvlib::testing {

void SetDownloadWriteHook(std::function<void()> hook) { DownloadWriteHook() = std::move(hook); }

void SetRequestTimeout(int ms) { RequestTimeoutMs() = ms; }

}  // namespace cvlib::testing
