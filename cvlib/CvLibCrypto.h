#pragma once

// The few libcrypto calls of the library and the program (SHA-256, the Ed25519 check), made
// through a libcrypto that is loaded at the first call instead of with the program: the
// wizard's first page needs neither, and loading the library with its relocations took a
// twelfth of the start. The calls keep libcrypto's names and meaning; when the library cannot
// be loaded each one fails as libcrypto's own does (nullptr, 0), so that nothing checks out
// without it.

#include <openssl/evp.h>

#include <cstddef>

namespace cvcrypto {

// The library's name as the loader looks it up; a backup's copy of the installer carries it
// (src/runs/CvProgramBundle.h).
inline constexpr char kLibraryName[] = "libcrypto.so.3";

// Loads the library if that has not been tried yet; true when it is there.
bool Loaded();

EVP_MD_CTX* EVP_MD_CTX_new();
void EVP_MD_CTX_free(EVP_MD_CTX* ctx);
const EVP_MD* EVP_sha256();
int EVP_DigestInit_ex(EVP_MD_CTX* ctx, const EVP_MD* type, ENGINE* impl);
int EVP_DigestUpdate(EVP_MD_CTX* ctx, const void* data, size_t count);
int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* md, unsigned int* size);
int EVP_Digest(const void* data, size_t count, unsigned char* md, unsigned int* size, const EVP_MD* type,
               ENGINE* impl);
EVP_PKEY* EVP_PKEY_new_raw_public_key(int type, ENGINE* engine, const unsigned char* key, size_t length);
void EVP_PKEY_free(EVP_PKEY* key);
int EVP_DigestVerifyInit(EVP_MD_CTX* ctx, EVP_PKEY_CTX** pctx, const EVP_MD* type, ENGINE* engine, EVP_PKEY* key);
int EVP_DigestVerify(EVP_MD_CTX* ctx, const unsigned char* signature, size_t signatureLength,
                     const unsigned char* data, size_t length);

}  // namespace cvcrypto
