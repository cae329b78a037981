#include "ConsoleProgress.h"

#include <QElapsedTimer>

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>

namespace cvtool {

namespace {

constexpr qint64 kRedrawMs = 100;        // terminal: at most ten redraws a second
constexpr qint64 kPlainEveryMs = 5000;   // plain: a line every five seconds of one item
constexpr qint64 kSpeedWindowMs = 4000;  // speed over the last seconds, not the whole item

qint64 SteadyMs() {
  static QElapsedTimer timer;
  if (!timer.isValid()) timer.start();
  return timer.elapsed();
}

void Write(std::FILE* to, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

}  // namespace

TConsoleProgress::TMode TConsoleProgress::ModeFor(std::FILE* stream, bool quiet) {
  if (quiet) return kQuiet;
  return isatty(fileno(stream)) ? kTerminal : kPlain;
}

TConsoleProgress::TConsoleProgress(std::FILE* stream, TMode mode, TClock clock)
    : stream_(stream), mode_(mode), clock_(clock ? std::move(clock) : TClock(SteadyMs)) {}

TConsoleProgress::~TConsoleProgress() { Clear(); }

void TConsoleProgress::Start(const QString& name, qint64 total) {
  Clear();
  name_ = name;
  total_ = total;
  done_ = 0;
  startedAt_ = clock_();
  lastDraw_ = -1;
  samples_.clear();
  samples_.emplace_back(startedAt_, 0);
  running_ = true;
}

void TConsoleProgress::Update(qint64 done) {
  if (!running_ || mode_ == kQuiet) return;
  const qint64 now = clock_();
  done_ = done;
  samples_.emplace_back(now, done);
  while (samples_.size() > 2 && samples_.front().first < now - kSpeedWindowMs) samples_.pop_front();
  if (mode_ == kTerminal) {
    if (lastDraw_ >= 0 && now - lastDraw_ < kRedrawMs) return;
    lastDraw_ = now;
    Draw();
  } else if (now - (lastDraw_ >= 0 ? lastDraw_ : startedAt_) >= kPlainEveryMs) {
    lastDraw_ = now;
    Write(stream_, FormatLine(name_, done_, total_, Speed(), 1000) + QLatin1Char('\n'));
    std::fflush(stream_);
  }
}

void TConsoleProgress::Finish() {
  Clear();
  running_ = false;
}

void TConsoleProgress::Print(std::FILE* to, const QString& line) {
  // A line to a file or pipe does not reach the drawn line's terminal: nothing to tidy.
  if (to != stream_ && !isatty(fileno(to))) {
    Write(to, line + QLatin1Char('\n'));
    std::fflush(to);
    return;
  }
  const bool redraw = drawn_;
  if (mode_ == kTerminal) Clear();
  Write(to, line + QLatin1Char('\n'));
  std::fflush(to);
  if (redraw && running_) Draw();
}

void TConsoleProgress::Clear() {
  if (!drawn_) return;
  Write(stream_, QStringLiteral("\r\x1b[K"));
  std::fflush(stream_);
  drawn_ = false;
}

double TConsoleProgress::Speed() const {
  if (samples_.size() < 2) return 0;
  const auto& [t0, b0] = samples_.front();
  const auto& [t1, b1] = samples_.back();
  if (t1 - t0 < 500) return 0;  // too soon to say
  return static_cast<double>(b1 - b0) * 1000.0 / static_cast<double>(t1 - t0);
}

int TConsoleProgress::Width() const {
  winsize size{};
  if (ioctl(fileno(stream_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void TConsoleProgress::Draw() {
  // One column short of the width: a full line would wrap on some terminals.
  Write(stream_, QStringLiteral("\r") + FormatLine(name_, done_, total_, Speed(), Width() - 1) +
                     QStringLiteral("\x1b[K"));
  std::fflush(stream_);
  drawn_ = true;
}

QString TConsoleProgress::FormatBytes(qint64 bytes) {
  if (bytes < 1024) return QStringLiteral("%1 B").arg(bytes);
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1000.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  // Three significant digits: 1.50, 12.3, 123.
  const int decimals = value < 10 ? 2 : value < 100 ? 1 : 0;
  QString number = QString::number(value, 'f', decimals);
  return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString TConsoleProgress::FormatDuration(qint64 seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 60) return QStringLiteral("%1 s").arg(seconds);
  if (seconds < 3600)
    return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString TConsoleProgress::FormatLine(const QString& name, qint64 done, qint64 total, double bytesPerSecond,
                                     int width) {
  QString figures = QStringLiteral("  ") + FormatBytes(done);
  if (total >= 0) {
    const qint64 percent = total > 0 ? std::min<qint64>(100, done * 100 / total) : 100;
    figures += QStringLiteral(" of %1  %2%").arg(FormatBytes(total)).arg(percent);
  }
  if (bytesPerSecond >= 1) {
    figures += QStringLiteral("  %1/s").arg(FormatBytes(static_cast<qint64>(bytesPerSecond)));
    if (total >= done && total >= 0)
      figures += QStringLiteral("  %1 left")
                     .arg(FormatDuration(static_cast<qint64>(std::ceil(static_cast<double>(total - done) / bytesPerSecond))));
  }
  QString shown = name;
  const int room = std::max(8, width - static_cast<int>(figures.size()));
  if (shown.size() > room) {
    const int keep = room - 1;
    shown = shown.left(keep / 2) + QChar(0x2026) + shown.right(keep - keep / 2);
  }
  QString line = shown + figures;
  if (line.size() > width) line.truncate(std::max(0, width));
  return line;
}

}  // namespace cvtool
