// The progress display's texts and its two faces: a line redrawn in place on a terminal,
// plain lines now and then elsewhere.
#include "ConsoleProgress.h"

#include <gtest/gtest.h>

#include <cstdio>

using cvtool::TConsoleProgress;

TEST(ConsoleProgress, BytesAndDurationsForPeople) {
  const std::pair<qint64, const char*> bytes[] = {
      {0, "0 B"},           {999, "999 B"},           {1023, "1023 B"},          {1024, "1.00 KiB"},
      {1536, "1.50 KiB"},   {1023999, "1000 KiB"},    {1048576, "1.00 MiB"},      {12900000, "12.3 MiB"},
      {1024000, "0.98 MiB"}, {5368709120LL, "5.00 GiB"}, {123LL << 40, "123 TiB"}};
  for (const auto& [n, text] : bytes) EXPECT_EQ(TConsoleProgress::FormatBytes(n), text) << n;
  const std::pair<qint64, const char*> durations[] = {
      {-3, "0 s"}, {7, "7 s"}, {59, "59 s"}, {60, "1 min 00 s"}, {185, "3 min 05 s"}, {3720, "1 h 02 min"}};
  for (const auto& [s, text] : durations) EXPECT_EQ(TConsoleProgress::FormatDuration(s), text) << s;
}

TEST(ConsoleProgress, OneLineWithPercentSpeedAndTimeLeft) {
  EXPECT_EQ(TConsoleProgress::FormatLine("NL_1.qmr2", 1 << 20, 4 << 20, 512 * 1024, 100),
            "NL_1.qmr2  1.00 MiB of 4.00 MiB  25%  512 KiB/s  6 s left");
  // Speed not known yet; total not known.
  EXPECT_EQ(TConsoleProgress::FormatLine("a", 10, 100, 0, 100), "a  10 B of 100 B  10%");
  EXPECT_EQ(TConsoleProgress::FormatLine("a", 2048, -1, 1024, 100), "a  2.00 KiB  1.00 KiB/s");
  // An empty file is done, not divided by zero.
  EXPECT_EQ(TConsoleProgress::FormatLine("a", 0, 0, 0, 100), "a  0 B of 0 B  100%");
  // A long name gives way in its middle; the figures stay whole.
  const QString line = TConsoleProgress::FormatLine(QString(60, 'n') + "END", 1, 2, 0, 40);
  EXPECT_EQ(line.size(), 40);
  EXPECT_TRUE(line.endsWith("nEND  1 B of 2 B  50%")) << qPrintable(line);
  EXPECT_TRUE(line.contains(QChar(0x2026)));
}

namespace {

struct Captured {
  std::FILE* file = std::tmpfile();
  ~Captured() { std::fclose(file); }
  QString Text() const {
    std::fflush(file);
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, qsizetype(n));
    return QString::fromUtf8(bytes);
  }
};

}  // namespace

TEST(ConsoleProgress, TerminalRedrawsOneLineAndResultsDoNotTearIt) {
  Captured out;
  qint64 now = 0;
  {
    TConsoleProgress p(out.file, TConsoleProgress::kTerminal, [&] { return now; });
    p.Start("f.bin", 1000);
    p.Update(100);
    now += 50;
    p.Update(200);  // too soon to redraw
    now += 1000;
    p.Update(600);
    p.Print(out.file, "download\tf.bin");
    p.Finish();
  }
  const QString text = out.Text();
  EXPECT_EQ(text.count("\rf.bin  "), 3) << qPrintable(text);  // two draws and the redraw after the result
  EXPECT_FALSE(text.contains("200 B"));
  EXPECT_TRUE(text.contains("600 B of 1000 B  60%")) << qPrintable(text);
  EXPECT_TRUE(text.contains("\r\x1b[Kdownload\tf.bin\n")) << qPrintable(text);
  EXPECT_TRUE(text.endsWith("\r\x1b[K")) << qPrintable(text);  // nothing left drawn
}

TEST(ConsoleProgress, PlainLinesEveryFewSecondsAndQuietNothing) {
  for (const auto mode : {TConsoleProgress::kPlain, TConsoleProgress::kQuiet}) {
    Captured out;
    qint64 now = 0;
    TConsoleProgress p(out.file, mode, [&] { return now; });
    p.Start("big.zip", 100 << 20);
    for (int i = 1; i <= 120; ++i) {
      now += 100;
      p.Update(qint64(i) << 20);
    }
    p.Finish();
    const QString text = out.Text();
    if (mode == TConsoleProgress::kQuiet) {
      EXPECT_EQ(text, "");
      continue;
    }
    // 12 s of progress: lines at 5 s and 10 s, plain, no terminal codes.
    EXPECT_EQ(text.count('\n'), 2) << qPrintable(text);
    EXPECT_FALSE(text.contains('\r') || text.contains('\x1b'));
    EXPECT_TRUE(text.startsWith("big.zip  50.0 MiB of 100 MiB  50%  10.0 MiB/s  5 s left\n")) << qPrintable(text);
  }
}
