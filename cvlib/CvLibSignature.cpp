#include "CvLibSignature.h"

#include "CvLibChartCheck.h"
#include "CvLibCrypto.h"

#include <memory>

// Made by the build from the key it trusts (cmake/UpdateSigning.cmake).
extern const unsigned char kUpdatePublicKeyBytes[32];

namespace cvlib {

namespace {

struct TEvpKeyFree {
  void operator()(EVP_PKEY* key) const { cvcrypto::EVP_PKEY_free(key); }
};
struct TEvpCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { cvcrypto::EVP_MD_CTX_free(ctx); }
};

void AddText(QByteArray& out, const char* label, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  out += label;
  out += ' ';
  out += QByteArray::number(utf8.size());
  out += ':';
  out += utf8;
  out += '\n';
}

void AddNumber(QByteArray& out, const char* label, qint64 n) {
  out += label;
  out += ' ';
  out += QByteArray::number(n);
  out += '\n';
}

}  // namespace

QByteArray VendorPublicKey() {
  return QByteArray(reinterpret_cast<const char*>(kUpdatePublicKeyBytes), kEd25519KeySize);
}

bool Ed25519Verify(const QByteArray& publicKey, const unsigned char* signature, const unsigned char* data,
                   size_t length) {
  if (publicKey.size() != kEd25519KeySize || !signature) return false;
  std::unique_ptr<EVP_PKEY, TEvpKeyFree> key(cvcrypto::EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.constData()),
      static_cast<size_t>(publicKey.size())));
  std::unique_ptr<EVP_MD_CTX, TEvpCtxFree> ctx(cvcrypto::EVP_MD_CTX_new());
  if (!key || !ctx) return false;
  if (cvcrypto::EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  static const unsigned char kEmpty = 0;
  return cvcrypto::EVP_DigestVerify(ctx.get(), signature, kEd25519SignatureSize, data ? data : &kEmpty, length) == 1;
}

QByteArray SignedItemForm(const TItemData& item) {
  // The service writes the same form (service/account/ItemSignature.cpp); change both together.
  QByteArray out("CVSIGNEDITEM 1\n");
  AddNumber(out, "product", item.productNumber);
  AddNumber(out, "mask", item.moduleMask);
  AddText(out, "productCode", item.productCode);
  AddText(out, "moduleCode", item.moduleCode);
  AddText(out, "installFolder", item.installFolder);
  AddText(out, "version", item.version);
  AddNumber(out, "files", static_cast<qint64>(item.files.size()));
  for (const TItemFile& f : item.files) {
    AddText(out, "folder", f.folder);
    AddText(out, "name", f.name);
    AddNumber(out, "size", f.size);
    AddText(out, "sha256", f.sha256);
  }
  return out;
}

bool ItemSignatureValid(const TItemData& item) {
  if (item.signature.isEmpty()) return false;
  const auto decoded = QByteArray::fromBase64Encoding(item.signature.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.size() != kEd25519SignatureSize) return false;
  const QByteArray form = SignedItemForm(item);
  return Ed25519Verify(VendorPublicKey(), reinterpret_cast<const unsigned char*>(decoded.decoded.constData()),
                       reinterpret_cast<const unsigned char*>(form.constData()), static_cast<size_t>(form.size()));
}

}  // namespace cvlib
