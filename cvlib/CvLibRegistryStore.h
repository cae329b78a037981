#pragma once

// The settings stores' files: one SQLite connection per thread and root, opened with the
// schema brought up to date, and the statement cache around it. CvLibRegistry.cpp builds the
// keys and values on it.

#include <QString>

#include <sqlite3.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cvlib::regstore {

inline constexpr int kRootCount = 4;

// A damaged file, as against a store that is busy or cannot be reached.
bool IsCorrupt(int rc);

struct Connection {
  sqlite3* db = nullptr;
  QString path;
  dev_t device = 0;
  ino_t inode = 0;
  std::map<std::string, sqlite3_stmt*> statements;
  int batchDepth = 0;  // inside TAppReg::BeginBatch: one transaction for many calls
  // Inside a batch, the folded names and ids of the key path made or found last: a batch
  // writes many values under one parent, one after the other. Emptied whenever a key of it
  // may have gone (a deletion, a call rolled back, the batch's end).
  std::vector<std::pair<QString, qint64>> keyTrail;
  bool batchFailed = false;  // a batch inside it was given up: the whole one is rolled back

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    for (auto& entry : statements) sqlite3_finalize(entry.second);
    if (db) sqlite3_close_v2(db);
  }

  int Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  // One statement, compiled once: transaction control runs around every call.
  int Run(const char* sql) {
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) return sqlite3_errcode(db);
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
  }

  sqlite3_stmt* Prepare(const char* sql) {
    auto it = statements.find(sql);
    if (it != statements.end()) return it->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
      sqlite3_finalize(statement);
      return nullptr;
    }
    statements.emplace(sql, statement);
    return statement;
  }

  // Still the file that the environment names now? A store file that was removed or
  // replaced while we held it open is opened again, so writes never go to a ghost.
  bool StillCurrent(const QString& wanted) const;
};

// Resets a cached statement however the caller leaves.
class Statement {
 public:
  explicit Statement(sqlite3_stmt* statement) : s_(statement) {}
  ~Statement() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return s_ != nullptr; }
  sqlite3_stmt* get() const { return s_; }

  void Bind(int index, qint64 value) { sqlite3_bind_int64(s_, index, value); }
  void Bind(int index, double value) { sqlite3_bind_double(s_, index, value); }
  void Bind(int index, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(s_, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(s_); }

  qint64 Int(int column) const { return sqlite3_column_int64(s_, column); }
  double Float(int column) const { return sqlite3_column_double(s_, column); }
  QString Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s_, column));
    return QString::fromUtf8(text, sqlite3_column_bytes(s_, column));
  }

 private:
  sqlite3_stmt* s_;
};

// The calling thread's connection to a root's store, opened (again) when it is not open or its
// file was replaced; null with `error` set when it cannot be opened.
Connection* Connect(int root, int& error);
// The calling thread's open connection to a root's store, or null.
Connection* Current(int root);
// Closes the calling thread's connections.
void CloseAll();

}  // namespace cvlib::regstore
