// cvtool account: the chart-check engine on the command line, against the account and
// package service. One tab-separated line per product record, install item, file and event;
// the format is in docs/cvtool-account.md. Exit codes: 0 done, 1 the service, a download, the
// folder or its index failed, 2 bad arguments.
#include "Commands.h"

#include "CvLib.h"
#include "LineOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace {

constexpr int kExitOK = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Each field escaped, so that a name from the service cannot break a line or fake one.
void Out(QStringList fields) {
  for (QString& field : fields) field = EscapeForLine(field);
  WriteLine(stdout, fields.join(u'\t'));
  std::fflush(stdout);
}

int Fail(const QString& message, int code = kExitFailed) {
  WriteLine(stderr, QStringLiteral("cvtool account: ") + message);
  return code;
}

QString ErrorText(int error) {
  switch (error) {
    case 4: return QStringLiteral("E-mail address and/or password unknown (4)");
    case 5: return QStringLiteral("session missing or expired (5)");
    case 6: return QStringLiteral("malformed request (6)");
    case 7: return QStringLiteral("no such resource (7)");
    case 8: return QStringLiteral("service fault (8)");
    default: return QStringLiteral("%1 (%2)").arg(ErrorToStr(error)).arg(error);
  }
}

QString VersionText(uint32_t v) {
  return QStringLiteral("%1.%2.%3.%4").arg(v >> 24).arg(v >> 16 & 0xFF).arg(v >> 8 & 0xFF).arg(v & 0xFF);
}

// The engine and a loop that waits for its completion events, printing every event.
class Session {
 public:
  Session() : fEnv(NavEnvCreate()) {
    fEnv->EventSource().Subscribe(&Session::OnEvent, this);
    fCheck = QMRChartCheckCreate(fEnv->EventSource(), QStringLiteral("CSI"), GetProgInfo().Version);
  }
  ~Session() {
    fCheck.reset();
    fEnv->EventSource().Unsubscribe(&Session::OnEvent, this);
  }

  ChartCheck& Check() { return *fCheck; }

  // Waits for the event 130 of an operation that started; returns LastError.
  int Wait(int started) {
    if (started == cvlib::ceChkBusy) return started;
    while (!fDone) fLoop.exec();
    fDone = false;
    return fCheck->LastError();
  }

 private:
  static void OnEvent(void* data, const TNavEvent& event) {
    auto* self = static_cast<Session*>(data);
    if (event.code == necDownloadProgress) {
      Out({QStringLiteral("event"), QStringLiteral("131"), QString::number(static_cast<qint64>(event.value))});
    } else if (event.code == necOperationDone) {
      Out({QStringLiteral("event"), QStringLiteral("130"), QString::number(self->fCheck->LastError())});
      self->fDone = true;
      self->fLoop.quit();
    }
  }

  std::unique_ptr<TNavEnv> fEnv;
  std::unique_ptr<ChartCheck> fCheck;
  QEventLoop fLoop;
  bool fDone = false;
};

void PrintProduct(const ProductRecord& p) {
  Out({QStringLiteral("product"), QString::number(p.ProductNumber()), QString::number(p.ModuleMask()),
       QString::number(p.Kind()), QString::number(p.Group()), QString::number(p.Revision()),
       VersionText(p.LatestVersion()), QString::number(p.Size()), p.Checked() ? "1" : "0", p.RegistryKey(),
       p.InstallFolder(), p.DisplayName(), p.ItemTitle()});
}

void PrintItem(const InstallItem& item) {
  Out({QStringLiteral("item"), QString::number(item.ProductNumber()), QString::number(item.ModuleMask()),
       QString::number(item.Status()), QString::number(item.Revision()), item.ProductCode(), item.ModuleCode(),
       QString::number(item.FileCount()), item.SourceFolder(), item.InstallFolder(), item.ProductName(),
       item.ModuleName()});
  for (int i = 0; i < item.FileCount(); ++i)
    Out({QStringLiteral("file"), QString::number(item.ProductNumber()), QString::number(item.ModuleMask()),
         QString::number(i), QString::number(item.FileSize(i)), QString::number(item.FileTime(i)),
         item.IsAddOn(i) ? "1" : "0", item.FileSha256(i), item.FileFolder(i), item.FileName(i)});
}

