#pragma once

// The libzip calls of the add-on extraction, made through a libzip that is loaded at the first
// call instead of with the program: only add-ons need it, and libzip brings libcrypto along,
// which with its relocations took a tenth of the wizard's start. The calls keep libzip's
// names and meaning; when the library cannot be loaded zip_open fails (ZIP_ER_OPEN) and so
// does every other call.

#include <zip.h>

namespace cvzip {

// The library's name as the loader looks it up; a backup's copy of the installer carries it
// (CvProgramBundle.h).
inline constexpr char kLibraryName[] = "libzip.so.4";

// Loads the library if that has not been tried yet; true when it is there.
bool Loaded();

zip_t* zip_open(const char* path, int flags, int* error);
void zip_discard(zip_t* archive);
zip_int64_t zip_get_num_entries(zip_t* archive, zip_flags_t flags);
int zip_stat_index(zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_stat_t* st);
const char* zip_get_name(zip_t* archive, zip_uint64_t index, zip_flags_t flags);
int zip_file_get_external_attributes(zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_uint8_t* opsys,
                                     zip_uint32_t* attributes);
zip_file_t* zip_fopen_index(zip_t* archive, zip_uint64_t index, zip_flags_t flags);
zip_int64_t zip_fread(zip_file_t* file, void* buffer, zip_uint64_t length);
int zip_fclose(zip_file_t* file);

}  // namespace cvzip
