#include "CvLibRegistryStore.h"

#include "CvLibErrors.h"
#include "CvLibRegistry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

namespace cvlib::regstore {
namespace {

// Long enough for another process's whole write to finish; a write that still finds the store
// locked after this reports ceStoreWrite.
constexpr int kBusyTimeoutMs = 15000;

// Schema migrations: entry i brings a store of version i to version i + 1. A store of a newer
// version than this list knows is not touched (ceStoreNewer).
const char* const kMigrations[] = {
    // 0 -> 1: keys as a tree under the root key 0; names kept as written and case-folded.
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  value,"
    "  PRIMARY KEY(key, fold)) WITHOUT ROWID;",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

}  // namespace

bool IsCorrupt(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

namespace {

int ReadUserVersion(Connection& c, int& version) {
  Statement st(c.Prepare("PRAGMA user_version"));
  if (!st) return sqlite3_errcode(c.db);
  const int rc = st.Step();
  if (rc != SQLITE_ROW) return rc;
  version = static_cast<int>(st.Int(0));
  return SQLITE_OK;
}

int BringSchemaUpToDate(Connection& c) {
  int version = 0;
  int rc = ReadUserVersion(c, version);
  if (rc != SQLITE_OK) return IsCorrupt(rc) ? ceStoreCorrupt : ceStoreOpen;
  if (version == kSchemaVersion) return ceOK;
  if (version > kSchemaVersion) return ceStoreNewer;

  rc = c.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return IsCorrupt(rc) ? ceStoreCorrupt : ceStoreOpen;
  // Another process may have brought it up to date while we waited for the lock.
  rc = ReadUserVersion(c, version);
  int error = rc == SQLITE_OK ? ceOK : ceStoreOpen;
  if (!error && version > kSchemaVersion) error = ceStoreNewer;
  for (; !error && version < kSchemaVersion; ++version) {
    if (c.Exec(kMigrations[version]) != SQLITE_OK) error = ceStoreOpen;
  }
  if (!error) {
    const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (c.Exec(setVersion.c_str()) != SQLITE_OK || c.Exec("COMMIT") != SQLITE_OK) error = ceStoreOpen;
  }
  if (error) c.Exec("ROLLBACK");
  return error;
}

// The settings hold the account's sign-in token: readable by the user alone. The store is made
// so, and one made readable by others (by an older version) is mended; SQLite gives its journal
// files the store's own mode when it makes them.
void MakePrivate(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const QByteArray file = name + suffix;
    struct stat st {};
    if (::lstat(file.constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
      ::chmod(file.constData(), st.st_mode & 0700);
  }
}

int OpenConnection(const QString& path, std::unique_ptr<Connection>& out, bool privateStore) {
  const QFileInfo info(path);
  if (!QDir().mkpath(info.absolutePath())) return ceStoreOpen;
  if (info.exists() && !info.isFile()) return ceStoreOpen;  // a folder or device in its place
  if (privateStore) MakePrivate(path);

  auto c = std::make_unique<Connection>();
  c->path = path;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(QFile::encodeName(path).constData(), &c->db, flags, nullptr) != SQLITE_OK)
    return ceStoreOpen;
  sqlite3_busy_timeout(c->db, kBusyTimeoutMs);

  // WAL lets readers go on while one process writes; FULL makes each commit durable before
  // the call returns. The first statement is also where a damaged file shows itself.
  // While another process is creating the store or switching it to WAL, these steps can
  // answer "busy" without waiting in the busy handler: try again until the timeout.
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(c->db, "PRAGMA journal_mode=WAL", -1, &raw, nullptr);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(raw);
      if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    sqlite3_finalize(raw);
    int error = ceOK;
    if (rc != SQLITE_OK) {
      error = IsCorrupt(rc) ? ceStoreCorrupt : ceStoreOpen;
    } else if (c->Exec("PRAGMA synchronous=FULL") != SQLITE_OK) {
      error = ceStoreOpen;
    } else {
      error = BringSchemaUpToDate(*c);
    }
    if (error == ceOK) break;
    const int last = sqlite3_errcode(c->db) & 0xFF;
    const bool busy = last == SQLITE_BUSY || last == SQLITE_LOCKED;
    if (!busy || error == ceStoreCorrupt || error == ceStoreNewer || waited.elapsed() > kBusyTimeoutMs)
      return error;
    QThread::msleep(20);
  }

  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return ceStoreOpen;
  c->device = st.st_dev;
  c->inode = st.st_ino;
  out = std::move(c);
  return ceOK;
}

// One connection per thread and root: SQLite connections are not shared between threads.
thread_local std::array<std::unique_ptr<Connection>, kRootCount> tConnections;

}  // namespace

bool Connection::StillCurrent(const QString& wanted) const {
  if (wanted != path) return false;
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return false;
  return st.st_dev == device && st.st_ino == inode;
}

Connection* Connect(int root, int& error) {
  const QString path = TAppReg::RootFileName(root);
  if (path.isEmpty()) {
    error = ceStoreBadKey;
    return nullptr;
  }
  auto& slot = tConnections[static_cast<size_t>(root)];
  // A batch keeps its connection to the end: its transaction lives there.
  if (slot && (slot->batchDepth > 0 || slot->StillCurrent(path))) {
    error = ceOK;
    return slot.get();
  }
  slot.reset();
  error = OpenConnection(path, slot, root == rrSettings);
  if (error) slot.reset();
  return slot.get();
}

Connection* Current(int root) {
  if (root < 0 || static_cast<size_t>(root) >= tConnections.size()) return nullptr;
  return tConnections[static_cast<size_t>(root)].get();
}

void CloseAll() {
  for (auto& slot : tConnections) slot.reset();
}

}  // namespace cvlib::regstore
