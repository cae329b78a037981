#pragma once

// A full disk for the length of a scope, made with a file-size limit: a write beyond it fails
// (EFBIG) instead of ending the process.

#include <csignal>

#include <sys/resource.h>

namespace cvtest {

struct TFileSizeLimit {
  rlimit saved{};
  void (*handler)(int) = nullptr;
  explicit TFileSizeLimit(rlim_t bytes) {
    handler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;
};

}  // namespace cvtest
