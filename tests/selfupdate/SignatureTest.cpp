// The installer's signature against the key built into the program.
#include "CvUpdateSignature.h"
#include "SelfUpdateSupport.h"
#include "TestEnv.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace sutest;

namespace {

TEST(UpdateSignature, BuiltInKeyIsTheBuildsKey) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QString folder = cvtest::MakeTempFolder("sig");
  const QString file = folder + "/setup.sh";
  WriteFile(file, "#!/bin/sh\necho hello\n");
  ASSERT_TRUE(SignFile(BuildSigningKey(), file));
  EXPECT_EQ(UpdatePublicKey().size(), kPublicKeySize);
  EXPECT_EQ(VerifyUpdateFile(file), scValid);
}

TEST(UpdateSignature, RefusesWhatDoesNotMatch) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QString otherKey = MakeOtherKey();
  const QByteArray installer = "#!/bin/sh\necho installing\n";
  const struct {
    const char* name;
    std::function<void(const QString& file)> spoil;
    TSignatureCheck expected;
  } cases[] = {
      {"signed", [](const QString&) {}, scValid},
      {"changed after signing", [](const QString& f) { WriteFile(f, "#!/bin/sh\necho installinG\n"); },
       scMismatch},
      {"grown after signing", [](const QString& f) {
         QFile file(f);
         ASSERT_TRUE(file.open(QIODevice::Append));
         file.write("rm -rf ~\n");
       }, scMismatch},
      {"signed by another key", [&](const QString& f) { ASSERT_TRUE(SignFile(otherKey, f)); }, scMismatch},
      {"no signature", [](const QString& f) { QFile::remove(f + ".sig"); }, scMissing},
      {"signature cut short", [](const QString& f) {
         WriteFile(f + ".sig", ReadFile(f + ".sig").left(63));
       }, scMalformed},
      {"signature too long", [](const QString& f) {
         WriteFile(f + ".sig", ReadFile(f + ".sig") + '\n');
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
    EXPECT_EQ(VerifyUpdateFile(file), c.expected);
    EXPECT_EQ(SignatureCheckText(c.expected).isEmpty(), c.expected == scValid);
  }
}

TEST(UpdateSignature, LargeFile) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QString folder = cvtest::MakeTempFolder("sig");
  // Larger than any buffer: the whole file is what is signed.
  const QString large = folder + "/large.bin";
  QByteArray data(20 * 1024 * 1024, 'x');
  WriteFile(large, data);
  ASSERT_TRUE(SignFile(BuildSigningKey(), large));
  EXPECT_EQ(VerifyUpdateFile(large), scValid);
  data[data.size() - 1] = 'y';
  WriteFile(large, data);
  EXPECT_EQ(VerifyUpdateFile(large), scMismatch);
}

}  // namespace
