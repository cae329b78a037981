// Writes a file through TBufferedFileStream the way a download does (8192-byte buffer,
// chunks as they arrive), then reads it back; prints seconds for each, for bench/streams/run.
//   bench_streams FILE MEGABYTES CHUNK
#include "CvErrors.h"
#include "CvStreams.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_streams FILE MEGABYTES CHUNK\n");
    return 2;
  }
  const QString path = QString::fromLocal8Bit(argv[1]);
  const std::int64_t total = std::atoll(argv[2]) * 1024 * 1024;
  const std::int64_t chunk = std::atoll(argv[3]);
  if (total <= 0 || chunk <= 0) return 2;
  std::vector<char> data(static_cast<size_t>(chunk), 'x');
  try {
    QElapsedTimer timer;
    timer.start();
    {
      TBufferedFileStream stream(path, 8192, fmCreate);
      for (std::int64_t done = 0; done < total; done += chunk)
        stream.Write(data.data(), std::min(chunk, total - done));
      stream.Close();  // includes fsync, as the download's rename into place needs it
    }
    const double writeSeconds = timer.nsecsElapsed() / 1e9;
    timer.restart();
    std::int64_t read = 0;
    {
      TBufferedFileStream stream(path, 8192, fmOpenRead);
      while (const std::int64_t n = stream.Read(data.data(), chunk)) read += n;
    }
    const double readSeconds = timer.nsecsElapsed() / 1e9;
    if (read != total) {
      std::fprintf(stderr, "read %lld of %lld bytes\n", static_cast<long long>(read),
                   static_cast<long long>(total));
      return 1;
    }
    std::printf("%.3f %.3f\n", writeSeconds, readSeconds);
  } catch (const ECvError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
