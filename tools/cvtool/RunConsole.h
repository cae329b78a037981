#pragma once

// The console face of a run: on a terminal one line that is redrawn (total, current file,
// speed and time left); otherwise one line per file, for logs and scripts. Message boxes are
// printed to stderr and answered without a person (RunConsoleAnswers).

#include "CvMsgBoxPresenter.h"
#include "CvRunProgress.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

class TRunConsole final : public TRunProgress {
 public:
  // quiet: nothing but what the caller prints itself.
  TRunConsole(std::FILE* out, bool quiet);
  ~TRunConsole() override;

  void SetSingleHeader(const QString& text) override;
  void SetSingleText(const QString& text) override;
  void SetSingleMax(int value) override { fSingleMax = value; }
  void SetSinglePosition(int value) override;
  void SetTotalText(const QString& text) override;
  void SetTotalMax(int value) override { fTotalMax = value; }
  void SetTotalPosition(int value) override;
  int TotalPosition() const override { return fTotalPosition; }
  void SetTotalRate(double bytesPerSecond, double secondsLeft) override;
  void FileNotice(TRunFileAction action, const QString& path, std::int64_t size, const QString& detail) override;

  // Ends the redrawn line (before other output).
  void EndLine();

 private:
  void Draw(bool force);

  std::FILE* fOut;
  bool fTerminal;
  bool fQuiet;
  QString fHeader, fSingle, fTotal, fRate;
  int fSingleMax = 100, fSinglePosition = 0, fTotalMax = 0, fTotalPosition = 0;
  bool fLineOpen = false;
  QElapsedTimer fDrawClock;
  QElapsedTimer fFlushClock;
};

// Answers the boxes of an unattended run and prints each to stderr: a confirmation (a backup
// found in the folder is updated, an overwrite) is Yes, the summary's "Return to start page?"
// and other Yes/No boxes are No, a box with OK is OK.
int RunConsoleAnswers(const TMsgBoxRequest& request);
