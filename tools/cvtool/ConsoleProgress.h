#pragma once

// Progress of long operations for people on the console. On a terminal: one line redrawn in
// place with the item's name, bytes with units, percent, speed and time left. On anything else
// (a file, a pipe): a plain line every few seconds while an item runs long. Quiet: nothing.
// Lines of results go through Print, so that they never tear the drawn line.

#include <QString>

#include <cstdio>
#include <deque>
#include <functional>
#include <utility>

namespace cvtool {

class TConsoleProgress final {
 public:
  enum TMode { kTerminal, kPlain, kQuiet };
  // Milliseconds of a steady clock; replaceable for tests.
  using TClock = std::function<qint64()>;

  // kQuiet when quiet, else kTerminal when the stream is a terminal, else kPlain.
  static TMode ModeFor(std::FILE* stream, bool quiet);

  TConsoleProgress(std::FILE* stream, TMode mode, TClock clock = {});
  ~TConsoleProgress();
  TConsoleProgress(const TConsoleProgress&) = delete;
  TConsoleProgress& operator=(const TConsoleProgress&) = delete;

  TMode Mode() const { return mode_; }

  // A new item: its name and total size in bytes (-1 when unknown).
  void Start(const QString& name, qint64 total);
  // Bytes of the current item so far. Redraws at most ten times a second.
  void Update(qint64 done);
  // The item ended; the drawn line goes (the caller prints the result).
  void Finish();
  // Writes a line (a line break is added) to `to`, clearing and then redrawing the progress
  // line when `to` is the display's stream or a terminal.
  void Print(std::FILE* to, const QString& line);
  // Removes the drawn line, e.g. before a message about an interruption.
  void Clear();

  // "0 B", "999 B", "1.5 KiB", "12.3 MiB", "1.02 GiB": three significant digits, binary units.
  static QString FormatBytes(qint64 bytes);
  // "7 s", "3 min 05 s", "1 h 02 min".
  static QString FormatDuration(qint64 seconds);
  // "name  12.3 MiB of 100 MiB  12%  1.50 MiB/s  1 min 02 s left", at most `width` characters
  // (the name is shortened in its middle). A speed of 0 leaves speed and time left out; an
  // unknown total (-1) leaves the total, percent and time left out.
  static QString FormatLine(const QString& name, qint64 done, qint64 total, double bytesPerSecond, int width);

 private:
  double Speed() const;
  void Draw();
  int Width() const;

  std::FILE* stream_;
  TMode mode_;
  TClock clock_;
  QString name_;
  qint64 total_ = -1;
  qint64 done_ = 0;
  qint64 startedAt_ = 0;
  qint64 lastDraw_ = -1;
  bool drawn_ = false;
  bool running_ = false;
  std::deque<std::pair<qint64, qint64>> samples_;  // (time, bytes) of the last seconds
};

}  // namespace cvtool
