#include "CvUpdateSignature.h"

#include "CvLanguage.h"
#include "CvLibSignature.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const TLangText txtSignatureMissing = {
    "The update has no signature.", "De update heeft geen handtekening.",
    "Das Update hat keine Signatur."};
const TLangText txtSignatureMalformed = {
    "The signature of the update is damaged.", "De handtekening van de update is beschadigd.",
    "Die Signatur des Updates ist beschädigt."};
const TLangText txtSignatureMismatch = {
    "The update does not match its signature: it was changed after it was signed, or it was "
    "not signed by Corvane Software.",
    "De update komt niet overeen met zijn handtekening: hij is na het ondertekenen gewijzigd "
    "of niet door Corvane Software ondertekend.",
    "Das Update stimmt nicht mit seiner Signatur überein: Es wurde nach dem Signieren "
    "geändert oder nicht von Corvane Software signiert."};
const TLangText txtFileUnreadable = {
    "The update file cannot be read.", "Het updatebestand kan niet worden gelezen.",
    "Die Update-Datei kann nicht gelesen werden."};

// A file opened for reading without following a link and without blocking on a FIFO; -1
// when it is not a regular file.
struct TFd {
  int fd = -1;
  qint64 size = 0;
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
  bool Open(const QString& path) {
    const QByteArray native = path.toLocal8Bit();
    fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = st.st_size;
    return true;
  }
};

struct TEvpKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TEvpCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

bool Ed25519Verify(const QByteArray& publicKey, const unsigned char* signature,
                   const unsigned char* data, size_t length) {
  if (publicKey.size() != kPublicKeySize) return false;
  std::unique_ptr<EVP_PKEY, TEvpKeyFree> key(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.constData()),
      static_cast<size_t>(publicKey.size())));
  std::unique_ptr<EVP_MD_CTX, TEvpCtxFree> ctx(EVP_MD_CTX_new());
  if (!key || !ctx) return false;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature, kSignatureSize, data, length) == 1;
}

}  // namespace

QString UpdateSignaturePath(const QString& installer) { return installer + QStringLiteral(".sig"); }

QByteArray UpdatePublicKey() {
  return cvlib::VendorPublicKey();
}

TSignatureCheck VerifyFileSignature(const QString& file, const QString& signatureFile,
                                    const QByteArray& publicKey) {
  TFd data;
  if (!data.Open(file)) return scFileUnreadable;
  TFd sig;
  if (!sig.Open(signatureFile)) {
    // Anything under the name that is not a readable regular file is as good as no signature,
    // but a link or a folder there is not a missing file: call it damaged.
    struct stat st {};
    return ::lstat(signatureFile.toLocal8Bit().constData(), &st) != 0 ? scMissing : scMalformed;
  }
  if (sig.size != kSignatureSize) return scMalformed;
  unsigned char signature[kSignatureSize];
  if (::pread(sig.fd, signature, sizeof signature, 0) != kSignatureSize) return scMalformed;

  // Ed25519 signs the whole message in one pass: map the file instead of reading it into
  // memory, so that a large installer costs address space, not heap.
  if (data.size == 0) return Ed25519Verify(publicKey, signature, nullptr, 0) ? scValid : scMismatch;
  void* mapped = ::mmap(nullptr, static_cast<size_t>(data.size), PROT_READ, MAP_PRIVATE, data.fd, 0);
  if (mapped == MAP_FAILED) return scFileUnreadable;
  const bool ok = Ed25519Verify(publicKey, signature, static_cast<const unsigned char*>(mapped),
                                static_cast<size_t>(data.size));
  ::munmap(mapped, static_cast<size_t>(data.size));
  return ok ? scValid : scMismatch;
}

TSignatureCheck VerifyUpdateFile(const QString& installer) {
  return VerifyFileSignature(installer, UpdateSignaturePath(installer), UpdatePublicKey());
}

QString SignatureCheckText(TSignatureCheck check) {
  switch (check) {
    case scValid: break;
    case scMissing: return LangText(txtSignatureMissing);
    case scMalformed: return LangText(txtSignatureMalformed);
    case scMismatch: return LangText(txtSignatureMismatch);
    case scFileUnreadable: return LangText(txtFileUnreadable);
  }
  return {};
}
