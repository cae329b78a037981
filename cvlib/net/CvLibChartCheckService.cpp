// The chart-check engine's client of the account service: sign-in, product list, file list.
// Protocol: docs/account-protocol.md.
#include "CvLibNetClients.h"
#include "CvLibCrypto.h"

#include "CvLibErrors.h"
#include "CvLibItemJson.h"
#include "CvLibJsonScan.h"
#include "CvLibRegistry.h"
#include "CvLibSignature.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QSet>

#include <algorithm>
#include <limits>
#include <string_view>

namespace cvlib::detail {

namespace {

const QString kAccountKey = QStringLiteral("Account");
const QString kEmailValue = QStringLiteral("Email");
const QString kTokenValue = QStringLiteral("Token");

constexpr qint64 kMaxAnswerSize = 32 * 1024 * 1024;  // a JSON answer larger than this is refused

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

// The folder where a file lands below the chosen folder, as a FAT medium tells names apart;
// the file's folded name follows it.
QString LandingKey(const EngineLists& lists, const InstallItem& item, const TItemFile& file) {
  return (lists.LayoutFolders(item, file).join(u'/') + u'/').toCaseFolded();
}

}  // namespace

ServiceClient::ServiceClient(const QString& productCode, uint32_t version)
    : fProductCode(productCode), fVersion(version) {}

ServiceClient::~ServiceClient() { Abort(); }

void ServiceClient::Abort() {
  fContext.reset();
  if (fReply) {
    fReply->disconnect();
    fReply->abort();
    delete fReply;
    fReply = nullptr;
  }
}

QString ServiceClient::BaseURL() const { return ServiceBaseURL(fServiceURL); }

QNetworkAccessManager& ServiceClient::Network() {
  if (!fNetwork) fNetwork = std::make_unique<QNetworkAccessManager>();
  return *fNetwork;
}

// Lets go of the running reply and its connections. Called from inside their handlers,
// so both are deleted later, never in the middle of a handler.
void ServiceClient::DropReply() {
  if (fReply) {
    fReply->disconnect();
    fReply->deleteLater();
    fReply = nullptr;
  }
  if (fContext) fContext.release()->deleteLater();
}

QNetworkRequest ServiceClient::MakeRequest(const QUrl& url) const {
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

bool ServiceClient::SameOrigin(const QUrl& a, const QUrl& b) {
  auto port = [](const QUrl& u) { return u.port(u.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80); };
  return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
         a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

// One JSON request; done gets 0 and the answer object, or an error.
void ServiceClient::SendJson(const QString& path, const QJsonObject* body, JsonDone done) {
  Send(path, body, [done](int error, const QByteArray& data) {
    QJsonObject answer;
    if (!error) {
      QJsonParseError parseError{};
      const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
      if (parseError.error != QJsonParseError::NoError || !doc.isObject()) error = ceChkBadAnswer;
      else answer = doc.object();
    }
    done(error, answer);
  });
}

// One request; done gets 0 and the body of a 200 answer, or an error.
void ServiceClient::Send(const QString& path, const QJsonObject* body, RawDone done) {
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
    // A wait of seconds only (an HTTP date is not used by the service); at most a day.
    bool number = false;
    const int wait = status == 429 ? reply->rawHeader("Retry-After").trimmed().toInt(&number) : 0;
    fRetryAfter = number && wait > 0 ? std::min(wait, 86400) : 0;
    DropReply();
    int error = 0;
    if (status == 0) {
      error = ceChkNetwork;
    } else if (status == 200) {
      if (netError != QNetworkReply::NoError) error = ceChkNetwork;
    } else {
      // The service's own error number when it sent one, else ours.
      const QJsonDocument doc = QJsonDocument::fromJson(data);
      const QJsonValue n = doc.isObject() ? doc.object().value(QLatin1String("error")) : QJsonValue();
      const int code = n.isDouble() ? n.toInt() : 0;
      error = code > 0 && code < 100 ? code : ceChkHttp;
    }
    done(error, error ? QByteArray() : data);
  });
}

// ---- sign-in and product list

void ServiceClient::StartProducts(EngineLists& lists, Done done) {
  SendJson(QStringLiteral("api/v1/products"), nullptr, [&lists, done](int error, const QJsonObject& answer) {
    if (!error) error = TakeProducts(answer, lists);
    done(error);
  });
}

int ServiceClient::TakeProducts(const QJsonObject& answer, EngineLists& lists) {
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
  lists.SetProducts(std::move(products));
  return ceOK;
}

void ServiceClient::StoreRemembered(const QString& email, const QString& token, bool remember) {
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

int ServiceClient::RequestProducts(EngineLists& lists, Done done) {
  if (!fSignIn.pending) {
    if (fSession.isEmpty()) return ceChkNotSignedIn;
    StartProducts(lists, done);
    return ceOK;
  }
  const PendingSignIn signIn = fSignIn;
  fSignIn = PendingSignIn();  // the password is held no longer than needed
  if (signIn.error) return signIn.error;
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
  // The file list's signatures and every download's SHA-256 need libcrypto: it loads while the
  // service checks the password, which keeps this side waiting anyway.
  if (!fCryptoLoad.joinable()) fCryptoLoad = std::jthread([] { cvcrypto::Loaded(); });
  SendJson(QStringLiteral("api/v1/signin"), &body, [this, &lists, done, sentEmail, remember, once, byToken](
                                                      int error, const QJsonObject& answer) {
    if (error) {
      // The remembered token refused is dead: trying it again at every start cannot help, and
      // an address without it would show as remembered with nothing to sign in with.
      if (error == 4 && byToken) {
        GetAppReg().DeleteValue(rrSettings, kAccountKey, kTokenValue);
        GetAppReg().DeleteValue(rrSettings, kAccountKey, kEmailValue);
      }
      done(error);
      return;
    }
    const QJsonValue session = answer.value(QLatin1String("session"));
    const QJsonValue token = answer.value(QLatin1String("token"));
    if (!session.isString() || !IsCredentialText(session.toString()) ||
        !(token.isUndefined() || (token.isString() && IsCredentialText(token.toString())))) {
      done(ceChkBadAnswer);
      return;
    }
    fSession = session.toString().toLatin1();
    const QString email = answer.value(QLatin1String("email")).toString(sentEmail);
    if (!once) StoreRemembered(email.isEmpty() ? sentEmail : email, token.toString(), remember);
    StartProducts(lists, done);
  });
  return ceOK;
}

int ServiceClient::PrepareSignIn(PendingSignIn signIn) {
  if (signIn.error == 0 && signIn.email.isEmpty()) signIn.error = ceChkBadArgument;
  signIn.pending = true;
  fSignIn = signIn;
  return signIn.error;
}

// ---- file list

// A file comes over HTTP(S) only: a "file:" or other URL would have local files copied.
// Under an https service, plain http is refused: anyone on the way could swap the file or
// learn what is installed.
bool ServiceClient::IsWebURL(const QString& url) const {
  if (url.isEmpty()) return false;
  return IsWebURL(QUrl(BaseURL()).resolved(QUrl(url)), QUrl(BaseURL()));
}
bool ServiceClient::IsWebURL(const QUrl& resolved, const QUrl& from) {
  const QString scheme = resolved.scheme().toLower();
  const bool secure = from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
  return resolved.isValid() && !resolved.host().isEmpty() &&
         (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && !secure));
}

// The file list is read straight from the answer's text (it may name tens of thousands of
// files): the fields of an item and its files, with the same rules as AnswerReader.
namespace {

struct ScanFields {
  JsonScan& scan;
  std::string_view key;
  bool handled = false;
  bool ok = true;

