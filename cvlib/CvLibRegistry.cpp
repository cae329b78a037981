#include "CvLibRegistry.h"

#include "CvLibErrors.h"
#include "CvLibRegistryStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <vector>
#include <memory>
#include <string>

namespace cvlib {
namespace {

using regstore::Connect;
using regstore::Connection;
using regstore::IsCorrupt;
using regstore::Statement;


constexpr int kMaxKeyNameLength = 255;
constexpr int kMaxValueNameLength = 16383;


constexpr qint64 kRootKeyId = 0;

QString EnvFolder(const char* variable, const char* fallbackBelowHome) {
  // Relative values are not valid for these variables and are ignored, as other programs do.
  const QString value = qEnvironmentVariable(variable);
  if (!value.isEmpty() && QDir::isAbsolutePath(value)) return QDir::cleanPath(value);
  return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + QLatin1String(fallbackBelowHome));
}

// ---- key paths ---------------------------------------------------------------------------

bool ValidName(const QString& name, int maxLength) {
  if (name.size() > maxLength) return false;
  for (QChar ch : name)
    if (ch.unicode() < 0x20 || ch.unicode() == 0x7F) return false;
  return true;
}

// Separators at the start and the end are ignored ("\Settings\" is "Settings"); an empty
// name inside the path ("A\\B") or a name with control characters is an error.
bool SplitKey(const QString& key, QStringList& names) {
  names.clear();
  qsizetype begin = 0;
  qsizetype end = key.size();
  while (begin < end && key[begin] == QLatin1Char('\\')) ++begin;
  while (end > begin && key[end - 1] == QLatin1Char('\\')) --end;
  if (begin == end) return true;  // the root key
  names = key.mid(begin, end - begin).split(QLatin1Char('\\'));
  for (const QString& name : names)
    if (name.isEmpty() || !ValidName(name, kMaxKeyNameLength)) return false;
  return true;
}

QString Fold(const QString& name) { return name.toCaseFolded(); }

int ReadError(int rc) { return IsCorrupt(rc) ? ceStoreCorrupt : ceStoreRead; }
int WriteError(int rc) { return IsCorrupt(rc) ? ceStoreCorrupt : ceStoreWrite; }

// Finds the id of a key path; ceStoreNoKey when some part is missing.
int FindKey(Connection& c, const QStringList& names, qint64& id) {
  id = kRootKeyId;
  for (const QString& name : names) {
    Statement st(c.Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2"));
    if (!st) return ReadError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    st.Bind(2, Fold(name));
    const int rc = st.Step();
    if (rc == SQLITE_DONE) return ceStoreNoKey;
    if (rc != SQLITE_ROW) return ReadError(rc);
    id = st.Int(0);
  }
  return ceOK;
}

// Finds or creates every key of the path; inside a writing transaction.
int EnsureKey(Connection& c, const QStringList& names, qint64& id) {
  id = kRootKeyId;
  const bool trail = c.batchDepth > 0;
  size_t known = 0;
  if (trail) {
    while (known < static_cast<size_t>(names.size()) && known < c.keyTrail.size() &&
           c.keyTrail[known].first == Fold(names[static_cast<qsizetype>(known)])) {
      id = c.keyTrail[known].second;
      ++known;
    }
  }
  c.keyTrail.resize(known);
  for (size_t i = known; i < static_cast<size_t>(names.size()); ++i) {
    const QString& name = names[static_cast<qsizetype>(i)];
    const QString fold = Fold(name);
    Statement st(c.Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2"));
    if (!st) return WriteError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    st.Bind(2, fold);
    int rc = st.Step();
    if (rc == SQLITE_ROW) {
      id = st.Int(0);
    } else {
      if (rc != SQLITE_DONE) return WriteError(rc);
      Statement insert(c.Prepare("INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)"));
      if (!insert) return WriteError(sqlite3_errcode(c.db));
      insert.Bind(1, id);
      insert.Bind(2, name);
      insert.Bind(3, fold);
      rc = insert.Step();
      if (rc != SQLITE_DONE) return WriteError(rc);
      id = sqlite3_last_insert_rowid(c.db);
    }
    if (trail) c.keyTrail.emplace_back(fold, id);
  }
  return ceOK;
}

// A read or write transaction around a body; a write begins IMMEDIATE so that a busy store
// makes it wait (busy timeout) at the start instead of failing half-way.
template <typename Body>
int InTransaction(Connection& c, bool write, Body body) {
  if (c.batchDepth > 0) {
    // Inside a batch: a savepoint, so that a failed call leaves nothing half-done.
    int rc = c.Run("SAVEPOINT cvcall");
    if (rc != SQLITE_OK) return write ? WriteError(rc) : ReadError(rc);
    int error = body();
    if (error) c.Run("ROLLBACK TO cvcall");
    rc = c.Run("RELEASE cvcall");
    if (!error && rc != SQLITE_OK) error = write ? WriteError(rc) : ReadError(rc);
    // Keys this call made may have been rolled back.
    if (error) c.keyTrail.clear();
    return error;
  }
  int rc = c.Run(write ? "BEGIN IMMEDIATE" : "BEGIN");
  if (rc != SQLITE_OK) return write ? WriteError(rc) : ReadError(rc);
  int error = body();
  if (!error) {
    rc = c.Run("COMMIT");
    if (rc != SQLITE_OK) error = write ? WriteError(rc) : ReadError(rc);
  }
  if (error && !sqlite3_get_autocommit(c.db)) c.Run("ROLLBACK");
  return error;
}

// How a call on one key finds it: for reading, for changing, or making what is missing.
enum class KeyUse { kRead, kChange, kMake };

// The frame of every call on one key: the root's connection, one transaction, and the key's
// id for body(connection, id). A missing key ends the call with ifMissing (kMake never misses).
template <typename Body>
int OnKey(int root, const QStringList& path, KeyUse use, int ifMissing, Body body) {
  int error = ceOK;
  Connection* c = Connect(root, error);
  if (!c) return error;
  return InTransaction(*c, use != KeyUse::kRead, [&] {
    qint64 id = kRootKeyId;
    const int e = use == KeyUse::kMake ? EnsureKey(*c, path, id) : FindKey(*c, path, id);
    if (e) return e == ceStoreNoKey ? ifMissing : e;
    return int(body(*c, id));
  });
}

// A key path and the name of a value in it, as the calls on one value take them.
bool SplitValuePath(const QString& key, const QString& name, QStringList& path) {
  return SplitKey(key, path) && ValidName(name, kMaxValueNameLength);
}

// The type and the value of a row, from the columns type and type + 1; the name is left out.
TRegValue TypedValueFromRow(const Statement& st, int typeColumn) {
  TRegValue v;
  v.type = static_cast<TRegType>(st.Int(typeColumn));
  const int column = typeColumn + 1;
  switch (v.type) {
    case TRegType::rtString: v.value = st.Text(column); break;
    case TRegType::rtInteger: v.value = st.Int(column); break;
    case TRegType::rtBool: v.value = st.Int(column) != 0; break;
    case TRegType::rtFloat: v.value = st.Float(column); break;
    default: v.type = TRegType::rtNone; break;  // written by something newer: not ours to read
  }
  return v;
}

TRegValue ValueFromRow(const Statement& st) {
  // Columns: name, type, value.
  TRegValue v = TypedValueFromRow(st, 1);
  v.name = st.Text(0);
  return v;
}

// Typed reads of one stored value; the default when it cannot be converted exactly.
bool ValueAsBool(const TRegValue& v, bool defaultValue) {
  switch (v.type) {
    case TRegType::rtBool: return v.value.toBool();
    case TRegType::rtInteger: return v.value.toLongLong() != 0;
    case TRegType::rtString: {
      const QString s = v.value.toString().trimmed();
      if (s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || s == QLatin1String("1"))
        return true;
      if (s.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || s == QLatin1String("0"))
        return false;
      return defaultValue;
    }
    default: return defaultValue;
  }
}

double ValueAsFloat(const TRegValue& v, double defaultValue) {
  switch (v.type) {
    case TRegType::rtFloat: return v.value.toDouble();
    case TRegType::rtInteger: return static_cast<double>(v.value.toLongLong());
    case TRegType::rtString: {
      bool ok = false;
      const double d = v.value.toString().trimmed().toDouble(&ok);  // C locale
      return ok && std::isfinite(d) ? d : defaultValue;
    }
    default: return defaultValue;
  }
}

int ValueAsInteger(const TRegValue& v, int defaultValue) {
  constexpr qint64 lo = std::numeric_limits<int>::min();
  constexpr qint64 hi = std::numeric_limits<int>::max();
  switch (v.type) {
    case TRegType::rtInteger: {
      const qint64 i = v.value.toLongLong();
      return i >= lo && i <= hi ? static_cast<int>(i) : defaultValue;
    }
    case TRegType::rtBool: return v.value.toBool() ? 1 : 0;
    case TRegType::rtFloat: {
      const double d = v.value.toDouble();
      return std::trunc(d) == d && d >= double(lo) && d <= double(hi) ? static_cast<int>(d)
                                                                     : defaultValue;
    }
    case TRegType::rtString: {
      bool ok = false;
      const int i = v.value.toString().trimmed().toInt(&ok);
      return ok ? i : defaultValue;
    }
    default: return defaultValue;
  }
}

QString FloatToText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return QString::fromLatin1(buffer, result.ptr - buffer);
}

}  // namespace

QString RegTypeName(TRegType type) {
  switch (type) {
    case TRegType::rtString: return QStringLiteral("string");
    case TRegType::rtInteger: return QStringLiteral("int");
    case TRegType::rtBool: return QStringLiteral("bool");
    case TRegType::rtFloat: return QStringLiteral("float");
    default: return {};
  }
}

QString RegValueToText(const TRegValue& value) {
  switch (value.type) {
    case TRegType::rtString: return value.value.toString();
    case TRegType::rtInteger: return QString::number(value.value.toLongLong());
    case TRegType::rtBool:
      return value.value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case TRegType::rtFloat: return FloatToText(value.value.toDouble());
    default: return {};
  }
}

int TRegKeyTree::FindKey(int key, const QString& path) const {
  QStringList names;
  if (key < 0 || key >= Count() || !SplitKey(path, names)) return -1;
  for (const QString& name : names) {
    const QString fold = Fold(name);
    int found = -1;
    for (int sub : nodes_[static_cast<size_t>(key)].subKeys) {
      if (nodes_[static_cast<size_t>(sub)].fold == fold) {
        found = sub;
        break;
      }
    }
    if (found < 0) return -1;
    key = found;
  }
  return key;
}

const TRegValue* TRegKeyTree::FindValue(int key, const QString& name) const {
  if (key < 0 || key >= Count()) return nullptr;
  const Node& node = nodes_[static_cast<size_t>(key)];
  const QString fold = Fold(name);
  for (qsizetype i = 0; i < node.valueFolds.size(); ++i)
    if (node.valueFolds[i] == fold) return &node.values[i];
  return nullptr;
}

bool TRegKeyTree::ReadBool(int key, const QString& name, bool defaultValue) const {
  const TRegValue* v = FindValue(key, name);
  return v ? ValueAsBool(*v, defaultValue) : defaultValue;
}

double TRegKeyTree::ReadFloat(int key, const QString& name, double defaultValue) const {
  const TRegValue* v = FindValue(key, name);
  return v ? ValueAsFloat(*v, defaultValue) : defaultValue;
}

int TRegKeyTree::ReadInteger(int key, const QString& name, int defaultValue) const {
  const TRegValue* v = FindValue(key, name);
  return v ? ValueAsInteger(*v, defaultValue) : defaultValue;
}

QString TRegKeyTree::ReadString(int key, const QString& name, const QString& defaultValue) const {
  const TRegValue* v = FindValue(key, name);
  return v ? RegValueToText(*v) : defaultValue;
}

int TAppReg::GetKeyTree(int root, const QString& key, TRegKeyTree& tree) {
  tree.nodes_.clear();
  QStringList path;
  if (!SplitKey(key, path)) return ceStoreBadKey;
  std::vector<TRegKeyTree::Node> nodes;
  const int error = OnKey(root, path, KeyUse::kRead, ceOK, [&](Connection& c, qint64 top) {
    // The root key has no row of its own; every other key is the first row of its sub-tree.
    // Reading the whole root scans the tables in index order instead of walking them.
    const bool whole = top == kRootKeyId;
    static const char* const kSubTree =
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
        "  SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) ";
    const std::string keysSql =
        whole ? "SELECT id, parent, name, fold FROM keys ORDER BY parent, fold"
              : std::string(kSubTree) +
                    "SELECT keys.id, keys.parent, keys.name, keys.fold FROM keys JOIN sub "
                    "ON keys.id = sub.id ORDER BY keys.parent, keys.fold";
    const std::string valsSql =
        whole ? "SELECT name, type, value, key, fold FROM vals ORDER BY key, fold"
              : std::string(kSubTree) +
                    "SELECT vals.name, vals.type, vals.value, vals.key, vals.fold FROM vals "
                    "JOIN sub ON vals.key = sub.id ORDER BY vals.key, vals.fold";

    QHash<qint64, int> index;
    std::vector<std::pair<qint64, int>> links;  // parent id, child index; in the store's order
    nodes.emplace_back();
    index.insert(top, 0);
    {
      Statement st(c.Prepare(keysSql.c_str()));
      if (!st) return ReadError(sqlite3_errcode(c.db));
      if (!whole) st.Bind(1, top);
      int rc;
      while ((rc = st.Step()) == SQLITE_ROW) {
        const qint64 id = st.Int(0);
        if (id == top) {
          nodes[0].name = st.Text(2);
          nodes[0].fold = st.Text(3);
          continue;
        }
        const int at = static_cast<int>(nodes.size());
        nodes.emplace_back();
        nodes.back().name = st.Text(2);
        nodes.back().fold = st.Text(3);
        index.insert(id, at);
        links.emplace_back(st.Int(1), at);
      }
      if (rc != SQLITE_DONE) return ReadError(rc);
    }
    // Rows come ordered by parent and name, so each key's sub-keys are appended in order.
    for (const auto& [parent, child] : links) {
      const auto it = index.constFind(parent);
      if (it != index.constEnd()) nodes[static_cast<size_t>(it.value())].subKeys.push_back(child);
    }
    Statement st(c.Prepare(valsSql.c_str()));
    if (!st) return ReadError(sqlite3_errcode(c.db));
    if (!whole) st.Bind(1, top);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      const auto it = index.constFind(st.Int(3));
      if (it == index.constEnd()) continue;
      TRegValue v = ValueFromRow(st);
      if (v.type == TRegType::rtNone) continue;
      TRegKeyTree::Node& node = nodes[static_cast<size_t>(it.value())];
      node.values.append(std::move(v));
      node.valueFolds.append(st.Text(4));
    }
    return rc == SQLITE_DONE ? int(ceOK) : ReadError(rc);
  });
  if (!error) tree.nodes_ = std::move(nodes);
  return error;
}

