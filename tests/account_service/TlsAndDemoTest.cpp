#include "AccountCrypto.h"
#include "CvLibProgInfo.h"
#include "CvLibRegistry.h"
#include "DemoCatalogue.h"
#include "ServiceFixture.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <QProcess>

#include <cstdio>
#include <filesystem>
#include <set>

namespace cvtest {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A self-signed certificate for 127.0.0.1, written as PEM files.
bool MakeCertificate(const std::string& certFile, const std::string& keyFile) {
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  std::unique_ptr<X509, void (*)(X509*)> cert(X509_new(), &X509_free);
  if (!key || !cert) return false;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"}, std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return false;
  std::unique_ptr<FILE, int (*)(FILE*)> c(std::fopen(certFile.c_str(), "wb"), &std::fclose);
  std::unique_ptr<FILE, int (*)(FILE*)> k(std::fopen(keyFile.c_str(), "wb"), &std::fclose);
  return c && k && PEM_write_X509(c.get(), cert.get()) == 1 &&
         PEM_write_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

class DemoCatalogueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = MakeTempFolder(QStringLiteral("demo")).toStdString() + "/catalogue";
    std::string error;
    account_ = cvservice::PrepareDemoCatalogue(folder_, error);
    ASSERT_TRUE(account_) << error;
  }

  static json Items(cvservice::TCatalogue& catalogue, const std::vector<cvservice::TSelectionEntry>& selection) {
    json out = json::array();
    for (const auto& item : catalogue.FileList(account_->email, selection)) {
      json files = json::array();
      for (const auto& f : item.product.files) files.push_back({{"name", f.name}, {"path", f.path}, {"addon", f.addon}, {"folder", f.folder}});
      out.push_back({{"product", item.product.number}, {"status", item.status}, {"files", files}});
    }
    return out;
  }

  static inline std::string folder_;
  static inline std::optional<cvservice::TDemoAccount> account_;
};

TEST_F(DemoCatalogueTest, ServesOverHttpsWithACertificate) {
  const std::string dir = MakeTempFolder(QStringLiteral("tls")).toStdString();
  const std::string certFile = dir + "/cert.pem", keyFile = dir + "/key.pem";
  ASSERT_TRUE(MakeCertificate(certFile, keyFile));
  cvservice::TCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.Load(folder_, error)) << error;
  auto server = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
  ASSERT_TRUE(server->is_valid());
  TServiceRunner runner(catalogue, std::move(server));

  httplib::SSLClient client("127.0.0.1", runner.Port());
  client.set_ca_cert_path(certFile.c_str());
  client.enable_server_certificate_verification(true);
  auto res = client.Post("/api/v1/signin", json{{"email", account_->email}, {"password", account_->password}}.dump(),
                         "application/json");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  client.set_bearer_token_auth(json::parse(res->body).value("session", ""));
  res = client.Get("/files/setups/NavigatorSetup", {{"Range", "bytes=0-3"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 206);
  EXPECT_EQ(res->body, "\x7f" "ELF");

  // Plain HTTP to the TLS port gets no answer.
  httplib::Client plain("127.0.0.1", runner.Port());
  res = plain.Get("/api/v1/products");
  EXPECT_TRUE(!res || res->status != 200);
}

TEST_F(DemoCatalogueTest, HasTheProductsTheWizardNeeds) {
  cvservice::TCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.Load(folder_, error)) << error;
  const auto products = catalogue.ProductList(account_->email);
  std::set<int> kinds, groups;
  std::vector<std::string> northSea;
  bool navigator = false;
  for (const auto& p : products) {
    kinds.insert(p.kind);
    groups.insert(p.group);
    if (p.number == 100 && p.kind == 0) navigator = true;
    if (p.number == 1001) northSea.push_back(p.itemTitle);
    if (p.kind == 1) EXPECT_GE(p.number, 1000);
    else EXPECT_LT(p.number, 1000);
  }
  EXPECT_TRUE(navigator);
  EXPECT_EQ(kinds, (std::set<int>{0, 1, 2, 99}));
  EXPECT_TRUE(groups.count(9999));
  // Two owned modules of one chart product, side by side; the third is not owned.
  EXPECT_EQ(northSea, (std::vector<std::string>{"Netherlands", "Belgium"}));

  const json items = Items(catalogue, {{100, 1, 0}, {1001, -1, 1}});
  ASSERT_EQ(items.size(), 5u);  // program, companion, three modules
  EXPECT_EQ(items[4]["status"], 1);
  bool zip = false;
  for (const auto& f : items[0]["files"]) zip = zip || (f["name"] == "Samples.zip" && f["addon"] == true);
  EXPECT_TRUE(zip);

  // Chart files carry the header with their product and module.
  int charts = 0;
  for (const auto& item : items) {
    for (const auto& f : item["files"]) {
      const std::string name = f["name"];
      if (name.size() < 5 || name.substr(name.size() - 5) != ".qmr2") continue;
      const std::string data = ReadFile(folder_ + "/files/" + f["path"].get<std::string>());
      ASSERT_GE(data.size(), 16u);
      EXPECT_EQ(data.substr(0, 4), "QMR2");
      EXPECT_EQ(data[4], 1);
      EXPECT_EQ(static_cast<unsigned char>(data[8]) | static_cast<unsigned char>(data[9]) << 8, 1001);
      ++charts;
    }
  }
  EXPECT_EQ(charts, 5);

  // A second preparation keeps the generated folder (its salt stays).
  const std::string accounts = ReadFile(folder_ + "/accounts.json");
  ASSERT_TRUE(cvservice::PrepareDemoCatalogue(folder_, error));
  EXPECT_EQ(ReadFile(folder_ + "/accounts.json"), accounts);
}