struct Options {
  QString url;
  QString email, password;
  bool remember = false;
  QStringList rest;
};

bool ParseOptions(const QStringList& args, Options& o) {
  for (int i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--remember")) {
      o.remember = true;
    } else if ((a == QLatin1String("--email") || a == QLatin1String("--password")) && i + 1 < args.size()) {
      (a == QLatin1String("--email") ? o.email : o.password) = args[++i];
    } else if (a.startsWith(QLatin1String("--"))) {
      return false;
    } else {
      o.rest << a;
    }
  }
  return true;
}

// Signs in (with --email/--password, else with the remembered pair) and lists the products.
int SignInAndList(Session& s, const Options& o, bool print) {
  if (!o.email.isEmpty() || !o.password.isEmpty()) {
    // Without --remember this run alone signs in: a sign-in stored earlier stays as it is.
    if (o.remember) s.Check().SignIn(o.email + u';' + o.password, true);
    else s.Check().SignInOnce(o.email + u';' + o.password);
  } else {
    // A remembered token stays valid only while it is used with "remember".
    s.Check().SignIn(QString(), true);
  }
  const int error = s.Wait(s.Check().RequestProducts());
  if (error) return Fail(ErrorText(error));
  if (print)
    for (int i = 0; i < s.Check().ProductCount(); ++i) PrintProduct(*s.Check().Product(i));
  return kExitOK;
}

int FileList(Session& s, const QStringList& selection) {
  auto list = s.Check().NewSelectionList();
  for (const QString& text : selection) {
    const QStringList parts = text.split(u':');
    bool okNumber = false, okMask = false;
    const int number = parts.value(0).toInt(&okNumber);
    const int mask = parts.size() == 2 ? parts[1].toInt(&okMask) : 0;
    if (!okNumber || !okMask) return Fail(QStringLiteral("'%1' is not PRODUCTNUMBER:MODULEMASK").arg(text), kExitUsage);
    auto entry = s.Check().NewSelectionEntry();
    entry->SetProductNumber(number);
    entry->SetModuleMask(mask);
    if (const ProductRecord* p = s.Check().FindProductRecord(number, mask)) entry->SetKind(p->Kind());
    list->Add(std::move(entry));
  }
  const int error = s.Wait(s.Check().RequestFileList(*list));
  if (error) return Fail(ErrorText(error));
  for (int i = 0; i < s.Check().ItemCount(); ++i) PrintItem(*s.Check().Item(i));
  return kExitOK;
}

// A file is current when it is there, as large as the service's copy and not older.
bool IsCurrent(const QString& path, int64_t size, int32_t time) {
  const QFileInfo info(path);
  return info.isFile() && info.size() == size && info.lastModified().toSecsSinceEpoch() >= time;
}