int TAppReg::GetValueOfSubKeys(int root, const QString& key, const QString& name,
                               QHash<QString, TRegValue>& values) {
  values.clear();
  QStringList path;
  if (!SplitValuePath(key, name, path)) return ceStoreBadKey;
  QHash<QString, TRegValue> found;
  const int error = OnKey(root, path, KeyUse::kRead, ceOK, [&](Connection& c, qint64 top) {
    // Each row of the value with its key's parent and folded name; only keys further down than
    // one level below top are walked up, one key lookup a level, each key looked up once.
    struct Row {
      qint64 key;
      qint64 parent;  // -1: the key has no row (the root key, or a value left without its key)
      QByteArray fold;
      TRegValue value;
    };
    std::vector<Row> rows;
    {
      Statement st(c.Prepare(
          "SELECT vals.name, vals.type, vals.value, vals.key, keys.parent, keys.fold "
          "FROM vals LEFT JOIN keys ON keys.id = vals.key WHERE vals.fold = ?1"));
      if (!st) return ReadError(sqlite3_errcode(c.db));
      st.Bind(1, Fold(name));
      // The name is mostly written alike in every key: one copy serves them all.
      QByteArray lastName;
      QString sharedName;
      int rc;
      while ((rc = st.Step()) == SQLITE_ROW) {
        TRegValue v = TypedValueFromRow(st, 1);
        if (v.type == TRegType::rtNone) continue;
        const QByteArrayView rawName(sqlite3_column_text(st.get(), 0), sqlite3_column_bytes(st.get(), 0));
        if (sharedName.isNull() || rawName != lastName) {
          lastName = rawName.toByteArray();
          sharedName = QString::fromUtf8(rawName);
        }
        v.name = sharedName;
        const qint64 id = st.Int(3);
        const bool hasKey = sqlite3_column_type(st.get(), 4) != SQLITE_NULL;
        const qint64 parent = hasKey ? st.Int(4) : -1;
        // A key right below top needs no walk: its folded name is its path.
        if (id != top && parent == top) {
          found.emplace(st.Text(5), std::move(v));
          continue;
        }
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 5));
        rows.push_back(Row{id, parent, QByteArray(text, sqlite3_column_bytes(st.get(), 5)), std::move(v)});
      }
      if (rc != SQLITE_DONE) return ReadError(rc);
    }
    struct Link {
      qint64 parent;  // -1: no such key
      QByteArray fold;
    };
    QHash<qint64, Link> above;
    QByteArray joined;
    for (Row& row : rows) {
      if (row.key == top) {
        found.emplace(QString(), std::move(row.value));
        continue;
      }
      if (row.parent < 0) continue;
      joined = row.fold;
      qint64 at = row.parent;
      bool below = true;
      // A damaged store could link keys in a circle: a walk longer than the keys met ends it.
      for (qsizetype steps = 0; at != top && below; ++steps) {
        auto it = above.constFind(at);
        if (it == above.constEnd()) {
          Statement up(c.Prepare("SELECT parent, fold FROM keys WHERE id = ?1"));
          if (!up) return ReadError(sqlite3_errcode(c.db));
          up.Bind(1, at);
          const int rc = up.Step();
          if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ReadError(rc);
          Link link{-1, {}};
          if (rc == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(up.get(), 1));
            link = Link{up.Int(0), QByteArray(text, sqlite3_column_bytes(up.get(), 1))};
          }
          it = above.insert(at, link);
        }
        if (at == kRootKeyId || it->parent < 0 || steps > above.size()) {
          below = false;
        } else {
          joined = it->fold + '\\' + joined;
          at = it->parent;
        }
      }
      if (below) found.emplace(QString::fromUtf8(joined), std::move(row.value));
    }
    return int(ceOK);
  });
  if (!error) values = std::move(found);
  return error;
}

