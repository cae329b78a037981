#pragma once

// A settings store of the test's own, product records made in place, and a simulated volume
// table (CORVANE_VOLUMES) whose volumes are folders below the test's folder.

#include "CvLib.h"
#include "StoreFixture.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>

#include <deque>

class PagesFixture : public StoreFixture {
 protected:
  PagesFixture() : StoreFixture(QStringLiteral("pages")) {}

  void SetUp() override {
    StoreFixture::SetUp();
    savedVolumes_ = qgetenv("CORVANE_VOLUMES");
    hadVolumes_ = qEnvironmentVariableIsSet("CORVANE_VOLUMES");
  }
  void TearDown() override {
    if (hadVolumes_) qputenv("CORVANE_VOLUMES", savedVolumes_);
    else qunsetenv("CORVANE_VOLUMES");
    StoreFixture::TearDown();
  }

  struct TVolume {
    QString name;  // folder below the test folder
    const char* type;
    bool present;
  };
  // Makes the folders and the volume table; returns the roots with a trailing '/'.
  QStringList Volumes(const std::vector<TVolume>& volumes) {
    QStringList roots;
    QByteArray table;
    for (const TVolume& v : volumes) {
      const QString root = home_ + "/vol/" + v.name;
      QDir().mkpath(root);
      roots << root + "/";
      table += (root + "\t" + v.type + "\t" + (v.present ? "1" : "0") + "\n").toUtf8();
    }
    const QString file = home_ + "/volumes.txt";
    QFile f(file);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(table);
    f.close();
    qputenv("CORVANE_VOLUMES", file.toUtf8());
    return roots;
  }

  static void Touch(const QString& path, const QByteArray& bytes = "x") {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
    f.write(bytes);
  }

  // A record kept alive for the test's length.
  ProductRecord* Rec(int kind, int number, int mask, int group, const QString& name, const QString& title = {},
                     qint64 size = 0, const QString& key = {}, uint32_t latest = 0, int revision = 0) {
    cvlib::TProductData d;
    d.kind = kind;
    d.productNumber = number;
    d.moduleMask = mask;
    d.group = group;
    d.displayName = name;
    d.itemTitle = title.isEmpty() ? name : title;
    d.size = size;
    d.registryKey = key;
    d.latestVersion = latest;
    d.revision = revision;
    records_.emplace_back(d);
    return &records_.back();
  }

  std::deque<ProductRecord> records_;

 private:
  QByteArray savedVolumes_;
  bool hadVolumes_ = false;
};
