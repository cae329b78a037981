#include "Args.h"

#include "CvLanguage.h"
#include "CvLib.h"

#include <QDir>
#include <QSocketNotifier>

#include <fcntl.h>

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace cvtool {

QString ServiceErrorText(int error, int retryAfter) {
  switch (error) {
    case 4: return QStringLiteral("E-mail address and/or password unknown (4)");
    case 5: return QStringLiteral("session missing or expired (5)");
    case 9: return QStringLiteral("the account does not own this file (9)");
    case 10:
      if (retryAfter > 0)
        return QStringLiteral("too many failed sign-ins: the service takes the next one in %1 (10)")
            .arg(WaitInWords(retryAfter));
      return QStringLiteral("too many failed sign-ins: the service takes the next one after at most 15 minutes (10)");
    default: return QString();
  }
}

QString ExitCodesHelp() {
  return QStringLiteral(
      "Exit codes: 0 done, 1 the operation failed or found nothing, 2 the command line was wrong\n"
      "(nothing was done).\n");
}

QString VersionLine() {
  const uint32_t v = GetProgInfo().Version;
  return QStringLiteral("cvtool %1.%2.%3.%4").arg(v >> 24).arg(v >> 16 & 0xFF).arg(v >> 8 & 0xFF).arg(v & 0xFF);
}

void WriteText(std::FILE* to, const QString& text) {
  QByteArray bytes = text.toUtf8();
  if (!bytes.endsWith('\n')) bytes += '\n';
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
  std::fflush(to);
}

int Fail(const QString& who, const QString& message, int code) {
  WriteText(stderr, who + QStringLiteral(": ") + message);
  return code;
}

int UsageError(const QString& who, const QString& message) {
  return Fail(who, QStringLiteral("%1 (see '%2 --help')").arg(message, who), kExitUsage);
}

int PrintHelp(const QString& text) {
  WriteText(stdout, text);
  return kExitOK;
}

void TArgs::Flag(const QString& name, const QString& alias) {
  specs_[name] = Spec{false, {}};
  if (!alias.isEmpty()) aliases_[alias] = name;
}

void TArgs::Value(const QString& name, const QString& valueName) { specs_[name] = Spec{true, valueName}; }

const TArgs::Spec* TArgs::Find(const QString& name) const {
  const auto it = specs_.find(name);
  return it == specs_.end() ? nullptr : &it->second;
}

QString TArgs::Get(const QString& name, const QString& fallback) const {
  const auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

namespace {

// "-1002", "-1.5": a value, not an option.
bool IsNegativeNumber(const QString& arg) { return arg.size() >= 2 && arg[0] == u'-' && arg[1].isDigit(); }

}  // namespace

TArgs::TResult TArgs::Parse(const QStringList& args) {
  // Help and version first: "--help" after a wrong argument still helps. The other arguments
  // are split as well as they can be, so that the help fits the sub-command named.
  for (const QString& arg : args) {
    if (arg == QLatin1String("--")) break;
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
      QStringList rest = args;
      rest.removeAll(QStringLiteral("--help"));
      rest.removeAll(QStringLiteral("-h"));
      Split(rest, false);
      return kHelp;
    }
    if (arg == QLatin1String("--version")) return kVersion;
  }
  return Split(args, true) ? kRun : kUsageError;
}

bool TArgs::Split(const QStringList& args, bool report) {
  values_.clear();
  positional_.clear();
  auto usage = [&](const QString& message) {
    if (report) Usage(message);
    return false;
  };
  bool optionsEnded = false;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (optionsEnded || !arg.startsWith(u'-') || arg == QLatin1String("-") || IsNegativeNumber(arg)) {
      positional_ << arg;
      continue;
    }
    if (arg == QLatin1String("--")) {
      optionsEnded = true;
      continue;
    }
    QString name = arg;
    std::optional<QString> inlineValue;
    if (const qsizetype eq = arg.indexOf(u'='); arg.startsWith(QLatin1String("--")) && eq > 2) {
      name = arg.left(eq);
      inlineValue = arg.mid(eq + 1);
    }
    if (const auto alias = aliases_.find(name); alias != aliases_.end()) name = alias->second;
    const Spec* spec = Find(name);
    if (!spec) return usage(QStringLiteral("unknown option '%1'").arg(arg));
    if (values_.count(name)) return usage(QStringLiteral("option '%1' given twice").arg(name));
    if (!spec->takesValue) {
      if (inlineValue) return usage(QStringLiteral("option '%1' takes no value").arg(name));
      values_[name] = QString();
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) return usage(QStringLiteral("option '%1' needs a value (%1 %2)").arg(name, spec->valueName));
      inlineValue = args[++i];
    }
    values_[name] = *inlineValue;
  }
  return true;
}

