#pragma once

// What every cvtool command shares on its command line: --help/-h and --version, usage errors
// that say what was wrong (exit 2), one scheme of exit codes, errors as readable lines on
// stderr, and the one form of a service URL. A command declares its options, parses, and on
// anything but kRun returns the code the parser gives.

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <map>
#include <optional>

namespace cvtool {

// The exit codes of every command and sub-command.
enum TExitCode : int {
  kExitOK = 0,      // done
  kExitFailed = 1,  // the operation failed or found nothing
  kExitUsage = 2,   // the command line was wrong; nothing was done
};

// The paragraph on exit codes that every help text ends with.
QString ExitCodesHelp();

// The text of an error number of the account service that every command may meet (4, 5, 9,
// 10; with 10 the wait it asked for, 0 unknown), else empty.
QString ServiceErrorText(int error, int retryAfter = 0);

// "cvtool 1.0.0.0": the program's own version.
QString VersionLine();

// Writes a text for people to a stream in UTF-8, with a line break after it.
void WriteText(std::FILE* to, const QString& text);

// An error for people: "<who>: <message>" on stderr. Returns `code`, so that a command can
// `return Fail(...)`.
int Fail(const QString& who, const QString& message, int code = kExitFailed);

// A usage error: "<who>: <message> (see '<who> --help')" on stderr; returns kExitUsage.
int UsageError(const QString& who, const QString& message);

// Prints a help text to stdout; returns kExitOK.
int PrintHelp(const QString& text);

// Ctrl-C (SIGINT) while a long operation runs: the process ends at once with exit code 130,
// after one line on stderr that says what became of the work (the partial file kept, say).
// The text is set beforehand, as the handler can only write what is ready.
void CatchInterrupt(const QString& message);
// Changes the line of a running CatchInterrupt, e.g. when the next file starts.
void SetInterruptMessage(const QString& message);
void ReleaseInterrupt();
// Ctrl-C handled in the event loop instead: the handler only wakes the loop, which calls
// `onInterrupt` (to cancel a download, say, so that what arrived reaches the disk first). A
// second Ctrl-C ends at once with the message set by SetInterruptMessage.
void CatchInterruptInLoop(std::function<void()> onInterrupt);

// A command line split into options and positional arguments.
class TArgs final {
 public:
  enum TResult { kRun, kHelp, kVersion, kUsageError };

  // `who` names the command in messages ("cvtool account").
  explicit TArgs(QString who) : who_(std::move(who)) {}

  // An option without a value (--quiet), with an optional one-letter alias (-q).
  void Flag(const QString& name, const QString& alias = {});
  // An option that takes a value: "--out FILE" or "--out=FILE". `valueName` shows in messages.
  void Value(const QString& name, const QString& valueName);

  // Splits the arguments. --help and -h anywhere give kHelp, --version kVersion (the caller
  // prints the help it finds fitting, with Positional() known). An unknown option, an option
  // without its value or an option given twice is reported on stderr and gives kUsageError.
  // "--" ends the options; "-" and negative numbers are positional.
  TResult Parse(const QStringList& args);

  bool Has(const QString& name) const { return values_.count(name) > 0; }
  QString Get(const QString& name, const QString& fallback = {}) const;
  const QStringList& Positional() const { return positional_; }
  const QString& Who() const { return who_; }

  // Reports a usage error of this command (see UsageError); returns kExitUsage.
  int Usage(const QString& message) const { return UsageError(who_, message); }
  // For results other than kRun: prints the help or version and gives the exit code.
  int Finish(TResult result, const QString& help) const;

 private:
  struct Spec {
    bool takesValue = false;
    QString valueName;
  };
  const Spec* Find(const QString& name) const;
  bool Split(const QStringList& args, bool report);

  QString who_;
  std::map<QString, Spec> specs_;
  std::map<QString, QString> aliases_;
  std::map<QString, QString> values_;
  QStringList positional_;
};

// Reads a whole number in [min, max]; nullopt when the text is not one.
std::optional<qint64> ParseNumber(const QString& text, qint64 min, qint64 max);

// A service URL as the service prints it: http or https, a host, optionally a port and a
// path, and nothing else (no user, query or fragment). A text without a scheme is refused.
// False with the reason in `error`.
bool ParseServiceURL(const QString& text, QUrl& url, QString& error);


// A folder argument made absolute against the current folder.
QString AbsolutePath(const QString& path);

}  // namespace cvtool
