#include "RunConsole.h"

#include "CvStrUtils.h"
#include "LineOutput.h"

#include <cmath>
#include <unistd.h>

namespace {
QString RateText(double bytesPerSecond);
QString DurationText(double seconds);
}  // namespace

TRunConsole::TRunConsole(std::FILE* out, bool quiet)
    : fOut(out), fTerminal(!quiet && ::isatty(fileno(out)) == 1), fQuiet(quiet) {
  fDrawClock.start();
}

TRunConsole::~TRunConsole() { EndLine(); }

void TRunConsole::SetSingleHeader(const QString& text) {
  fHeader = text;
  Draw(false);
}

void TRunConsole::SetSingleText(const QString& text) {
  fSingle = text;
  Draw(false);
}

void TRunConsole::SetSinglePosition(int value) {
  fSinglePosition = value;
  Draw(false);
}

void TRunConsole::SetTotalText(const QString& text) {
  fTotal = text;
  Draw(false);
}

void TRunConsole::SetTotalPosition(int value) {
  fTotalPosition = value;
  Draw(false);
}

void TRunConsole::SetTotalRate(double bytesPerSecond, double secondsLeft) {
  fRate = bytesPerSecond > 0 ? RateText(bytesPerSecond) + QStringLiteral(", ") + DurationText(secondsLeft) +
                                   QStringLiteral(" left")
                             : QString();
  Draw(false);
}

void TRunConsole::FileNotice(TRunFileAction action, const QString& path, std::int64_t size,
                                  const QString& detail) {
  if (fQuiet) return;
  if (fTerminal) {
    if (action == TRunFileAction::Failed) {
      EndLine();
      WriteLine(fOut, QStringLiteral("failed\t%1\t%2").arg(EscapeForLine(path), EscapeForLine(detail)));
    }
    return;
  }
  const char* word = "";
  switch (action) {
    case TRunFileAction::Fetch: word = "fetch"; break;
    case TRunFileAction::Current: word = "current"; break;
    case TRunFileAction::Copy: word = "copy"; break;
    case TRunFileAction::Done: word = "done"; break;
    case TRunFileAction::Failed: word = "failed"; break;
  }
  QString line = QString::fromLatin1(word) + u'\t' + QString::number(size) + u'\t' + EscapeForLine(path);
  if (!detail.isEmpty()) line += u'\t' + EscapeForLine(detail);
  WriteLine(fOut, line);
  // A reader follows the run line by line; a burst of current files (thousands a second) goes
  // out a few times a second instead of a write each.
  if (action != TRunFileAction::Current || !fFlushClock.isValid() || fFlushClock.elapsed() >= 100) {
    std::fflush(fOut);
    fFlushClock.start();
  }
}

void TRunConsole::Draw(bool force) {
  if (!fTerminal) return;
  if (!force && fDrawClock.isValid() && fDrawClock.elapsed() < 100) return;
  fDrawClock.restart();
  QString line = QStringLiteral("[%1/%2] %3").arg(fTotalPosition).arg(fTotalMax).arg(fTotal);
  if (!fRate.isEmpty()) line += QStringLiteral(" (") + fRate + u')';
  if (!fSingle.isEmpty()) line += QStringLiteral(" | ") + fSingle;
  line.replace(u'\r', u' ').replace(u'\n', u' ');
  if (line.size() > 150) line = line.left(147) + QStringLiteral("...");
  const QByteArray bytes = "\r\033[K" + line.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), fOut);
  std::fflush(fOut);
  fLineOpen = true;
}

void TRunConsole::EndLine() {
  if (!fLineOpen) return;
  Draw(true);
  std::fputc('\n', fOut);
  std::fflush(fOut);
  fLineOpen = false;
}

int RunConsoleAnswers(const TMsgBoxRequest& request) {
  int answer = MsgButtonResult(MsgDefaultButton(request.buttons));
  const TMsgDlgButtons yesNo = MsgButton(mbYes) | MsgButton(mbNo);
  if ((request.buttons & yesNo) == yesNo) answer = request.kind == mtConfirmation ? mrYes : mrNo;
  QString text = request.text;
  text.replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(u'\n', u' ');
  const char* word = answer == mrYes ? "Yes" : answer == mrNo ? "No" : answer == mrOk ? "OK" : "";
  std::fflush(stdout);
  WriteLine(stderr, QStringLiteral("%1: %2 [%3]").arg(request.caption, text, QString::fromLatin1(word)));
  return answer;
}

namespace {

// "1.5 MB/s" and "1:05" style texts.
QString RateText(double bytesPerSecond) {
  return SizeToStr(0, 1, false, static_cast<std::int64_t>(bytesPerSecond)) + QStringLiteral("/s");
}

QString DurationText(double seconds) {
  if (!(seconds >= 0) || seconds > 99 * 3600) return QStringLiteral("--:--");
  const auto s = static_cast<long long>(std::llround(seconds));
  if (s >= 3600) return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace
