#include "ItemSignature.h"

#include "AccountService.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <vector>

namespace cvservice {

namespace {

void AddText(std::string& out, const char* label, const std::string& text) {
  out += label;
  out += ' ';
  out += std::to_string(text.size());
  out += ':';
  out += text;
  out += '\n';
}

void AddNumber(std::string& out, const char* label, long long n) {
  out += label;
  out += ' ';
  out += std::to_string(n);
  out += '\n';
}

std::string Base64(const unsigned char* data, int length) {
  std::string out(static_cast<std::size_t>(4 * ((length + 2) / 3)) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, length);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

struct TItemSigner::TKey {
  EVP_PKEY* pkey = nullptr;
  ~TKey() { EVP_PKEY_free(pkey); }
};

TItemSigner::TItemSigner() = default;
TItemSigner::~TItemSigner() = default;

bool TItemSigner::Load(const std::string& pemFile, std::string& error) {
  std::FILE* file = std::fopen(pemFile.c_str(), "rb");
  if (!file) {
    error = "signing key '" + pemFile + "' cannot be read";
    return false;
  }
  auto key = std::make_unique<TKey>();
  key->pkey = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (!key->pkey || EVP_PKEY_id(key->pkey) != EVP_PKEY_ED25519) {
    error = "signing key '" + pemFile + "' is no Ed25519 private key (PEM)";
    return false;
  }
  key_ = std::move(key);
  return true;
}

bool TItemSigner::Loaded() const { return key_ != nullptr; }

std::string TItemSigner::Sign(const TListedItem& item) const {
  if (!key_) return {};
  const std::string form = SignedItemForm(item);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char signature[64];
  std::size_t length = sizeof signature;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey) != 1 ||
      EVP_DigestSign(ctx.get(), signature, &length, reinterpret_cast<const unsigned char*>(form.data()),
                     form.size()) != 1 ||
      length != sizeof signature)
    return {};
  return Base64(signature, static_cast<int>(length));
}

std::string SignedItemVersion(const TListedItem& item) {
  return item.product.kind == 1 ? std::string() : item.product.latestVersion;
}

std::string SignedItemForm(const TListedItem& item) {
  const TServiceProduct& p = item.product;
  std::string out = "CVSIGNEDITEM 1\n";
  AddNumber(out, "product", p.number);
  AddNumber(out, "mask", p.moduleMask);
  AddText(out, "productCode", p.productCode);
  AddText(out, "moduleCode", p.moduleCode);
  AddText(out, "installFolder", p.installFolder);
  AddText(out, "version", SignedItemVersion(item));
  AddNumber(out, "files", static_cast<long long>(p.files.size()));
  for (const TServiceFile& f : p.files) {
    AddText(out, "folder", f.folder);
    AddText(out, "name", f.name);
    AddNumber(out, "size", f.size);
    AddText(out, "sha256", f.sha256);
  }
  return out;
}

}  // namespace cvservice