  bool Take(const char* name) {
    if (handled || key != name) return false;
    handled = true;
    return true;
  }
  // A number within [low, high] without a fraction; null or missing is 0.
  template <typename T>
  void Number(T& out, double low, double high) {
    out = 0;
    const JsonScan::Type type = scan.Peek();
    if (type == JsonScan::Type::Null) {
      scan.ReadNull();
      return;
    }
    double d = 0;
    if (type != JsonScan::Type::Number) {
      ok = false;
      scan.Skip();
      return;
    }
    if (!scan.ReadNumber(d)) return;
    if (d < low || d > high || d != static_cast<double>(static_cast<int64_t>(d))) {
      ok = false;
      return;
    }
    out = static_cast<T>(static_cast<int64_t>(d));
  }
  template <typename O>
  void Int(O&, const char* name, int& out) {
    if (Take(name)) Number(out, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max());
  }
  template <typename O>
  void Size(O&, const char* name, int64_t& out) {
    if (Take(name)) Number(out, 0, 9007199254740992.0);
  }
  template <typename O>
  void Str(O&, const char* name, QString& out) {
    if (!Take(name)) return;
    out.clear();
    const JsonScan::Type type = scan.Peek();
    if (type == JsonScan::Type::String) {
      scan.ReadString(out);
    } else if (type == JsonScan::Type::Null) {
      scan.ReadNull();
    } else {
      ok = false;
      scan.Skip();
    }
  }
  template <typename O>
  void Bool(O&, const char* name, bool& out) {
    if (!Take(name)) return;
    out = false;
    const JsonScan::Type type = scan.Peek();
    if (type == JsonScan::Type::Bool) {
      scan.ReadBool(out);
    } else if (type == JsonScan::Type::Null) {
      scan.ReadNull();
    } else {
      ok = false;
      scan.Skip();
    }
  }
};

// An item as it stood in the answer, judged only once the whole answer has been read: a
// malformed answer is malformed whatever its first items say.
struct ScannedItem {
  TItemData d;
  bool object = true;     // the entry is an object
  bool fieldsOk = true;   // its own fields have their types
  bool filesOk = true;    // "files" is missing or an array
  std::vector<signed char> fileStates;  // 1 fine, 0 a field of the wrong type, -1 no object
};

void ScanFile(JsonScan& scan, ScannedItem& item) {
  TItemFile& f = item.d.files.emplace_back();
  if (scan.Peek() != JsonScan::Type::Object) {
    item.fileStates.push_back(-1);
    scan.Skip();
    return;
  }
  scan.BeginObject();
  ScanFields r{scan, {}};
  int none = 0;
  std::string_view key;
  while (scan.NextKey(key)) {
    r.key = key;
    r.handled = false;
    FileFields(r, none, f);
    r.Str(none, "url", f.url);
    if (!r.handled) scan.Skip();
  }
  item.fileStates.push_back(r.ok ? 1 : 0);
}

void ScanItem(JsonScan& scan, ScannedItem& item) {
  if (scan.Peek() != JsonScan::Type::Object) {
    item.object = false;
    scan.Skip();
    return;
  }
  scan.BeginObject();
  ScanFields r{scan, {}};
  int none = 0;
  bool files = false;
  std::string_view key;
  while (scan.NextKey(key)) {
    if (key == "files") {
      if (files || scan.Peek() != JsonScan::Type::Array) {
        item.filesOk = false;
        scan.Skip();
        continue;
      }
      files = true;
      scan.BeginArray();
      while (scan.NextElement()) ScanFile(scan, item);
      continue;
    }
    r.key = key;
    r.handled = false;
    ItemFields(r, none, item.d);
    r.Str(none, "version", item.d.version);
    r.Str(none, "signature", item.d.signature);
    if (!r.handled) scan.Skip();
  }
  item.fieldsOk = r.ok;
}

// An address that is a plain relative path ("files/charts/A.qmr2") resolves below the base
// URL, on its scheme and host, whatever its letters: no need to parse it as a URL.
bool IsPlainRelativePath(const QString& url) {
  if (url.isEmpty() || url.startsWith(QLatin1String("//"))) return false;
  for (const QChar c : url) {
    const char16_t u = c.unicode();
    const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '/' ||
                       u == '-' || u == '.' || u == '_' || u == '~';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

// asked: the product numbers of the selection; companions share their program's number.
int ServiceClient::TakeItems(const QByteArray& answer, const std::vector<int>& asked, EngineLists& lists,
                             const std::vector<std::shared_ptr<InstallItem>>& earlier) const {
  JsonScan scan(answer.constData(), static_cast<std::size_t>(answer.size()));
  std::vector<ScannedItem> scanned;
  if (!ScanItemList(scan, [&] { ScanItem(scan, scanned.emplace_back()); })) return ceChkBadAnswer;

  const QUrl base(BaseURL());
  const bool baseIsWeb = IsWebURL(base, base);
  auto isWeb = [&](const QString& url) {
    if (IsPlainRelativePath(url)) return baseIsWeb;
    return !url.isEmpty() && IsWebURL(base.resolved(QUrl(url)), base);
  };
  std::vector<std::shared_ptr<InstallItem>> items;
  items.reserve(scanned.size());
  for (ScannedItem& s : scanned) {
    if (!s.object || !s.filesOk) return ceChkBadAnswer;
    TItemData& d = s.d;
    for (size_t i = 0; i < d.files.size(); ++i) {
      TItemFile& f = d.files[i];
      if (s.fileStates[i] < 0 || !(s.fieldsOk && s.fileStates[i] > 0)) return ceChkBadAnswer;
      f.sha256 = f.sha256.toLower();
      if (!FileStaysInside(f)) return ceChkUnsafeName;
      if (!IsHex64(f.sha256) || !isWeb(f.url)) return ceChkBadAnswer;
    }
    if (!s.fieldsOk) return ceChkBadAnswer;
    if (!ItemNamesSafe(d)) return ceChkUnsafeName;
    // Nothing the user did not pick gets installed, and nothing twice.
    if (std::find(asked.begin(), asked.end(), d.productNumber) == asked.end() ||
        std::any_of(items.begin(), items.end(), [&d](const auto& i) {
          return i->ProductNumber() == d.productNumber && i->ModuleMask() == d.moduleMask;
        }))
      return ceChkBadAnswer;
    if (const ProductRecord* p = lists.FindProduct(d.productNumber, d.moduleMask)) {
      d.hasProduct = true;
      d.product = p->Data();
    }
    auto item = std::make_shared<InstallItem>(std::move(d));
    const bool chartSet = lists.IsChartSet(*item);
    // A chart set is kept under its codes (backup folder, installed-products store): without
    // them a backup would get a folder its own index refuses.
    if (chartSet && item->Status() == 0 && (item->ProductCode().isEmpty() || item->ModuleCode().isEmpty()))
      return ceChkBadAnswer;
    item->MutableData().sourceFolder = BackupSourceFolder(*item, chartSet);
    items.push_back(std::move(item));
  }
  // What the list says is believed only under the vendor's signature, judged once the list is
  // otherwise sound: the SHA-256 every download is checked against is the signed one.
  for (const auto& item : items)
    if (!ItemSignatureValid(item->Data())) return ceChkUnsigned;
  RefuseClashes(lists, items, earlier);
  lists.SetItems(std::move(items));
  return ceOK;
}

// Two files that land on one path would leave one of them lost and two index entries
// pointing at the other. The earlier item keeps its files (a backup's items not replaced
// by the list are earlier still); a later one that would take one of them is refused whole.
void ServiceClient::RefuseClashes(const EngineLists& lists, std::vector<std::shared_ptr<InstallItem>>& items,
                                  const std::vector<std::shared_ptr<InstallItem>>& earlier) {
  QSet<QString> taken;
  auto claim = [&](const InstallItem& item, bool force) {
    // The item's two landing folders (its own, its add-ons'), folded once for all its files.
    TItemFile plain, addOn;
    addOn.addOn = true;
    const QString folders[2] = {LandingKey(lists, item, plain), LandingKey(lists, item, addOn)};
    // Taken at once; a clash gives back what this item took.
    std::vector<QString> own;
    own.reserve(item.Data().files.size());
    taken.reserve(taken.size() + static_cast<qsizetype>(item.Data().files.size()));
    for (const TItemFile& f : item.Data().files) {
      QString key = folders[f.addOn ? 1 : 0] + f.name.toCaseFolded();
      const qsizetype before = taken.size();
      taken.insert(key);
      if (taken.size() != before) {
        own.push_back(std::move(key));
      } else if (!force) {
        for (const QString& k : own) taken.remove(k);
        return false;
      }
    }
    return true;
  };
  for (const auto& backup : earlier) {
    const bool replaced = std::any_of(items.begin(), items.end(), [&](const auto& i) {
      return i->ProductNumber() == backup->ProductNumber() && i->ModuleMask() == backup->ModuleMask();
    });
    if (!replaced && backup->Status() == itemProcessable) claim(*backup, true);
  }
  for (const auto& item : items)
    if (item->Status() == itemProcessable && !claim(*item, false)) item->MutableData().status = itemNameClash;
}

int ServiceClient::RequestFileList(const SelectionList& selection, EngineLists& lists,
                                   std::vector<std::shared_ptr<InstallItem>> earlier, Done done) {
  if (fSession.isEmpty()) return ceChkNotSignedIn;
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
  Send(QStringLiteral("api/v1/files"), &body,
       [this, &lists, asked, earlier = std::move(earlier), done](int error, const QByteArray& answer) {
         if (!error) error = TakeItems(answer, asked, lists, earlier);
         // A failed list leaves no items of an earlier one behind to be taken for this one.
         if (error) lists.SetItems({});
         done(error);
       });
  return ceOK;
}

}  // namespace cvlib::detail
