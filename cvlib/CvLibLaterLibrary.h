#pragma once

// A shared library loaded at its first use instead of with the program, and its entry points
// looked up by name. Never closed: what it hands out (contexts, keys, open archives) may
// outlive any caller. A library that lacks one entry point is used for none (AllResolved).

#include <dlfcn.h>

namespace cvlib {

class TLaterLibrary {
 public:
  explicit TLaterLibrary(const char* name) : handle_(::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}

  // entry := the library's `symbol`, typed as the caller declared it; nullptr when missing.
  template <typename TEntry>
  void Resolve(TEntry& entry, const char* symbol) {
    entry = handle_ ? reinterpret_cast<TEntry>(::dlsym(handle_, symbol)) : nullptr;
    all_ = all_ && entry;
  }

  // The library was found and every entry asked for so far is there.
  bool AllResolved() const { return handle_ && all_; }

 private:
  void* handle_;
  bool all_ = true;
};

}  // namespace cvlib