QString TAppReg::RootFileName(int root) {
  switch (root) {
    case rrSettings:
      return EnvFolder("XDG_CONFIG_HOME", ".config") + QStringLiteral("/Corvane/Deployer/Settings.db");
    case rrSoftware:
      return EnvFolder("XDG_DATA_HOME", ".local/share") + QStringLiteral("/Corvane/SoftwareRegistry.db");
    case rrProducts:
      return EnvFolder("XDG_DATA_HOME", ".local/share") + QStringLiteral("/Corvane/InstalledProducts.db");
    default: return {};
  }
}

int TAppReg::CreateKey(int root, const QString& key) {
  QStringList names;
  if (!SplitKey(key, names)) return ceStoreBadKey;
  return OnKey(root, names, KeyUse::kMake, ceStoreNoKey, [](Connection&, qint64) { return ceOK; });
}

int TAppReg::DeleteKey(int root, const QString& key) {
  QStringList names;
  if (!SplitKey(key, names) || names.isEmpty()) return ceStoreBadKey;
  return OnKey(root, names, KeyUse::kChange, ceStoreNoKey, [](Connection& c, qint64 id) {
    c.keyTrail.clear();
    static const char* const kDeletes[] = {
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
        "  SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
        "DELETE FROM vals WHERE key IN (SELECT id FROM sub)",
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
        "  SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
        "DELETE FROM keys WHERE id IN (SELECT id FROM sub)",
    };
    for (const char* sql : kDeletes) {
      Statement st(c.Prepare(sql));
      if (!st) return WriteError(sqlite3_errcode(c.db));
      st.Bind(1, id);
      const int rc = st.Step();
      if (rc != SQLITE_DONE) return WriteError(rc);
    }
    return int(ceOK);
  });
}

