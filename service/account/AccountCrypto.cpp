#include "AccountCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace cvservice {

std::string ToHex(const unsigned char* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    hex[2 * i] = digits[data[i] >> 4];
    hex[2 * i + 1] = digits[data[i] & 0x0F];
  }
  return hex;
}

bool FromHex(std::string_view hex, std::string& bytes) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return false;
  bytes.assign(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int hi = nibble(hex[2 * i]);
    const int lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<char>(hi << 4 | lo);
  }
  return true;
}

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return ToHex(digest, length);
}

bool Sha256File(const std::string& path, std::string& hex, std::int64_t& size) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
  std::vector<char> buffer(1 << 20);
  size = 0;
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n > 0) {
      if (EVP_DigestUpdate(ctx.get(), buffer.data(), n) != 1) return false;
      size += static_cast<std::int64_t>(n);
    }
    if (n < buffer.size()) {
      if (std::ferror(file.get())) return false;
      break;
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return false;
  hex = ToHex(digest, length);
  return true;
}

std::string RandomHex(int bytes) {
  std::vector<unsigned char> buffer(static_cast<std::size_t>(bytes));
  if (RAND_bytes(buffer.data(), bytes) != 1) return {};
  return ToHex(buffer.data(), buffer.size());
}

std::string HashPassword(std::string_view password, std::string_view saltHex, int rounds) {
  std::string salt;
  if (!FromHex(saltHex, salt) || rounds <= 0) return {};
  unsigned char out[kPasswordHashBytes];
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), rounds, EVP_sha256(), sizeof out,
                        out) != 1)
    return {};
  return ToHex(out, sizeof out);
}

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace cvservice
