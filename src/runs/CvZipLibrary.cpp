#include "CvZipLibrary.h"

#include "CvLibLaterLibrary.h"

namespace cvzip {

namespace {

// libzip's entry points, each typed after its declaration in the library's header.
struct TZipLibrary {
  decltype(&::zip_open) open = nullptr;
  decltype(&::zip_discard) discard = nullptr;
  decltype(&::zip_get_num_entries) numEntries = nullptr;
  decltype(&::zip_stat_index) statIndex = nullptr;
  decltype(&::zip_get_name) getName = nullptr;
  decltype(&::zip_file_get_external_attributes) externalAttributes = nullptr;
  decltype(&::zip_fopen_index) fopenIndex = nullptr;
  decltype(&::zip_fread) fread = nullptr;
  decltype(&::zip_fclose) fclose = nullptr;
  bool loaded = false;

  TZipLibrary() {
    cvlib::TLaterLibrary library(kLibraryName);
    library.Resolve(open, "zip_open");
    library.Resolve(discard, "zip_discard");
    library.Resolve(numEntries, "zip_get_num_entries");
    library.Resolve(statIndex, "zip_stat_index");
    library.Resolve(getName, "zip_get_name");
    library.Resolve(externalAttributes, "zip_file_get_external_attributes");
    library.Resolve(fopenIndex, "zip_fopen_index");
    library.Resolve(fread, "zip_fread");
    library.Resolve(fclose, "zip_fclose");
    loaded = library.AllResolved();
  }
};

const TZipLibrary& Zip() {
  static const TZipLibrary zip;  // loaded once, also when threads ask at the same time
  return zip;
}

}  // namespace

bool Loaded() { return Zip().loaded; }

zip_t* zip_open(const char* path, int flags, int* error) {
  if (Loaded()) return Zip().open(path, flags, error);
  if (error) *error = ZIP_ER_OPEN;
  return nullptr;
}

void zip_discard(zip_t* archive) {
  if (archive && Loaded()) Zip().discard(archive);
}

zip_int64_t zip_get_num_entries(zip_t* archive, zip_flags_t flags) {
  return archive && Loaded() ? Zip().numEntries(archive, flags) : -1;
}

int zip_stat_index(zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_stat_t* st) {
  return archive && Loaded() ? Zip().statIndex(archive, index, flags, st) : -1;
}

const char* zip_get_name(zip_t* archive, zip_uint64_t index, zip_flags_t flags) {
  return archive && Loaded() ? Zip().getName(archive, index, flags) : nullptr;
}

int zip_file_get_external_attributes(zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_uint8_t* opsys,
                                     zip_uint32_t* attributes) {
  return archive && Loaded() ? Zip().externalAttributes(archive, index, flags, opsys, attributes) : -1;
}

zip_file_t* zip_fopen_index(zip_t* archive, zip_uint64_t index, zip_flags_t flags) {
  return archive && Loaded() ? Zip().fopenIndex(archive, index, flags) : nullptr;
}

zip_int64_t zip_fread(zip_file_t* file, void* buffer, zip_uint64_t length) {
  return file && Loaded() ? Zip().fread(file, buffer, length) : -1;
}

int zip_fclose(zip_file_t* file) { return file && Loaded() ? Zip().fclose(file) : 0; }

}  // namespace cvzip
