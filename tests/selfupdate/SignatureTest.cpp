// The installer's signed manifest against the key built into the program: who signed it, for
// which product and version, and for which bytes.
#include "CvLib.h"
#include "CvUpdateSignature.h"
#include "SelfUpdateSupport.h"
#include "TestEnv.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace sutest;

namespace {

// The program's own version and product, as the wizard checks them.
TSignatureCheck Check(const QString& file, TVersion running = MakeVersion(1, 0, 0, 0)) {
  return VerifyUpdateFile(file, StrToGUID(kInstallerGuid), running);
}

TEST(UpdateSignature, BuiltInKeyIsTheBuildsKey) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QString folder = cvtest::MakeTempFolder("sig");
  const QString file = folder + "/setup.sh";
  WriteFile(file, "#!/bin/sh\necho hello\n");
  ASSERT_TRUE(SignFile(BuildSigningKey(), file, "1.2.3.4"));
  EXPECT_EQ(UpdatePublicKey().size(), kPublicKeySize);
  TUpdateManifest manifest;
  EXPECT_EQ(VerifyUpdateFile(file, StrToGUID(kInstallerGuid), MakeVersion(1, 2, 3, 3), &manifest), scValid);
  EXPECT_EQ(manifest.Product, StrToGUID(kInstallerGuid));
  EXPECT_EQ(manifest.Version, MakeVersion(1, 2, 3, 4));
  EXPECT_EQ(manifest.Sha256, FileSha256Hex(file));
  EXPECT_EQ(UpdateManifestText(manifest.Product, manifest.Version, manifest.Sha256),
            ReadFile(file + ".sig").chopped(kSignatureSize));
}

TEST(UpdateSignature, RefusesWhatDoesNotMatch) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QString otherKey = MakeOtherKey();
  const QByteArray installer = "#!/bin/sh\necho installing\n";
  // Signs a manifest text of the test's own, to reach the parser with what we signed.
  const auto signText = [](const QString& file, const QByteArray& text) {
    WriteFile(file + ".manifest", text);
    ASSERT_TRUE(OpenSsl({"pkeyutl", "-sign", "-rawin", "-inkey", BuildSigningKey(), "-in",
                         file + ".manifest", "-out", file + ".raw"}));
    WriteFile(file + ".sig", text + ReadFile(file + ".raw"));
  };
  const auto manifestOf = [](const QString& file) { return ReadFile(file + ".sig").chopped(kSignatureSize); };
  const struct {
    const char* name;
    std::function<void(const QString& file)> spoil;
    TSignatureCheck expected;
  } cases[] = {
      {"signed", [](const QString&) {}, scValid},
      {"changed after signing", [](const QString& f) { WriteFile(f, "#!/bin/sh\necho installinG\n"); },
       scHashMismatch},
      {"grown after signing", [](const QString& f) {
         QFile file(f);
         ASSERT_TRUE(file.open(QIODevice::Append));
         file.write("rm -rf ~\n");
       }, scHashMismatch},
      {"manifest changed after signing", [&](const QString& f) {
         QByteArray sig = ReadFile(f + ".sig");
         sig.replace("version 9.0.0.0", "version 9.0.0.1");
         WriteFile(f + ".sig", sig);
       }, scMismatch},
      {"signed by another key", [&](const QString& f) { ASSERT_TRUE(SignFile(otherKey, f)); }, scMismatch},
      // The old form: a bare signature of the installer, valid as such, binds no version.
      {"a bare signature of the installer", [](const QString& f) {
         ASSERT_TRUE(OpenSsl({"pkeyutl", "-sign", "-rawin", "-inkey", BuildSigningKey(), "-in", f,
                              "-out", f + ".sig"}));
       }, scMalformed},
      {"signed for the running version", [](const QString& f) { ASSERT_TRUE(SignFile(BuildSigningKey(), f, "1.0.0.0")); },
       scNotNewer},
      {"signed for an older version", [](const QString& f) { ASSERT_TRUE(SignFile(BuildSigningKey(), f, "0.255.255.255")); },
       scNotNewer},
      {"signed for another product", [](const QString& f) {
         ASSERT_TRUE(SignFile(BuildSigningKey(), f, "9.0.0.0", "{6D3C1A52-0F4B-4C55-9E0B-2B1E3A7C9D10}"));
       }, scOtherProduct},
      {"signed text not in the form", [&](const QString& f) {
         signText(f, manifestOf(f).replace("version 9.0.0.0", "version 9.0"));
       }, scMalformed},
      {"signed text with a version part over 255", [&](const QString& f) {
         signText(f, manifestOf(f).replace("version 9.0.0.0", "version 9.0.0.256"));
       }, scMalformed},
      {"signed text with a line more", [&](const QString& f) { signText(f, manifestOf(f) + "extra\n"); },
       scMalformed},
      {"no signature", [](const QString& f) { QFile::remove(f + ".sig"); }, scMissing},
      {"signature cut short", [](const QString& f) {
         WriteFile(f + ".sig", ReadFile(f + ".sig").chopped(1));
       }, scMismatch},
      {"signature only", [](const QString& f) {
         WriteFile(f + ".sig", ReadFile(f + ".sig").right(kSignatureSize));
       }, scMalformed},
      {"signature is a link to a valid one", [](const QString& f) {
         QFile::rename(f + ".sig", f + ".real");
         QFile::link(f + ".real", f + ".sig");
       }, scMalformed},
      {"installer is a link", [](const QString& f) {
         QFile::rename(f, f + ".real");
         QFile::link(f + ".real", f);
       }, scFileUnreadable},
      {"installer gone", [](const QString& f) { QFile::remove(f); }, scFileUnreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString file = cvtest::MakeTempFolder("sig") + "/setup.sh";
    WriteFile(file, installer);
    ASSERT_TRUE(SignFile(BuildSigningKey(), file));
    c.spoil(file);
    EXPECT_EQ(Check(file), c.expected);
    EXPECT_EQ(SignatureCheckText(c.expected).isEmpty(), c.expected == scValid);
  }
}

TEST(UpdateSignature, LargeFile) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QString folder = cvtest::MakeTempFolder("sig");
  // Larger than any buffer: the whole file is what is hashed.
  const QString large = folder + "/large.bin";
  QByteArray data(20 * 1024 * 1024, 'x');
  WriteFile(large, data);
  ASSERT_TRUE(SignFile(BuildSigningKey(), large));
  EXPECT_EQ(Check(large), scValid);
  data[data.size() - 1] = 'y';
  WriteFile(large, data);
  EXPECT_EQ(Check(large), scHashMismatch);
}

}  // namespace