bool TAppReg::KeyExists(int root, const QString& key) {
  QStringList names;
  if (!SplitKey(key, names)) return false;
  int error = ceOK;
  Connection* c = Connect(root, error);
  if (!c) return false;
  qint64 id = 0;
  return FindKey(*c, names, id) == ceOK;
}

int TAppReg::GetKeyNames(int root, const QString& key, QStringList& names) {
  names.clear();
  QStringList path;
  if (!SplitKey(key, path)) return ceStoreBadKey;
  QStringList found;
  const int error = OnKey(root, path, KeyUse::kRead, ceOK, [&](Connection& c, qint64 id) {
    Statement st(c.Prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold"));
    if (!st) return ReadError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) found.append(st.Text(0));
    return rc == SQLITE_DONE ? int(ceOK) : ReadError(rc);
  });
  if (!error) names = found;
  return error;
}

int TAppReg::GetValues(int root, const QString& key, QList<TRegValue>& values) {
  values.clear();
  QStringList path;
  if (!SplitKey(key, path)) return ceStoreBadKey;
  QList<TRegValue> found;
  const int error = OnKey(root, path, KeyUse::kRead, ceOK, [&](Connection& c, qint64 id) {
    Statement st(c.Prepare("SELECT name, type, value FROM vals WHERE key = ?1 ORDER BY fold"));
    if (!st) return ReadError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      TRegValue v = ValueFromRow(st);
      if (v.type != TRegType::rtNone) found.append(v);
    }
    return rc == SQLITE_DONE ? int(ceOK) : ReadError(rc);
  });
  if (!error) values = found;
  return error;
}

