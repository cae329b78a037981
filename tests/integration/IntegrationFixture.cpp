#include "IntegrationFixture.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>

#include <httplib.h>

#include <cstdio>
#include <cstdlib>

namespace cvtest {
namespace {

std::unique_ptr<ServiceProcess>& DemoSlot() {
  static std::unique_ptr<ServiceProcess> service;
  return service;
}

// Stops the demo service while the application object still exists.
class DemoServiceEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { DemoSlot().reset(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DemoServiceEnvironment);

}  // namespace

ServiceProcess& DemoService() {
  auto& slot = DemoSlot();
  if (!slot) {
    slot = std::make_unique<ServiceProcess>();
    const QString folder = MakeTempFolder(QStringLiteral("demo-content"));
    if (!slot->Start({QStringLiteral("--demo"), QStringLiteral("--accounts"), folder, QStringLiteral("--test-control")},
                     true)) {
      // Every test here needs it: stop with the reason rather than fail each one alike.
      std::fprintf(stderr, "deployer-service --demo did not start: %s\n", qPrintable(slot->Log()));
      std::exit(1);
    }
  }
  return *slot;
}

int PostJson(const QString& baseUrl, const QString& path, const QByteArray& body) {
  const QUrl url(baseUrl);
  httplib::Client client(url.host().toStdString(), url.port());
  const auto result = client.Post(path.toStdString(), body.toStdString(), "application/json");
  return result ? result->status : 0;
}

QByteArray Sha256OfFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&file);
  return hash.result().toHex();
}

}  // namespace cvtest