// Downloads into FOLDER in the layout of an installation backup and writes its index.
int Download(Session& s, const QString& folder) {
  ChartCheck& c = s.Check();
  int failures = 0;
  for (int i = 0; i < c.ItemCount(); ++i) {
    InstallItem* item = c.Item(i);
    if (item->Status() == cvlib::itemNameClash) {
      Fail(QStringLiteral("%1:%2: %3").arg(item->ProductNumber()).arg(item->ModuleMask()).arg(ErrorText(cvlib::ceChkNameClash)));
      ++failures;
      continue;
    }
    if (item->Status() != 0) continue;
    const ProductRecord* record = c.FindProductRecord(item->ProductNumber(), item->ModuleMask());
    const bool chart = record ? record->Kind() == pkChartSet : F12(item->ProductNumber());
    const QString itemFolder = chart ? QStringLiteral("QMR2/%1/%2/")
                                           .arg(_FileNameReplaceInvalidChars(item->ProductCode()),
                                                _FileNameReplaceInvalidChars(item->ModuleCode()))
                                     : QStringLiteral("Setups/");
    bool complete = true;
    for (int f = 0; f < item->FileCount(); ++f) {
      const QString relative =
          item->IsAddOn(f) ? itemFolder + QStringLiteral("Addons%1/").arg(item->ProductNumber()) : itemFolder;
      const QString target = folder + u'/' + relative;
      const QString path = target + item->FileName(f);
      if (IsCurrent(path, item->FileSize(f), item->FileTime(f))) {
        Out({QStringLiteral("current"), QString::number(item->ProductNumber()),
             QString::number(item->ModuleMask()), QString::number(f), path});
        continue;
      }
      // Never through a link planted in the backup: the files stay inside the folder.
      if (const int error = DirCreateBelow(folder, relative)) {
        complete = false;
        Fail(QStringLiteral("%1: %2").arg(target, ErrorText(error)));
        continue;
      }
      Out({QStringLiteral("download"), QString::number(item->ProductNumber()), QString::number(item->ModuleMask()),
           QString::number(f), path});
      if (const int error = s.Wait(c.StartDownload(item, f, target))) {
        complete = false;
        Fail(QStringLiteral("%1: %2").arg(path, ErrorText(error)));
      }
    }
    item->SetSucceeded(complete);
    if (!complete) ++failures;
  }
  const QString index = folder + QStringLiteral("/cvbackup.idx");
  if (const int error = c.WriteBackupIndex(index, false)) {
    Fail(QStringLiteral("%1: %2").arg(index, ErrorText(error)));
    return kExitFailed;
  }
  Out({QStringLiteral("index"), index});
  return failures ? kExitFailed : kExitOK;
}

}  // namespace

int AccountCommand(const QStringList& args) {
  Options o;
  if (!ParseOptions(args, o) || o.rest.size() < 2)
    return Fail(QStringLiteral("usage: cvtool account URL signin|products|files|download ..."), kExitUsage);
  const QString url = o.rest.takeFirst();
  const QString what = o.rest.takeFirst();
  Session s;
  if (url != QLatin1String("-")) s.Check().SetServiceURL(url);

  if (what == QLatin1String("signin")) {
    if (o.rest.size() != 2) return Fail(QStringLiteral("usage: cvtool account URL signin EMAIL PASSWORD [--remember]"), kExitUsage);
    o.email = o.rest[0];
    o.password = o.rest[1];
    if (const int r = SignInAndList(s, o, false)) return r;
    Out({QStringLiteral("signedin"), o.email, o.remember ? QStringLiteral("remembered") : QStringLiteral("once")});
    return kExitOK;
  }
  if (what == QLatin1String("products")) {
    if (!o.rest.isEmpty()) return Fail(QStringLiteral("usage: cvtool account URL products"), kExitUsage);
    return SignInAndList(s, o, true);
  }
  if (what == QLatin1String("files")) {
    if (o.rest.isEmpty()) return Fail(QStringLiteral("usage: cvtool account URL files PRODUCTNUMBER:MODULEMASK..."), kExitUsage);
    if (const int r = SignInAndList(s, o, false)) return r;
    return FileList(s, o.rest);
  }
  if (what == QLatin1String("download")) {
    if (o.rest.size() < 2)
      return Fail(QStringLiteral("usage: cvtool account URL download FOLDER PRODUCTNUMBER:MODULEMASK..."), kExitUsage);
    const QString folder = QDir(o.rest.takeFirst()).absolutePath();
    if (const int error = DirCreate(folder)) return Fail(QStringLiteral("%1: %2").arg(folder, ErrorText(error)));
    if (const int r = SignInAndList(s, o, false)) return r;
    // An earlier backup in the folder keeps the items this run does not bring anew. An index
    // that cannot be read would lose its items when replaced: the run stops instead.
    const QString index = folder + QStringLiteral("/cvbackup.idx");
    const int read = s.Check().ReadBackupIndex(index);
    if (read && read != cvlib::ceBackupIndexMissing) return Fail(QStringLiteral("%1: %2").arg(index, ErrorText(read)));
    if (const int r = FileList(s, o.rest)) return r;
    return Download(s, folder);
  }
  return Fail(QStringLiteral("unknown sub-command '%1'").arg(what), kExitUsage);
}
