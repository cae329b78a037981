#pragma once

// Hashes and random texts of the account service: SHA-256, salted password hashes
// (PBKDF2-HMAC-SHA256) and random tokens, all through libcrypto.

#include <cstdint>
#include <string>
#include <string_view>

namespace cvservice {

constexpr int kPasswordRounds = 100000;
constexpr int kPasswordSaltBytes = 16;
constexpr int kPasswordHashBytes = 32;

std::string ToHex(const unsigned char* data, std::size_t size);
// Lower-case hex of bytes; false for odd length or a character that is no hex digit.
bool FromHex(std::string_view hex, std::string& bytes);

// SHA-256 of a text, as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view data);

// SHA-256 of a file, read in chunks; false when it cannot be read.
bool Sha256File(const std::string& path, std::string& hex, std::int64_t& size);

// `bytes` random bytes from the system's generator, in hex; empty when it fails.
std::string RandomHex(int bytes);

// PBKDF2-HMAC-SHA256 of a password with a salt given in hex; the hash in hex (empty on failure).
std::string HashPassword(std::string_view password, std::string_view saltHex, int rounds);

// Compares two texts in time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace cvservice
