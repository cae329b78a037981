#pragma once

// Chart files and the chart information cache.
//
// A chart file (".qmr2") begins with a 16-byte header: the 4 bytes "QMR2", then little-endian
// uint32 format version (1), int32 product number and int32 module number; the chart data
// follows. The cache keeps the header of every chart it has read, keyed by the file's full
// path, and trusts an entry while the file's size and modification time (in nanoseconds) are
// unchanged, so that a warm start costs one stat per chart file and opens none of them.
// The cache file format is written down in docs/installed-products.md.
// A cache object is used by one thread at a time.

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace cvlib {

// The header of a chart file as the cache knows it.
class TQMR2ChartHeader {
 public:
  TQMR2ChartHeader() = default;
  TQMR2ChartHeader(std::uint32_t formatVersion, std::int32_t productNumber, std::int32_t moduleNumber)
      : formatVersion_(formatVersion), productNumber_(productNumber), moduleNumber_(moduleNumber) {}

  std::uint32_t FormatVersion() const { return formatVersion_; }
  std::int32_t ProductNumber() const { return productNumber_; }
  // Bit index of the chart's module within its product.
  std::int32_t ModuleNumber() const { return moduleNumber_; }

 private:
  std::uint32_t formatVersion_ = 0;
  std::int32_t productNumber_ = 0;
  std::int32_t moduleNumber_ = 0;
};

// What the cache knows of one chart file. Owned by the cache; valid as long as the cache.
class TQMR2ChartCacheImpl;

class TQMR2ChartInfo {
 public:
  const QString& FileName() const { return fileName_; }
  const TQMR2ChartHeader& Header() const { return header_; }
  qint64 FileSize() const { return fileSize_; }
  // Modification time in nanoseconds since 1970.
  qint64 ModifiedNs() const { return modifiedNs_; }

 private:
  friend class TQMR2ChartCacheImpl;
  QString fileName_;
  TQMR2ChartHeader header_;
  qint64 fileSize_ = 0;
  qint64 modifiedNs_ = 0;
};

class TQMR2ChartCache {
 public:
  virtual ~TQMR2ChartCache() = default;

  // The chart information of a file given by its full path, read from the file's header or
  // taken from the cache when the file's size and modification time are unchanged. nullptr
  // with error ceChartNotFound, ceChartRead, ceChartShort, ceChartBadMagic or ceChartVersion
  // when the header cannot be had. The object returned is owned by the cache and stays valid
  // (and at the same address) for the cache's life; a later call for the same file may
  // update it.
  virtual TQMR2ChartInfo* GetChartInfo(const QString& fullPath, int& error) = 0;

  // GetChartInfo for every path in turn, with the same results (infos and errors get one
  // element per path, in order), only faster for many charts: a few threads look at the files
  // side by side, each looking up a folder once for the files in it. Returns when all is done.
  virtual void GetChartInfos(const std::vector<QString>& fullPaths, std::vector<TQMR2ChartInfo*>& infos,
                             std::vector<int>& errors) = 0;

  // Writes the cache file (temporary file, then rename): an entry for every chart whose
  // information was handed out by this cache object. Nothing is written when the file on disk
  // already says exactly that. ceChartCacheWrite when the file or its folder cannot be written.
  virtual int SaveCache() = 0;

  virtual const QString& CacheFile() const = 0;

  // Takes the header of a chart file the caller has just written (its first bytes still in
  // hand, see ParseChartHeader) with the file's size and modification time, so that
  // GetChartInfo need not open the file again. The first GetChartInfo after it takes the entry
  // as it is (the caller has just set the file's size and time); later ones trust it like one
  // read from the file: while the file's size and time are these.
  virtual void PutChartInfo(const QString& fullPath, const TQMR2ChartHeader& header, qint64 fileSize,
                            qint64 modifiedNs) = 0;
};

// The header of a chart file from its first bytes: ceOK, or ceChartShort, ceChartBadMagic or
// ceChartVersion as GetChartInfo would say for a file that begins with them (all of it when
// shorter than a header).
int ParseChartHeader(const QByteArray& bytes, TQMR2ChartHeader& header);

// A cache on cacheFile for the program of the given packed version. A missing, truncated,
// damaged or foreign cache file, or one written by another program version, counts as empty;
// this never fails.
std::unique_ptr<TQMR2ChartCache> QMR2ChartCacheCreate(const QString& cacheFile,
                                                      std::uint32_t programVersion);

// Writes a chart file: the header with format version 1, then dataBytes bytes of chart data
// (a fixed pattern). Makes the missing folders. For tests, the demo catalogue and benchmarks.
int WriteChartFile(const QString& path, std::int32_t productNumber, std::int32_t moduleNumber,
                   qint64 dataBytes = 0);

}  // namespace cvlib
