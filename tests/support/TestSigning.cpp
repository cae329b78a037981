#include "TestSigning.h"

#include "AccountService.h"
#include "ItemSignature.h"
#include "CvLibSignature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace cvtest {

namespace {

using PKey = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;

EVP_PKEY* LoadKey(TSigningKey which) {
  static EVP_PKEY* build = [] {
    std::FILE* f = std::fopen(CV_TEST_SIGNING_KEY, "rb");
    if (!f) throw std::runtime_error("no build signing key at " CV_TEST_SIGNING_KEY);
    EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return k;
  }();
  static EVP_PKEY* foreign = [] {
    EVP_PKEY* k = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &k);
    EVP_PKEY_CTX_free(ctx);
    return k;
  }();
  return which == TSigningKey::Build ? build : foreign;
}

template <typename T>
T Get(const nlohmann::json& o, const char* key) {
  const auto it = o.find(key);
  return it == o.end() || it->is_null() ? T{} : it->get<T>();
}

// Base64 of the Ed25519 signature of form.
std::string Sign(const std::string& form, TSigningKey key) {
  const std::string signature = SignRaw(form, key);
  std::string text(4 * ((signature.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                       reinterpret_cast<const unsigned char*>(signature.data()),
                                                       static_cast<int>(signature.size()))));
  return text;
}

}  // namespace

std::string BuildSigningKeyFile() { return CV_TEST_SIGNING_KEY; }

std::string SignRaw(const std::string& data, TSigningKey key) {
  unsigned char signature[64];
  std::size_t length = sizeof signature;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, LoadKey(key));
  EVP_DigestSign(ctx, signature, &length, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  EVP_MD_CTX_free(ctx);
  return std::string(reinterpret_cast<const char*>(signature), length);
}

void SignItemJson(nlohmann::json& item, TSigningKey key) {
  cvservice::TListedItem listed;
  cvservice::TServiceProduct& p = listed.product;
  p.kind = 1;  // the version comes from the item itself below
  p.number = Get<std::int32_t>(item, "product");
  p.moduleMask = Get<std::int32_t>(item, "mask");
  p.productCode = Get<std::string>(item, "productCode");
  p.moduleCode = Get<std::string>(item, "moduleCode");
  p.installFolder = Get<std::string>(item, "installFolder");
  if (!item.contains("version")) item["version"] = "";
  if (item.contains("files") && item["files"].is_array())
    for (const auto& f : item["files"]) {
      if (!f.is_object()) continue;
      cvservice::TServiceFile& file = p.files.emplace_back();
      file.folder = Get<std::string>(f, "folder");
      file.name = Get<std::string>(f, "name");
      file.size = f.contains("size") && f["size"].is_number() ? f["size"].get<std::int64_t>() : 0;
      file.sha256 = Get<std::string>(f, "sha256");
      std::transform(file.sha256.begin(), file.sha256.end(), file.sha256.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
  std::string form = cvservice::SignedItemForm(listed);
  // The form of a chart set has an empty version: put the item's own in its place.
  const std::string version = item["version"].is_string() ? item["version"].get<std::string>() : "";
  const std::string emptyVersion = "version 0:\n";
  form.replace(form.find(emptyVersion), emptyVersion.size(), "version " + std::to_string(version.size()) + ":" + version + "\n");

  item["signature"] = Sign(form, key);
}

void SignItemData(cvlib::TItemData& item, TSigningKey key) {
  const QByteArray form = cvlib::SignedItemForm(item);
  item.signature = QString::fromStdString(Sign(std::string(form.constData(), static_cast<std::size_t>(form.size())), key));
}

}  // namespace cvtest
