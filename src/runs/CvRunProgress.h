#pragma once

// What a run shows while it works: the eight operations of the progress page (a single group
// for the current item or file, a total group for the whole run). The progress page implements
// it in the wizard, the console display in cvtool. The two optional notices at the end carry
// what only some faces show: the speed and time left beside the total line, and one notice a
// file for a log.

#include <QString>

#include <cstdint>

enum class TRunFileAction {
  Fetch,    // a download starts
  Current,  // the local copy is current; nothing is fetched
  Copy,     // a copy from a backup starts
  Done,     // the file arrived (downloaded or copied and checked)
  Failed,   // it did not; detail holds why
};

class TRunProgress {
 public:
  virtual ~TRunProgress() = default;

  virtual void SetSingleHeader(const QString& text) = 0;
  virtual void SetSingleText(const QString& text) = 0;
  virtual void SetSingleMax(int value) = 0;
  virtual void SetSinglePosition(int value) = 0;
  virtual void SetTotalText(const QString& text) = 0;
  virtual void SetTotalMax(int value) = 0;
  virtual void SetTotalPosition(int value) = 0;
  virtual int TotalPosition() const = 0;

  // Bytes a second over the transfers of the run so far, and the seconds the rest will take
  // at that speed; both negative while unknown (nothing transferred yet).
  virtual void SetTotalRate(double bytesPerSecond, double secondsLeft) {
    (void)bytesPerSecond;
    (void)secondsLeft;
  }

  // One notice a file: path is where the file goes (or lies, for Current).
  virtual void FileNotice(TRunFileAction action, const QString& path, std::int64_t size, const QString& detail) {
    (void)action;
    (void)path;
    (void)size;
    (void)detail;
  }
};

// A progress that shows nothing but keeps the total bar, for runs nobody watches.
class TNullRunProgress final : public TRunProgress {
 public:
  void SetSingleHeader(const QString&) override {}
  void SetSingleText(const QString&) override {}
  void SetSingleMax(int) override {}
  void SetSinglePosition(int) override {}
  void SetTotalText(const QString&) override {}
  void SetTotalMax(int) override {}
  void SetTotalPosition(int value) override { fTotal = value; }
  int TotalPosition() const override { return fTotal; }

 private:
  int fTotal = 0;
};
