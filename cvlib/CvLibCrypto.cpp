#include "CvLibCrypto.h"
#include "CvLibLaterLibrary.h"

namespace cvcrypto {

namespace {

// libcrypto's entry points, each typed after its declaration in the library's header.
struct TCrypto {
  decltype(&::EVP_MD_CTX_new) mdCtxNew = nullptr;
  decltype(&::EVP_MD_CTX_free) mdCtxFree = nullptr;
  decltype(&::EVP_sha256) sha256 = nullptr;
  decltype(&::EVP_DigestInit_ex) digestInit = nullptr;
  decltype(&::EVP_DigestUpdate) digestUpdate = nullptr;
  decltype(&::EVP_DigestFinal_ex) digestFinal = nullptr;
  decltype(&::EVP_Digest) digest = nullptr;
  decltype(&::EVP_PKEY_new_raw_public_key) pkeyNewRawPublic = nullptr;
  decltype(&::EVP_PKEY_free) pkeyFree = nullptr;
  decltype(&::EVP_DigestVerifyInit) verifyInit = nullptr;
  decltype(&::EVP_DigestVerify) verify = nullptr;
  bool loaded = false;

  TCrypto() {
    cvlib::TLaterLibrary library(kLibraryName);
    library.Resolve(mdCtxNew, "EVP_MD_CTX_new");
    library.Resolve(mdCtxFree, "EVP_MD_CTX_free");
    library.Resolve(sha256, "EVP_sha256");
    library.Resolve(digestInit, "EVP_DigestInit_ex");
    library.Resolve(digestUpdate, "EVP_DigestUpdate");
    library.Resolve(digestFinal, "EVP_DigestFinal_ex");
    library.Resolve(digest, "EVP_Digest");
    library.Resolve(pkeyNewRawPublic, "EVP_PKEY_new_raw_public_key");
    library.Resolve(pkeyFree, "EVP_PKEY_free");
    library.Resolve(verifyInit, "EVP_DigestVerifyInit");
    library.Resolve(verify, "EVP_DigestVerify");
    // A library that lacks one of them is used for none: a half that hashes but cannot free
    // would leak, one that verifies without a key would be worse.
    loaded = library.AllResolved();
  }
};

const TCrypto& Crypto() {
  static const TCrypto crypto;  // loaded once, also when threads ask at the same time
  return crypto;
}

}  // namespace

bool Loaded() { return Crypto().loaded; }

EVP_MD_CTX* EVP_MD_CTX_new() { return Loaded() ? Crypto().mdCtxNew() : nullptr; }

void EVP_MD_CTX_free(EVP_MD_CTX* ctx) {
  if (ctx && Loaded()) Crypto().mdCtxFree(ctx);
}

const EVP_MD* EVP_sha256() { return Loaded() ? Crypto().sha256() : nullptr; }

int EVP_DigestInit_ex(EVP_MD_CTX* ctx, const EVP_MD* type, ENGINE* impl) {
  return ctx && type && Loaded() ? Crypto().digestInit(ctx, type, impl) : 0;
}

int EVP_DigestUpdate(EVP_MD_CTX* ctx, const void* data, size_t count) {
  return ctx && Loaded() ? Crypto().digestUpdate(ctx, data, count) : 0;
}

int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* md, unsigned int* size) {
  if (size) *size = 0;
  return ctx && Loaded() ? Crypto().digestFinal(ctx, md, size) : 0;
}

int EVP_Digest(const void* data, size_t count, unsigned char* md, unsigned int* size, const EVP_MD* type,
               ENGINE* impl) {
  if (size) *size = 0;
  return type && Loaded() ? Crypto().digest(data, count, md, size, type, impl) : 0;
}

EVP_PKEY* EVP_PKEY_new_raw_public_key(int type, ENGINE* engine, const unsigned char* key, size_t length) {
  return Loaded() ? Crypto().pkeyNewRawPublic(type, engine, key, length) : nullptr;
}

void EVP_PKEY_free(EVP_PKEY* key) {
  if (key && Loaded()) Crypto().pkeyFree(key);
}

int EVP_DigestVerifyInit(EVP_MD_CTX* ctx, EVP_PKEY_CTX** pctx, const EVP_MD* type, ENGINE* engine, EVP_PKEY* key) {
  return ctx && key && Loaded() ? Crypto().verifyInit(ctx, pctx, type, engine, key) : 0;
}

int EVP_DigestVerify(EVP_MD_CTX* ctx, const unsigned char* signature, size_t signatureLength,
                     const unsigned char* data, size_t length) {
  return ctx && Loaded() ? Crypto().verify(ctx, signature, signatureLength, data, length) : 0;
}

}  // namespace cvcrypto