int TArgs::Finish(TResult result, const QString& help) const {
  switch (result) {
    case kHelp: return PrintHelp(help);
    case kVersion: WriteText(stdout, VersionLine()); return kExitOK;
    case kUsageError: return kExitUsage;
    case kRun: break;
  }
  return kExitOK;
}

std::optional<qint64> ParseNumber(const QString& text, qint64 min, qint64 max) {
  bool ok = false;
  const qint64 n = text.trimmed() == text ? text.toLongLong(&ok, 10) : 0;
  if (!ok || n < min || n > max) return std::nullopt;
  return n;
}

bool ParseServiceURL(const QString& text, QUrl& url, QString& error) {
  url = QUrl(text, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || text.trimmed() != text || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
    error = QStringLiteral("'%1' is not a valid URL: it needs http:// or https:// and a host, as the service "
                           "prints it (http://127.0.0.1:8080)")
                .arg(text);
    return false;
  }
  if (url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()) {
    error = QStringLiteral("'%1' is not a valid URL: it needs a host and no user, query or fragment").arg(text);
    return false;
  }
  return true;
}

namespace {

// Two buffers, so that a new message is written where the handler is not reading.
char gInterruptText[2][2048];
std::atomic<int> gInterruptCurrent{0};
std::atomic<size_t> gInterruptLength[2];

void OnInterrupt(int) {
  const int current = gInterruptCurrent.load();
  const ssize_t ignored = ::write(STDERR_FILENO, gInterruptText[current], gInterruptLength[current].load());
  (void)ignored;
  ::_exit(130);
}

// The loop's side of CatchInterruptInLoop: the handler writes a byte, a notifier reads it.
int gWakePipe[2] = {-1, -1};
std::atomic<bool> gInterruptedOnce{false};
std::function<void()> gOnInterrupt;
std::unique_ptr<QSocketNotifier> gWakeNotifier;

void OnInterruptInLoop(int signal) {
  if (gInterruptedOnce.exchange(true)) OnInterrupt(signal);
  const char byte = 1;
  const ssize_t ignored = ::write(gWakePipe[1], &byte, 1);
  (void)ignored;
}

}  // namespace

void SetInterruptMessage(const QString& message) {
  // A progress line on the terminal is cleared first; the message then stands on its own line.
  QByteArray bytes = (isatty(STDERR_FILENO) ? QByteArrayLiteral("\r\x1b[K") : QByteArray("\n")) + message.toUtf8();
  if (!bytes.endsWith('\n')) bytes += '\n';
  const int next = 1 - gInterruptCurrent.load();
  const size_t n = std::min<size_t>(size_t(bytes.size()), sizeof gInterruptText[next]);
  std::memcpy(gInterruptText[next], bytes.constData(), n);
  gInterruptLength[next] = n;
  gInterruptCurrent = next;
}

void CatchInterrupt(const QString& message) {
  SetInterruptMessage(message);
  std::signal(SIGINT, OnInterrupt);
}

void ReleaseInterrupt() { std::signal(SIGINT, SIG_DFL); }

void CatchInterruptInLoop(std::function<void()> onInterrupt) {
  gOnInterrupt = std::move(onInterrupt);
  if (gWakePipe[0] < 0 && ::pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::signal(SIGINT, OnInterrupt);  // no pipe: end at once, as CatchInterrupt does
    return;
  }
  if (!gWakeNotifier) {
    gWakeNotifier = std::make_unique<QSocketNotifier>(gWakePipe[0], QSocketNotifier::Read);
    QObject::connect(gWakeNotifier.get(), &QSocketNotifier::activated, [] {
      char bytes[16];
      while (::read(gWakePipe[0], bytes, sizeof bytes) > 0) {
      }
      if (gOnInterrupt) gOnInterrupt();
    });
  }
  std::signal(SIGINT, OnInterruptInLoop);
}

QString AbsolutePath(const QString& path) { return QDir::cleanPath(QDir::current().absoluteFilePath(path)); }

}  // namespace cvtool