int TAppReg::ReadValue(int root, const QString& key, const QString& name, TRegValue& value) {
  value = TRegValue{};
  QStringList path;
  if (!SplitValuePath(key, name, path)) return ceStoreBadKey;
  return OnKey(root, path, KeyUse::kRead, ceStoreNoValue, [&](Connection& c, qint64 id) {
    Statement st(c.Prepare("SELECT name, type, value FROM vals WHERE key = ?1 AND fold = ?2"));
    if (!st) return ReadError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    st.Bind(2, Fold(name));
    const int rc = st.Step();
    if (rc == SQLITE_DONE) return int(ceStoreNoValue);
    if (rc != SQLITE_ROW) return ReadError(rc);
    value = ValueFromRow(st);
    return value.type == TRegType::rtNone ? int(ceStoreNoValue) : int(ceOK);
  });
}

bool TAppReg::ValueExists(int root, const QString& key, const QString& name) {
  TRegValue v;
  return ReadValue(root, key, name, v) == ceOK;
}

bool TAppReg::ReadBool(int root, const QString& key, const QString& name, bool defaultValue) {
  TRegValue v;
  if (ReadValue(root, key, name, v) != ceOK) return defaultValue;
  return ValueAsBool(v, defaultValue);
}

double TAppReg::ReadFloat(int root, const QString& key, const QString& name, double defaultValue) {
  TRegValue v;
  if (ReadValue(root, key, name, v) != ceOK) return defaultValue;
  return ValueAsFloat(v, defaultValue);
}

