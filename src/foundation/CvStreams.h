#pragma once

// A file stream with one window of buffered bytes, used for downloads and chart files.

#include <QString>

#include <cstdint>
#include <memory>

// Open modes. fmCreate creates the file (emptying one that exists); the others open an
// existing file. Bits above the access bits (sharing) are accepted and have no effect here.
constexpr unsigned fmCreate = 0xFFFF;
constexpr unsigned fmOpenRead = 0;
constexpr unsigned fmOpenWrite = 1;
constexpr unsigned fmOpenReadWrite = 2;

// Stream origins for Seek.
constexpr int soFromBeginning = 0;
constexpr int soFromCurrent = 1;
constexpr int soFromEnd = 2;

// Reads and writes go through a window of buffer-size bytes aligned on a multiple of the
// buffer size; a window changed in memory is written back when the position leaves it, on
// Flush and on Close. Aligned writes and reads larger than the buffer bypass it.
// Every failure raises EStreamError naming the full file name. Call Close to learn whether
// the last bytes reached the disk: the destructor closes too, but can report nothing.
class TBufferedFileStream final {
 public:
  // The buffer size is rounded up to a multiple of 1024 (at least 1024); above 31 KB it is
  // 32768. Raises "Cannot create file <name>" / "Cannot open file <name>"; only regular
  // files open.
  TBufferedFileStream(const QString& fileName, int bufferSize, unsigned mode);
  ~TBufferedFileStream();
  TBufferedFileStream(const TBufferedFileStream&) = delete;
  TBufferedFileStream& operator=(const TBufferedFileStream&) = delete;

  // Reads up to count bytes, fewer at the end of the file; returns the number read.
  std::int64_t Read(void* buffer, std::int64_t count);
  // Writes count bytes (all of them, or raises); returns count.
  std::int64_t Write(const void* buffer, std::int64_t count);
  // Origin 0 = start, 1 = current position, 2 = end; the target must lie in 0..Size().
  // Returns the new position.
  std::int64_t Seek(std::int64_t offset, int origin);
  std::int64_t Position() const { return position_; }
  std::int64_t Size() const { return fileSize_; }
  // Cuts or extends (with zero bytes) the file; a position beyond the new end moves to it.
  void SetSize(std::int64_t size);
  // Writes the window back if changed and has the system write the file to the disk.
  void Flush();
  // Flushes and closes; the handle is closed even when flushing fails (which then raises).
  // Further calls do nothing.
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  int BufferSize() const { return bufferSize_; }
  // The full file name, as used in error texts.
  const QString& FileName() const { return fileName_; }

 private:
  [[noreturn]] void Fail(const char* text) const;
  void CheckOpen() const;
  // Makes the window the one holding `pos`, writing a changed one back first.
  void MoveWindow(std::int64_t pos);
  // Reads the window's bytes from the file unless it holds them already.
  void LoadWindow();
  void WriteBack();
  void ReadAt(std::int64_t offset, char* data, std::int64_t count);
  void WriteAt(std::int64_t offset, const char* data, std::int64_t count);
  // Starts the system writing what has piled up, so that the sync on closing finds little left.
  void StartWriteBehind(std::int64_t count);

  QString fileName_;
  int fd_ = -1;
  bool writable_ = false;
  int bufferSize_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::int64_t windowStart_ = 0;  // file offset of buffer_[0], a multiple of bufferSize_
  std::int64_t windowLength_ = 0; // valid bytes in the window once loaded
  bool windowLoaded_ = false;     // the window holds every byte of the file in its range
  bool dirty_ = false;            // the window differs from the file
  std::int64_t position_ = 0;
  std::int64_t fileSize_ = 0;
  std::int64_t unsynced_ = 0;     // bytes handed to the system since writing out last started
};
