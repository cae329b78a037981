#pragma once

// The reference update service on 127.0.0.1 with a content folder made by the test, and the
// signing of installers with the build's key (or another one).

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <functional>

namespace sutest {

extern const QString kInstallerGuid;

// Runs openssl; true on exit code 0.
bool OpenSsl(const QStringList& args);
// The key the program trusts has its private half here; empty for a release build.
QString BuildSigningKey();
// A new Ed25519 key pair that the program does not trust.
QString MakeOtherKey();
// Writes "<file>.sig" for file with the given private key: the signed manifest that names the
// product, the version and the file's SHA-256.
bool SignFile(const QString& key, const QString& file, const QString& version = QStringLiteral("9.0.0.0"),
              const QString& guid = kInstallerGuid);

void WriteFile(const QString& path, const QByteArray& data);
QByteArray ReadFile(const QString& path);

// A content folder holding the installer's product: version, history and installer file.
class TContent {
 public:
  TContent();
  QString Root() const { return fRoot; }
  QString ProductFolder() const { return fRoot + "/" + kInstallerGuid; }
  QString InstallerPath() const { return ProductFolder() + "/" + InstallerName(); }
  static QString InstallerName() { return QStringLiteral("DeployerSetup-9.0.0.0.sh"); }
  void SetHistory(const QByteArray& html);
  // The installer's bytes; signed with the build's key for version (the version the service
  // claims is always 9.0.0.0) unless told otherwise.
  void SetInstaller(const QByteArray& data, bool sign = true,
                    const QString& version = QStringLiteral("9.0.0.0"));
  // A large installer of zeros (sparse on disk), unsigned: for downloads that never finish.
  void SetLargeInstaller(qint64 size);

 private:
  QString fRoot;
};

class TService {
 public:
  bool Start(const QString& content);
  void Stop();
  ~TService() { Stop(); }
  QString URL() const { return fBase + "/pus/pus.php"; }
  // The requests the service has logged so far.
  QByteArray Log();

 private:
  QProcess fProcess;
  QString fBase;
  QByteArray fLog;
};

// Runs the event loop until cond holds; false after timeoutMs.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 15000);

}  // namespace sutest