int TAppReg::ReadInteger(int root, const QString& key, const QString& name, int defaultValue) {
  TRegValue v;
  if (ReadValue(root, key, name, v) != ceOK) return defaultValue;
  return ValueAsInteger(v, defaultValue);
}

QString TAppReg::ReadString(int root, const QString& key, const QString& name,
                            const QString& defaultValue) {
  TRegValue v;
  if (ReadValue(root, key, name, v) != ceOK) return defaultValue;
  return RegValueToText(v);
}

int TAppReg::WriteBool(int root, const QString& key, const QString& name, bool value) {
  return Write(root, key, name, TRegType::rtBool, QVariant(value));
}

int TAppReg::WriteFloat(int root, const QString& key, const QString& name, double value) {
  // Not-a-number and infinities have no faithful text form and would not read back.
  if (!std::isfinite(value)) return ceStoreBadValue;
  return Write(root, key, name, TRegType::rtFloat, QVariant(value));
}

int TAppReg::WriteInteger(int root, const QString& key, const QString& name, qint64 value) {
  return Write(root, key, name, TRegType::rtInteger, QVariant(value));
}

int TAppReg::WriteString(int root, const QString& key, const QString& name, const QString& value) {
  return Write(root, key, name, TRegType::rtString, QVariant(value));
}

