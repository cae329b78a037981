// The setup program of the demo products. Runs as "<setup> /SILENT /DIR=<folder> /LANG=xx":
// installs the payload it carries behind its own image into the folder, writes the program
// file (which carries the product's version marker), a read-me in the chosen language, and
// registers "RootDir" under the product's key in the software registry. It is started from a
// temporary folder, so it links the store code itself and needs no support library beside it.

#include "CvLibProgInfo.h"
#include "CvLibRegistry.h"
#include "DemoSetupFormat.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QString>

#include <cstdio>
#include <cstring>

// Copies get their product's version written into this slot by the generator.
CV_EMBED_VERSION_MARKER(CV_DEMO_MARKER_SLOT);

namespace {

int Fail(const QString& text) {
  std::fprintf(stderr, "setup: %s\n", qPrintable(text));
  return 1;
}

std::uint64_t ReadU64(const char* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(p[i]);
  return value;
}

// A payload path stays inside the target folder.
bool IsSafe(const QString& path) {
  if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return false;
  for (const QString& part : path.split(QLatin1Char('/')))
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool silent = false;
  QString folder;
  QString language = QStringLiteral("en");
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    if (arg.compare(QLatin1String("/SILENT"), Qt::CaseInsensitive) == 0) {
      silent = true;
    } else if (arg.startsWith(QLatin1String("/DIR="), Qt::CaseInsensitive)) {
      folder = arg.mid(5);
      // A caller that did not split the command line leaves the quotes on.
      if (folder.size() >= 2 && folder.startsWith(QLatin1Char('"')) && folder.endsWith(QLatin1Char('"')))
        folder = folder.mid(1, folder.size() - 2);
    } else if (arg.startsWith(QLatin1String("/LANG="), Qt::CaseInsensitive)) {
      language = arg.mid(6).toLower();
    } else {
      return Fail(QStringLiteral("unknown option %1").arg(arg));
    }
  }
  if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
    return Fail(QStringLiteral("usage: setup [/SILENT] /DIR=<absolute folder> [/LANG=en|nl|de|fr]"));
  folder = QDir::cleanPath(folder);

  QFile self(QStringLiteral("/proc/self/exe"));
  if (!self.open(QIODevice::ReadOnly)) return Fail(QStringLiteral("cannot read the setup program"));
  const qint64 size = self.size();
  if (size < static_cast<qint64>(cvdemo::kSetupTrailerSize)) return Fail(QStringLiteral("no payload"));
  self.seek(size - static_cast<qint64>(cvdemo::kSetupTrailerSize));
  const QByteArray trailer = self.read(cvdemo::kSetupTrailerSize);
  if (trailer.size() != static_cast<int>(cvdemo::kSetupTrailerSize) ||
      std::memcmp(trailer.constData() + 16, cvdemo::kSetupMagic, sizeof cvdemo::kSetupMagic) != 0)
    return Fail(QStringLiteral("this setup carries no payload"));
  const std::uint64_t manifestSize = ReadU64(trailer.constData());
  const std::uint64_t payloadStart = ReadU64(trailer.constData() + 8);
  const std::uint64_t manifestStart = static_cast<std::uint64_t>(size) - cvdemo::kSetupTrailerSize - manifestSize;
  if (manifestSize > static_cast<std::uint64_t>(size) || payloadStart > manifestStart)
    return Fail(QStringLiteral("the payload is damaged"));
  self.seek(static_cast<qint64>(manifestStart));
  const QJsonObject manifest = QJsonDocument::fromJson(self.read(static_cast<qint64>(manifestSize))).object();
  if (manifest.isEmpty()) return Fail(QStringLiteral("the payload is damaged"));

  const QString name = manifest.value(QLatin1String("name")).toString();
  if (!silent) std::printf("Installing %s into %s\n", qPrintable(name), qPrintable(folder));
  if (!QDir().mkpath(folder)) return Fail(QStringLiteral("cannot create %1").arg(folder));

  for (const QJsonValue& value : manifest.value(QLatin1String("files")).toArray()) {
    const QJsonObject file = value.toObject();
    const QString path = file.value(QLatin1String("path")).toString();
    const auto offset = static_cast<std::uint64_t>(file.value(QLatin1String("offset")).toDouble(-1));
    const auto length = static_cast<std::uint64_t>(file.value(QLatin1String("size")).toDouble(-1));
    if (!IsSafe(path) || payloadStart + offset + length > manifestStart)
      return Fail(QStringLiteral("bad payload entry %1").arg(path));
    self.seek(static_cast<qint64>(payloadStart + offset));
    const QByteArray data = self.read(static_cast<qint64>(length));
    const QString target = folder + QLatin1Char('/') + path;
    QDir().mkpath(QFileInfo(target).path());
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size() || !out.commit())
      return Fail(QStringLiteral("cannot write %1").arg(target));
    if (file.value(QLatin1String("executable")).toBool())
      QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner | QFile::ExeGroup |
                                        QFile::ExeOther);
    if (!silent) std::printf("  %s\n", qPrintable(path));
  }

  // The program under its plain name and with ".exe", so that either lookup of the program
  // file finds it and reads its version.
  const QString program = manifest.value(QLatin1String("program")).toString();
  if (!program.isEmpty()) {
    const QString link = folder + QLatin1Char('/') + program + QLatin1String(".exe");
    QFile::remove(link);
    QFile::link(program, link);
  }

  const QJsonObject readmes = manifest.value(QLatin1String("readme")).toObject();
  const QString readme = readmes.value(language).toString(readmes.value(QLatin1String("en")).toString());
  QSaveFile readmeFile(folder + QStringLiteral("/ReadMe.txt"));
  if (!readmeFile.open(QIODevice::WriteOnly) || readmeFile.write(readme.toUtf8()) < 0 || !readmeFile.commit())
    return Fail(QStringLiteral("cannot write the read-me"));

  const QString key = manifest.value(QLatin1String("registryKey")).toString();
  auto& reg = cvlib::GetAppReg();
  if (reg.WriteString(cvlib::rrSoftware, key, QStringLiteral("RootDir"), folder) != 0 ||
      reg.WriteString(cvlib::rrSoftware, key, QStringLiteral("Version"),
                      manifest.value(QLatin1String("version")).toString()) != 0 ||
      reg.WriteString(cvlib::rrSoftware, key, QStringLiteral("Language"), language) != 0)
    return Fail(QStringLiteral("cannot register %1").arg(key));
  if (!silent) std::printf("Done.\n");
  return 0;
}
