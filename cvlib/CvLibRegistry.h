#pragma once

// The settings store: three roots of keys and typed values, each root one database file.
//   root 1  program settings       $XDG_CONFIG_HOME/Corvane/Deployer/Settings.db
//   root 2  software registry      $XDG_DATA_HOME/Corvane/SoftwareRegistry.db
//   root 3  installed products     $XDG_DATA_HOME/Corvane/InstalledProducts.db
// Keys are paths of names separated by '\'; names are case-insensitive and keep their case.
// Several processes (and threads) may read and write at once; every write is one transaction.
// The layout and the rules are written down in docs/settings-store.md.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace cvlib {

enum TRegRoot : int {
  rrSettings = 1,   // program settings
  rrSoftware = 2,   // software registry of installed programs
  rrProducts = 3,   // installed-products store
};

enum class TRegType : int {
  rtNone = 0,
  rtString = 1,
  rtInteger = 2,
  rtBool = 3,
  rtFloat = 4,
};

// One stored value: its name as stored, its type and the value (QString, qint64, bool, double).
struct TRegValue {
  QString name;
  TRegType type = TRegType::rtNone;
  QVariant value;
};

// "string", "int", "bool", "float" (as cvtool writes them); empty for rtNone.
QString RegTypeName(TRegType type);

// A value as text: strings as they are, integers in decimal, bools as "true" / "false",
// floats in the shortest form that reads back to the same number.
QString RegValueToText(const TRegValue& value);

class TAppReg final {
 public:
  TAppReg() = default;
  TAppReg(const TAppReg&) = delete;
  TAppReg& operator=(const TAppReg&) = delete;

  // The database file of a root, from the environment as it is now; empty for an unknown root.
  static QString RootFileName(int root);

  // Keys. CreateKey makes the missing keys of the path (an existing key is success).
  // DeleteKey removes the key with its whole sub-tree; a missing key gives ceStoreNoKey, the
  // root key itself cannot be deleted (ceStoreBadKey).
  int CreateKey(int root, const QString& key);
  int DeleteKey(int root, const QString& key);
  bool KeyExists(int root, const QString& key);

  // Sub-key names (as stored) in case-insensitive name order; a missing key gives no names
  // and success.
  int GetKeyNames(int root, const QString& key, QStringList& names);

  // Every value of a key in case-insensitive name order; a missing key gives none and success.
  int GetValues(int root, const QString& key, QList<TRegValue>& values);

  // One value as stored; ceStoreNoValue when the key or the value is missing.
  int ReadValue(int root, const QString& key, const QString& name, TRegValue& value);
  bool ValueExists(int root, const QString& key, const QString& name);

  // Typed reads: the default when the value is missing, cannot be converted or the store
  // cannot be read. A value of another type is converted where that is exact (an integer
  // read as float, "12" read as integer, 1/0 read as bool, anything read as string).
  bool ReadBool(int root, const QString& key, const QString& name, bool defaultValue);
  double ReadFloat(int root, const QString& key, const QString& name, double defaultValue);
  int ReadInteger(int root, const QString& key, const QString& name, int defaultValue);
  QString ReadString(int root, const QString& key, const QString& name,
                     const QString& defaultValue = QString());

  // Typed writes: create the key as needed, replace a value of the same name (its stored
  // letter case stays) whatever its type. Each write is one transaction. 0 = success.
  int WriteBool(int root, const QString& key, const QString& name, bool value);
  int WriteFloat(int root, const QString& key, const QString& name, double value);
  int WriteInteger(int root, const QString& key, const QString& name, qint64 value);
  int WriteString(int root, const QString& key, const QString& name, const QString& value);

  // Removes one value; ceStoreNoValue when it is missing.
  int DeleteValue(int root, const QString& key, const QString& name);

  // Opens the root's store (creating it when missing) and checks it through; ceOK when sound.
  int CheckStore(int root);

  // Closes the calling thread's connections; the next call opens them again. For tests and
  // for moving store files aside.
  void CloseConnections();

 private:
  int Write(int root, const QString& key, const QString& name, TRegType type,
            const QVariant& value);
};

// The one settings store of the process.
TAppReg& GetAppReg();

}  // namespace cvlib
