// Loading the network module carried inside the library (CvLibNet.h, docs/network-module.md).
#include "CvLibNetEntries.h"

#include <QtGlobal>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The module's bytes, put here by the build (CvLibNetModule.S).
extern "C" {
extern const unsigned char cvlib_net_module[] __attribute__((visibility("hidden")));
extern const unsigned char cvlib_net_module_end[] __attribute__((visibility("hidden")));
}

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U  // kernels from 6.3 on: the memory file may be mapped to run
#endif

namespace cvlib {

HttpExchange::~HttpExchange() = default;
HttpClient::~HttpClient() = default;

std::unique_ptr<HttpClient> NewHttpClient() {
  const detail::NetEntries* net = detail::Net();
  return net ? net->newHttpClient() : nullptr;
}

namespace detail {

namespace {

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Every reference bound now: a Qt Network that lacks something the module needs is refused here,
// with a reason, and not met at a call later.
void* OpenFrom(const std::string& path, std::string& error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    error = why ? why : "dlopen failed";
  }
  return handle;
}

// From a memory file: nothing reaches the disk, and nobody else can change the bytes between
// writing and loading them.
void* LoadFromMemory(const unsigned char* data, size_t size, std::string& error) {
  int fd = ::memfd_create("CvLibNet", MFD_CLOEXEC | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = ::memfd_create("CvLibNet", MFD_CLOEXEC);  // before 6.3
  if (fd < 0) {
    error = std::string("memfd_create: ") + std::strerror(errno);
    return nullptr;
  }
  void* handle = nullptr;
  if (WriteAll(fd, data, size))
    handle = OpenFrom("/proc/self/fd/" + std::to_string(fd), error);
  else
    error = std::string("write: ") + std::strerror(errno);
  ::close(fd);
  return handle;
}

// Where memory files may not be run: a private folder of the temporary folder, removed again
// once the module is loaded.
void* LoadFromTempFile(const unsigned char* data, size_t size, std::string& error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/cvlib-net-XXXXXX";
  if (!::mkdtemp(folder.data())) {
    error = std::string("mkdtemp: ") + std::strerror(errno);
    return nullptr;
  }
  const std::string path = folder + "/libCvLibNet.so";
  void* handle = nullptr;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700);
  if (fd < 0) {
    error = std::string("open: ") + std::strerror(errno);
  } else {
    const bool written = WriteAll(fd, data, size);
    if (::close(fd) == 0 && written)
      handle = OpenFrom(path, error);
    else
      error = std::string("write: ") + std::strerror(errno);
    ::unlink(path.c_str());
  }
  ::rmdir(folder.c_str());
  return handle;
}

const NetEntries* Load() {
  const size_t size = static_cast<size_t>(cvlib_net_module_end - cvlib_net_module);
  std::string error;
  void* handle = LoadFromMemory(cvlib_net_module, size, error);
  if (!handle) {
    std::string second;
    handle = LoadFromTempFile(cvlib_net_module, size, second);
    if (!handle) error += "; " + second;
  }
  if (!handle) {
    qWarning("The network module cannot be loaded: %s", error.c_str());
    return nullptr;
  }
  const auto entries = reinterpret_cast<NetEntriesFunction>(::dlsym(handle, kNetEntriesName));
  if (!entries) {
    qWarning("The network module has no %s", kNetEntriesName);
    return nullptr;
  }
  return entries();
}

}  // namespace

const NetEntries* Net() {
  static const NetEntries* const entries = Load();
  return entries;
}

}  // namespace detail

}  // namespace cvlib
