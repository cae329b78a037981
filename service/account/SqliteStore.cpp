#include "ServiceStore.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace cvservice {
namespace {

namespace fs = std::filesystem;

class TSqliteStore final : public TServiceStore {
 public:
  ~TSqliteStore() override {
    if (db_) sqlite3_close(db_);
  }

  bool Open(const std::string& given, std::string& error) {
    // SQLite's NOFOLLOW refuses a link anywhere in the path, and the folder may be reached
    // through one (systemd's /var/lib/NAME of a dynamic user leads to /var/lib/private/NAME):
    // the folder's links are resolved here, and the file itself is never one.
    std::error_code ec;
    const fs::path folder = fs::canonical(fs::path(given).parent_path().empty() ? fs::path(".") : fs::path(given).parent_path(), ec);
    if (ec) {
      error = given + ": " + ec.message();
      return false;
    }
    const std::string path = (folder / fs::path(given).filename()).string();
    path_ = given;
    // Made here, 0600 and not through a link; SQLite gives its journal the same mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    ::close(fd);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
      return Fail(error);
    sqlite3_busy_timeout(db_, 5000);
    return Exec("PRAGMA journal_mode=WAL;"
                "PRAGMA synchronous=FULL;"
                "CREATE TABLE IF NOT EXISTS tokens(hash TEXT PRIMARY KEY, email TEXT NOT NULL,"
                " expires INTEGER NOT NULL, created INTEGER NOT NULL);"
                "CREATE INDEX IF NOT EXISTS tokens_email ON tokens(email, created);"
                "CREATE TABLE IF NOT EXISTS failures(key TEXT NOT NULL, at INTEGER NOT NULL);"
                "CREATE INDEX IF NOT EXISTS failures_key ON failures(key, at);"
                "CREATE TABLE IF NOT EXISTS sessions(hash TEXT PRIMARY KEY, email TEXT NOT NULL,"
                " expires INTEGER NOT NULL);"
                "CREATE INDEX IF NOT EXISTS sessions_expires ON sessions(expires);",
                error);
  }

  // The accounts stay in accounts.json beside the file: the operator's commands write it.
  bool HoldsAccounts() const override { return false; }
  std::optional<TAccount> FindAccount(const std::string&, std::string&) override { return std::nullopt; }
  bool PutAccount(const TAccount&, bool, std::string& error) override {
    error = path_ + ": the accounts are in accounts.json";
    return false;
  }
  bool RemoveAccount(const std::string&, std::string& error) override {
    error = path_ + ": the accounts are in accounts.json";
    return false;
  }

  bool AddSession(const std::string& hash, const TStoredToken& session, std::int64_t now,
                  std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    const bool ok = Run("DELETE FROM sessions WHERE expires <= ?", {}, now, error) &&
                    Run("INSERT OR REPLACE INTO sessions(hash, email, expires) VALUES(?, ?, ?)",
                        {hash, session.email}, session.expires, error);
    return Finish(ok, error);
  }

  std::optional<TStoredToken> FindSession(const std::string& hash, std::string& error) override {
    return Find("SELECT email, expires FROM sessions WHERE hash = ?", hash, error);
  }

  bool ClearSessions(std::string& error) override {
    std::lock_guard lock(mutex_);
    return Run("DELETE FROM sessions", {}, std::nullopt, error);
  }

  bool AddToken(const std::string& hash, const TStoredToken& token, std::size_t keepPerAccount, std::int64_t now,
                std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    const std::string email = Lower(token.email);
    bool ok = Run("DELETE FROM tokens WHERE expires <= ?", {}, now, error) &&
              Run("INSERT OR REPLACE INTO tokens(hash, email, expires, created) VALUES(?, ?, ?, ?)",
                  {hash, email}, token.expires, error, ++sequence_ + now * 1000000) &&
              Run("DELETE FROM tokens WHERE email = ? AND hash NOT IN (SELECT hash FROM tokens WHERE email = ?"
                  " ORDER BY created DESC LIMIT ?)",
                  {email, email}, static_cast<std::int64_t>(keepPerAccount), error);
    return Finish(ok, error);
  }

  std::optional<TStoredToken> FindToken(const std::string& hash, std::string& error) override {
    return Find("SELECT email, expires FROM tokens WHERE hash = ?", hash, error);
  }

