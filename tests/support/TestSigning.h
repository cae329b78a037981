#pragma once

// Signing file-list items in tests as the service does: with the build's development key (the
// one the engine trusts), or with a key of another vendor made for the test.

#include "CvLibChartCheck.h"

#include <nlohmann/json.hpp>

#include <string>

namespace cvtest {

enum class TSigningKey { Build, Foreign };

// The item (a JSON object of a file-list answer) gets "version" (when missing) and "signature".
void SignItemJson(nlohmann::json& item, TSigningKey key = TSigningKey::Build);

// A backup index item gets the vendor's signature over its fields as they are now (a test that
// changes a file of a backup on purpose and still wants it trusted).
void SignItemData(cvlib::TItemData& item, TSigningKey key = TSigningKey::Build);

// The 64-byte Ed25519 signature of data (a signed manifest's text is followed by it).
std::string SignRaw(const std::string& data, TSigningKey key = TSigningKey::Build);

// The build's development signing key (PEM), as the service takes it with --signing-key.
std::string BuildSigningKeyFile();

}  // namespace cvtest
