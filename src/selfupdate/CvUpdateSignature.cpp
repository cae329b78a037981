#include "CvUpdateSignature.h"

#include "CvLanguage.h"
#include "CvLibCrypto.h"
#include "CvLibFileIo.h"
#include "CvLibSignature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

constexpr char kManifestMagic[] = "Corvane update manifest 1";
// A manifest is a few hundred bytes; anything much bigger under its name is not one.
constexpr qint64 kMaxManifestSize = 4096;

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
const TLangText txtHashMismatch = {
    "The update does not match its signature: it was changed after it was signed.",
    "De update komt niet overeen met zijn handtekening: hij is na het ondertekenen gewijzigd.",
    "Das Update stimmt nicht mit seiner Signatur überein: Es wurde nach dem Signieren geändert."};
const TLangText txtOtherProduct = {
    "The update was signed for another product, not for this program.",
    "De update is voor een ander product ondertekend, niet voor dit programma.",
    "Das Update wurde für ein anderes Produkt signiert, nicht für dieses Programm."};
const TLangText txtNotNewer = {
    "The update is not newer than this program: it was signed for an older or the same "
    "version, and an earlier release is never installed as an update.",
    "De update is niet nieuwer dan dit programma: hij is voor een oudere of dezelfde versie "
    "ondertekend, en een eerdere uitgave wordt nooit als update geïnstalleerd.",
    "Das Update ist nicht neuer als dieses Programm: Es wurde für eine ältere oder dieselbe "
    "Version signiert, und eine frühere Ausgabe wird nie als Update installiert."};
const TLangText txtFileUnreadable = {
    "The update file cannot be read.", "Het updatebestand kan niet worden gelezen.",
    "Die Update-Datei kann nicht gelesen werden."};

// A file opened for reading without following a link and without blocking on a FIFO; -1
// when it is not a regular file.
struct TReadFile {
  cvlib::TFd file{-1};
  int& fd = file.fd;
  qint64 size = 0;
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

struct TEvpCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { cvcrypto::EVP_MD_CTX_free(ctx); }
};

// The SHA-256 of what fd reads from its current position, as lower-case hex; empty on a
// read error.
QByteArray Sha256Hex(int fd) {
  std::unique_ptr<EVP_MD_CTX, TEvpCtxFree> ctx(cvcrypto::EVP_MD_CTX_new());
  if (!ctx || cvcrypto::EVP_DigestInit_ex(ctx.get(), cvcrypto::EVP_sha256(), nullptr) != 1) return {};
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    if (got == 0) break;
    if (cvcrypto::EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) != 1) return {};
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (cvcrypto::EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};
  return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length)).toHex();
}

}  // namespace

QString UpdateSignaturePath(const QString& installer) { return installer + QStringLiteral(".sig"); }

QByteArray UpdatePublicKey() {
  return cvlib::VendorPublicKey();
}

QByteArray UpdateManifestText(const TGUID& product, TVersion version, const QByteArray& sha256Hex) {
  return QByteArray(kManifestMagic) + "\nproduct " + GUIDToString(product).toLatin1() + "\nversion " +
         VersionToStr(version, 4).toLatin1() + "\nsha256 " + sha256Hex + "\n";
}

TSignatureCheck ReadUpdateManifest(const QString& signatureFile, const QByteArray& publicKey,
                                   TUpdateManifest& manifest) {
  TReadFile sig;
  if (!sig.Open(signatureFile)) {
    // Anything under the name that is not a readable regular file is as good as no signature,
    // but a link or a folder there is not a missing file: call it damaged.
    struct stat st {};
    return ::lstat(signatureFile.toLocal8Bit().constData(), &st) != 0 ? scMissing : scMalformed;
  }
  if (sig.size <= kSignatureSize || sig.size > kMaxManifestSize) return scMalformed;
  QByteArray bytes(static_cast<qsizetype>(sig.size), Qt::Uninitialized);
  if (::pread(sig.fd, bytes.data(), static_cast<size_t>(sig.size), 0) != sig.size) return scMalformed;
  const QByteArray text = bytes.left(bytes.size() - kSignatureSize);
  const auto* signature = reinterpret_cast<const unsigned char*>(bytes.constData() + text.size());
  if (!cvlib::Ed25519Verify(publicKey, signature, reinterpret_cast<const unsigned char*>(text.constData()),
                     static_cast<size_t>(text.size())))
    return scMismatch;

  // A text with a valid signature that is not in this form (a later form of the manifest) is
  // refused, not guessed at.
  static const QRegularExpression form(QStringLiteral(
      R"(\ACorvane update manifest 1\nproduct (\{[0-9A-F-]{36}\})\n)"
      R"(version ([0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3})\nsha256 ([0-9a-f]{64})\n\z)"));
  const QRegularExpressionMatch m = form.match(QString::fromLatin1(text));
  TUpdateManifest read;
  if (!m.hasMatch() || !TryStrToGUID(m.captured(1), read.Product) ||
      !TryStrToVersion(m.captured(2), read.Version) ||
      VersionToStr(read.Version, 4) != m.captured(2))  // a component over 255
    return scMalformed;
  read.Sha256 = m.captured(3).toLatin1();
  manifest = read;
  return scValid;
}

QByteArray FileSha256Hex(const QString& file) {
  TReadFile data;
  return data.Open(file) ? Sha256Hex(data.fd) : QByteArray();
}

TSignatureCheck VerifyUpdateFile(const QString& installer, const TGUID& product, TVersion running,
                                 TUpdateManifest* manifest) {
  TReadFile data;
  if (!data.Open(installer)) return scFileUnreadable;
  TUpdateManifest read;
  if (const TSignatureCheck check = ReadUpdateManifest(UpdateSignaturePath(installer), UpdatePublicKey(), read);
      check != scValid)
    return check;
  if (manifest) *manifest = read;
  if (read.Product != product) return scOtherProduct;
  // An installer we signed for an earlier release stays valid for ever: only the version it
  // was signed for tells it from the update.
  if (read.Version <= running) return scNotNewer;
  // The file opened before the manifest was read: the bytes hashed are the ones checked.
  const QByteArray hash = Sha256Hex(data.fd);
  if (hash.isEmpty()) return scFileUnreadable;
  return hash == read.Sha256 ? scValid : scHashMismatch;
}

QString SignatureCheckText(TSignatureCheck check) {
  switch (check) {
    case scValid: break;
    case scMissing: return LangText(txtSignatureMissing);
    case scMalformed: return LangText(txtSignatureMalformed);
    case scMismatch: return LangText(txtSignatureMismatch);
    case scFileUnreadable: return LangText(txtFileUnreadable);
    case scHashMismatch: return LangText(txtHashMismatch);
    case scOtherProduct: return LangText(txtOtherProduct);
    case scNotNewer: return LangText(txtNotNewer);
  }
  return {};
}