int TAppReg::Write(int root, const QString& key, const QString& name, TRegType type,
                   const QVariant& value) {
  QStringList path;
  if (!SplitValuePath(key, name, path)) return ceStoreBadKey;
  return OnKey(root, path, KeyUse::kMake, ceStoreNoKey, [&](Connection& c, qint64 id) {
    Statement st(c.Prepare(
        "INSERT INTO vals(key, name, fold, type, value) VALUES(?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, value = excluded.value"));
    if (!st) return WriteError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    st.Bind(2, name);
    st.Bind(3, Fold(name));
    st.Bind(4, static_cast<qint64>(type));
    switch (type) {
      case TRegType::rtString: st.Bind(5, value.toString()); break;
      case TRegType::rtInteger: st.Bind(5, value.toLongLong()); break;
      case TRegType::rtBool: st.Bind(5, qint64{value.toBool() ? 1 : 0}); break;
      case TRegType::rtFloat: st.Bind(5, value.toDouble()); break;
      default: return int(ceStoreBadValue);
    }
    const int rc = st.Step();
    return rc == SQLITE_DONE ? int(ceOK) : WriteError(rc);
  });
}

int TAppReg::DeleteValue(int root, const QString& key, const QString& name) {
  QStringList path;
  if (!SplitValuePath(key, name, path)) return ceStoreBadKey;
  return OnKey(root, path, KeyUse::kChange, ceStoreNoValue, [&](Connection& c, qint64 id) {
    Statement st(c.Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2"));
    if (!st) return WriteError(sqlite3_errcode(c.db));
    st.Bind(1, id);
    st.Bind(2, Fold(name));
    const int rc = st.Step();
    if (rc != SQLITE_DONE) return WriteError(rc);
    return sqlite3_changes(c.db) > 0 ? int(ceOK) : int(ceStoreNoValue);
  });
}

int TAppReg::CheckStore(int root) {
  int error = ceOK;
  Connection* c = Connect(root, error);
  if (!c) return error;
  Statement st(c->Prepare("PRAGMA integrity_check"));
  if (!st) return ReadError(sqlite3_errcode(c->db));
  const int rc = st.Step();
  if (rc != SQLITE_ROW) return ReadError(rc);
  return st.Text(0) == QLatin1String("ok") ? int(ceOK) : int(ceStoreCorrupt);
}

int TAppReg::BeginBatch(int root) {
  int error = ceOK;
  Connection* c = Connect(root, error);
  if (!c) return error;
  if (c->batchDepth == 0) {
    c->keyTrail.clear();
    const int rc = c->Run("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return WriteError(rc);
  }
  ++c->batchDepth;
  return ceOK;
}

int TAppReg::EndBatch(int root, bool commit) {
  if (root < 0 || root >= regstore::kRootCount) return ceStoreBadKey;
  Connection* c = regstore::Current(root);
  if (!c || c->batchDepth == 0) return ceStoreBadKey;
  if (!commit) c->batchFailed = true;
  if (--c->batchDepth > 0) return ceOK;
  c->keyTrail.clear();
  int error = ceOK;
  if (!c->batchFailed) {
    const int rc = c->Run("COMMIT");
    if (rc != SQLITE_OK) error = WriteError(rc);
  } else {
    error = ceStoreWrite;
  }
  if (!sqlite3_get_autocommit(c->db)) c->Run("ROLLBACK");
  c->batchFailed = false;
  return error;
}

void TAppReg::CloseConnections() { regstore::CloseAll(); }

TAppReg& GetAppReg() {
  static TAppReg reg;
  return reg;
}

}  // namespace cvlib
