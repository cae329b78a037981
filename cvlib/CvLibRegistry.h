#pragma once

// The settings store: three roots of keys and typed values, each root one database file.
//   root 1  program settings       $XDG_CONFIG_HOME/Corvane/Deployer/Settings.db
//   root 2  software registry      $XDG_DATA_HOME/Corvane/SoftwareRegistry.db
//   root 3  installed products     $XDG_DATA_HOME/Corvane/InstalledProducts.db
// Keys are paths of names separated by '\'; names are case-insensitive and keep their case.
// Several processes (and threads) may read and write at once; every write is one transaction.
// The layout and the rules are written down in docs/settings-store.md.

#include "CvLibErrors.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <vector>

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

// A key with its whole sub-tree and every value below it, as one read transaction saw it
// (TAppReg::GetKeyTree). Keys are numbered: 0 is the key that was read, SubKeys gives a key's
// sub-keys in the store's order (case-insensitive name order), Values its values in the same
// order. Lookups ignore letter case as the store does; the typed reads convert and fall back
// to the default exactly as the TAppReg reads of the same name.
class TRegKeyTree {
 public:
  // True when the key that was read does not exist (no keys at all).
  bool IsEmpty() const { return nodes_.empty(); }
  int Count() const { return static_cast<int>(nodes_.size()); }

  // A key's name as stored; empty for the root key.
  const QString& KeyName(int key) const { return nodes_[static_cast<size_t>(key)].name; }
  const std::vector<int>& SubKeys(int key) const { return nodes_[static_cast<size_t>(key)].subKeys; }
  const QList<TRegValue>& Values(int key) const { return nodes_[static_cast<size_t>(key)].values; }

  // A sub-key of key by name, or -1. A path of names separated by '\' goes further down.
  int FindKey(int key, const QString& path) const;
  // A value of key by name, or nullptr.
  const TRegValue* FindValue(int key, const QString& name) const;

  bool ReadBool(int key, const QString& name, bool defaultValue) const;
  double ReadFloat(int key, const QString& name, double defaultValue) const;
  int ReadInteger(int key, const QString& name, int defaultValue) const;
  QString ReadString(int key, const QString& name, const QString& defaultValue = QString()) const;

 private:
  friend class TAppReg;
  struct Node {
    QString name;
    QString fold;
    std::vector<int> subKeys;
    QList<TRegValue> values;
    QStringList valueFolds;
  };
  std::vector<Node> nodes_;
};

class TAppReg final {
 public:
  TAppReg() = default;
  TAppReg(const TAppReg&) = delete;
  TAppReg& operator=(const TAppReg&) = delete;

  // The database file of a root, from the environment as it is now; empty for an unknown root.
  static QString RootFileName(int root);

  // A batch: every call on the root (this thread) until EndBatch is one transaction, committed
  // at the end, so that recording thousands of files waits for the disk once. A failed call
  // inside leaves nothing of itself; EndBatch(root, false) or a failed commit drops the whole
  // batch. Batches nest; the outermost end commits. Prefer TAppRegBatch.
  int BeginBatch(int root);
  int EndBatch(int root, bool commit);

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

  // The key with its whole sub-tree and all their values, in one read transaction (a few
  // queries however large the sub-tree): what GetKeyNames, GetValues and the typed reads would
  // give key by key, at a fraction of the cost. A missing key gives an empty tree and success;
  // on an error the tree is empty.
  int GetKeyTree(int root, const QString& key, TRegKeyTree& tree);

  // One value name in every key of a sub-tree that has it, in one read transaction: by the
  // key's path below key, its names case-folded (QString::toCaseFolded) and joined by '\'
  // ("" for key itself). What ReadValue gives key by key, without reading the sub-tree's other
  // values. A missing key gives none and success; on an error there are none.
  int GetValueOfSubKeys(int root, const QString& key, const QString& name, QHash<QString, TRegValue>& values);

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

// A batch on a root for a scope: Commit() ends it, leaving the scope without it drops it.
class TAppRegBatch final {
 public:
  explicit TAppRegBatch(int root) : root_(root), error_(GetAppReg().BeginBatch(root)) {}
  ~TAppRegBatch() {
    if (!error_ && !ended_) GetAppReg().EndBatch(root_, false);
  }
  TAppRegBatch(const TAppRegBatch&) = delete;
  TAppRegBatch& operator=(const TAppRegBatch&) = delete;
  // 0 when the batch began.
  int Error() const { return error_; }
  int Commit() {
    if (error_ || ended_) return error_ ? error_ : int(ceStoreBadKey);
    ended_ = true;
    return GetAppReg().EndBatch(root_, true);
  }

 private:
  int root_;
  int error_;
  bool ended_ = false;
};

}  // namespace cvlib