TEST_F(DemoCatalogueTest, SetupInstallsFromATemporaryFolder) {
  // Copied alone into a temporary folder, as the installer runs it.
  const std::string run = MakeTempFolder(QStringLiteral("setuprun")).toStdString();
  fs::copy_file(folder_ + "/files/setups/NavigatorSetup", run + "/NavigatorSetup");
  fs::permissions(run + "/NavigatorSetup", fs::perms::owner_all);
  const QString target = MakeTempFolder(QStringLiteral("install dest")) + QStringLiteral("/Navigator");

  QProcess setup;
  setup.start(QString::fromStdString(run + "/NavigatorSetup"),
              {QStringLiteral("/SILENT"), QStringLiteral("/DIR=") + target, QStringLiteral("/LANG=nl")});
  ASSERT_TRUE(setup.waitForFinished(30000));
  ASSERT_EQ(setup.exitCode(), 0) << setup.readAllStandardError().toStdString();
  EXPECT_TRUE(setup.readAllStandardOutput().isEmpty());

  auto& reg = cvlib::GetAppReg();
  EXPECT_EQ(reg.ReadString(cvlib::rrSoftware, QStringLiteral("Navigator"), QStringLiteral("RootDir")), target);
  EXPECT_EQ(reg.ReadString(cvlib::rrSoftware, QStringLiteral("Navigator"), QStringLiteral("Language")), "nl");
  for (const char* name : {"Navigator", "Navigator.exe"}) {
    std::uint32_t version = 0;
    EXPECT_EQ(cvlib::VersionInfoGetProgVersion(target + "/" + name, version), 0) << name;
    EXPECT_EQ(version, cvlib::PackVersion(5, 2, 0, 0)) << name;
  }
  EXPECT_TRUE(fs::exists(target.toStdString() + "/Data/Ports.dat"));
  EXPECT_NE(ReadFile(target.toStdString() + "/ReadMe.txt").find("Bedankt"), std::string::npos);

  // The installed program runs and the setup's own version is the product's.
  QProcess program;
  program.start(target + QStringLiteral("/Navigator"), {});
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_EQ(program.exitCode(), 0);
  std::uint32_t version = 0;
  EXPECT_EQ(cvlib::VersionInfoGetProgVersion(QString::fromStdString(run + "/NavigatorSetup"), version), 0);
  EXPECT_EQ(version, cvlib::PackVersion(5, 2, 0, 0));

  // Without a folder it refuses and installs nothing.
  setup.start(QString::fromStdString(run + "/NavigatorSetup"), {QStringLiteral("/SILENT")});
  ASSERT_TRUE(setup.waitForFinished(30000));
  EXPECT_NE(setup.exitCode(), 0);
}

TEST(DemoSetupImage, VersionMarkerPatch) {
  const std::string slot = std::string("xxCVPRODUCTVERSION=0.0.0.0") + std::string(8, '\0') + "yy";
  std::string image = slot;
  ASSERT_TRUE(cvdemo::PatchVersionMarker(image, "255.255.255.255"));
  EXPECT_EQ(image.size(), slot.size());
  EXPECT_EQ(image.substr(19, 15), "255.255.255.255");
  image = slot;
  EXPECT_FALSE(cvdemo::PatchVersionMarker(image, "1000.255.255.255"));
  image = slot + slot;  // two slots: which one counts is unclear, so none is patched
  EXPECT_FALSE(cvdemo::PatchVersionMarker(image, "1.0.0.0"));
  image = "no marker";
  EXPECT_FALSE(cvdemo::PatchVersionMarker(image, "1.0.0.0"));
}

}  // namespace
}  // namespace cvtest