  // One row of (email, expires) by hash.
  std::optional<TStoredToken> Find(const char* sql, const std::string& hash, std::string& error) {
    std::lock_guard lock(mutex_);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
      Fail(error);
      return std::nullopt;
    }
    sqlite3_bind_text(st, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
    std::optional<TStoredToken> found;
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
      found = TStoredToken{reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_int64(st, 1)};
    else if (rc != SQLITE_DONE)
      Fail(error);
    sqlite3_finalize(st);
    return found;
  }

  bool RemoveToken(const std::string& hash, std::string& error) override {
    std::lock_guard lock(mutex_);
    return Run("DELETE FROM tokens WHERE hash = ?", {hash}, std::nullopt, error);
  }

  bool AddFailure(const std::string& key, std::int64_t at, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    // Failures older than any window are of no use.
    const bool ok = Run("DELETE FROM failures WHERE at < ?", {}, at - 24 * 3600, error) &&
                    Run("INSERT INTO failures(key, at) VALUES(?, ?)", {key}, at, error);
    return Finish(ok, error);
  }

  int CountFailures(const std::string& key, std::int64_t since, std::int64_t& oldest, std::string& error) override {
    std::lock_guard lock(mutex_);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*), MIN(at) FROM failures WHERE key = ? AND at >= ?", -1, &st,
                           nullptr) != SQLITE_OK) {
      Fail(error);
      return -1;
    }
    sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 2, since);
    int count = -1;
    if (sqlite3_step(st) == SQLITE_ROW) {
      count = sqlite3_column_int(st, 0);
      oldest = sqlite3_column_int64(st, 1);
    } else {
      Fail(error);
    }
    sqlite3_finalize(st);
    return count;
  }

  bool ClearFailures(const std::string& key, std::string& error) override {
    std::lock_guard lock(mutex_);
    return Run("DELETE FROM failures WHERE key = ?", {key}, std::nullopt, error);
  }

  // Takes over an earlier version's tokens.json in one transaction, then renames it.
  bool Migrate(const fs::path& tokensFile, std::int64_t now, std::string& error) {
    std::error_code ec;
    if (!fs::exists(tokensFile, ec)) return true;
    std::ifstream in(tokensFile, std::ios::binary);
    const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
      error = tokensFile.string() + ": not a JSON object";
      return false;
    }
    std::lock_guard lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    bool ok = true;
    try {
      for (const auto& item : doc.at("tokens")) {
        const std::string hash = Lower(item.at("hash").get<std::string>());
        const std::int64_t expires = item.at("expires").get<std::int64_t>();
        if (hash.size() != 64 || expires <= now) continue;
        ok = ok && Run("INSERT OR IGNORE INTO tokens(hash, email, expires, created) VALUES(?, ?, ?, ?)",
                       {hash, Lower(item.at("email").get<std::string>())}, expires, error, ++sequence_);
      }
    } catch (const std::exception& e) {
      error = tokensFile.string() + ": " + e.what();
      ok = false;
    }
    if (!Finish(ok, error)) return false;
    fs::rename(tokensFile, tokensFile.string() + ".migrated", ec);
    if (ec) {
      error = tokensFile.string() + ": cannot be renamed after it was taken over: " + ec.message();
      return false;
    }
    return true;
  }

 private:
  static std::string Lower(std::string text) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  }

  bool Fail(std::string& error) {
    error = path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot be opened");
    return false;
  }

  bool Exec(const char* sql, std::string& error) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail(error);
  }

  bool Finish(bool ok, std::string& error) {
    if (ok && Exec("COMMIT", error)) return true;
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
  }

  // Texts first, then up to two numbers, bound in that order.
  bool Run(const char* sql, std::initializer_list<std::string> texts, std::optional<std::int64_t> number,
           std::string& error, std::optional<std::int64_t> second = std::nullopt) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return Fail(error);
    int i = 1;
    for (const auto& text : texts) sqlite3_bind_text(st, i++, text.c_str(), -1, SQLITE_TRANSIENT);
    if (number) sqlite3_bind_int64(st, i++, *number);
    if (second) sqlite3_bind_int64(st, i++, *second);
    const int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE || Fail(error);
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  std::mutex mutex_;
  std::int64_t sequence_ = 0;
};

}  // namespace

std::unique_ptr<TServiceStore> OpenSqliteStore(const std::string& path, std::string& error) {
  auto store = std::make_unique<TSqliteStore>();
  if (!store->Open(path, error)) return nullptr;
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  if (!store->Migrate(fs::path(path).parent_path() / "tokens.json", now, error)) return nullptr;
  return store;
}

}  // namespace cvservice
