// The service's state in a PostgreSQL database that any number of instances share.
#include "ServiceStore.h"

#include <libpq-fe.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace cvservice {
namespace {

using nlohmann::json;

// Each entry brings the schema from its index to the next version; never change one that
// shipped, add another.
const char* const kMigrations[] = {
    "CREATE TABLE accounts(email_key TEXT PRIMARY KEY, email TEXT NOT NULL, salt TEXT NOT NULL,"
    " hash TEXT NOT NULL, rounds INTEGER NOT NULL, products TEXT NOT NULL DEFAULT '[]');"
    "CREATE TABLE sessions(hash TEXT PRIMARY KEY, email TEXT NOT NULL, expires BIGINT NOT NULL);"
    "CREATE INDEX sessions_expires ON sessions(expires);"
    "CREATE TABLE tokens(hash TEXT PRIMARY KEY, email TEXT NOT NULL, expires BIGINT NOT NULL,"
    " created BIGSERIAL);"
    "CREATE INDEX tokens_email ON tokens(email, created);"
    "CREATE TABLE failures(key TEXT NOT NULL, at BIGINT NOT NULL);"
    "CREATE INDEX failures_key ON failures(key, at);",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));
// Taken for the length of a migration, so that instances starting at once migrate once.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(726557001)";

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

struct TResultFree {
  void operator()(PGresult* r) const { PQclear(r); }
};
using TResult = std::unique_ptr<PGresult, TResultFree>;

struct TConnFree {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using TConn = std::unique_ptr<PGconn, TConnFree>;

TConn Connect(const std::string& url, std::string& error) {
  TConn conn(PQconnectdb(url.c_str()));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    // The URL may carry a password: only the server's words go into the message.
    error = std::string("database: ") + (conn ? PQerrorMessage(conn.get()) : "out of memory");
    while (!error.empty() && error.back() == '\n') error.pop_back();
    return nullptr;
  }
  return conn;
}

// Runs `sql` with text parameters; null with `error` set when it failed.
TResult Query(PGconn* conn, const char* sql, const std::vector<std::string>& params, std::string& error) {
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p.c_str());
  // Without parameters several statements may go in one text (a migration).
  TResult result(values.empty() ? PQexec(conn, sql)
                                : PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                                               nullptr, nullptr, 0));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    error = std::string("database: ") + PQerrorMessage(conn);
    while (!error.empty() && error.back() == '\n') error.pop_back();
    return nullptr;
  }
  return result;
}

// The schema version of a database; 0 when it has none yet.
int SchemaVersion(PGconn* conn, std::string& error) {
  TResult exists = Query(conn, "SELECT to_regclass('schema_version') IS NOT NULL", {}, error);
  if (!exists) return -1;
  if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") return 0;
  TResult row = Query(conn, "SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, error);
  return row ? std::atoi(PQgetvalue(row.get(), 0, 0)) : -1;
}

class TPostgresStore final : public TServiceStore {
 public:
  explicit TPostgresStore(std::string url) : url_(std::move(url)) {}

  bool Open(std::string& error) {
    TConn conn = Acquire(error);
    if (!conn) return false;
    const int version = SchemaVersion(conn.get(), error);
    Release(std::move(conn));
    if (version < 0) return false;
    if (version != kSchemaVersion) {
      error = "database: schema version " + std::to_string(version) + ", this program needs " +
              std::to_string(kSchemaVersion) + " (run 'deployer-service migrate --database URL')";
      return false;
    }
    return true;
  }

  bool HoldsAccounts() const override { return true; }

  std::optional<TAccount> FindAccount(const std::string& email, std::string& error) override {
    std::optional<TAccount> found;
    Run(error, [&](PGconn* c) {
      TResult r = Query(c, "SELECT email, salt, hash, rounds, products FROM accounts WHERE email_key = $1",
                        {Lower(email)}, error);
      if (!r) return false;
      if (PQntuples(r.get()) == 0) return true;
      TAccount a;
      a.email = PQgetvalue(r.get(), 0, 0);
      a.salt = PQgetvalue(r.get(), 0, 1);
      a.hash = PQgetvalue(r.get(), 0, 2);
      a.rounds = std::atoi(PQgetvalue(r.get(), 0, 3));
      const json products = json::parse(PQgetvalue(r.get(), 0, 4), nullptr, false);
      if (products.is_array())
        for (const json& p : products)
          if (p.is_array() && p.size() == 2 && p[0].is_number_integer() && p[1].is_number_integer())
            a.products.push_back({p[0].get<std::int32_t>(), p[1].get<std::int32_t>()});
      found = std::move(a);
      return true;
    });
    return found;
  }

  bool PutAccount(const TAccount& account, bool replace, std::string& error) override {
    json products = json::array();
    for (const auto& p : account.products) products.push_back({p.product, p.mask});
    const char* sql = replace
                          ? "INSERT INTO accounts(email_key, email, salt, hash, rounds, products) VALUES($1,$2,$3,$4,$5,$6)"
                            " ON CONFLICT(email_key) DO UPDATE SET email=$2, salt=$3, hash=$4, rounds=$5, products=$6"
                          : "INSERT INTO accounts(email_key, email, salt, hash, rounds, products) VALUES($1,$2,$3,$4,$5,$6)";
    return Run(error, [&](PGconn* c) {
      return Query(c, sql,
                   {Lower(account.email), account.email, account.salt, account.hash, std::to_string(account.rounds),
                    products.dump()},
                   error) != nullptr;
    });
  }

  bool RemoveAccount(const std::string& email, std::string& error) override {
    bool removed = false;
    const bool ok = Run(error, [&](PGconn* c) {
      TResult r = Query(c, "DELETE FROM accounts WHERE email_key = $1", {Lower(email)}, error);
      if (r) removed = std::string(PQcmdTuples(r.get())) != "0";
      return r != nullptr;
    });
    return ok && removed;
  }

  bool AddSession(const std::string& hash, const TStoredToken& session, std::int64_t now,
                  std::string& error) override {
    return Transaction(error, [&](PGconn* c) {
      return Query(c, "DELETE FROM sessions WHERE expires <= $1", {std::to_string(now)}, error) &&
             Query(c, "INSERT INTO sessions(hash, email, expires) VALUES($1, $2, $3)"
                      " ON CONFLICT(hash) DO UPDATE SET email=$2, expires=$3",
                   {hash, session.email, std::to_string(session.expires)}, error);
    });
  }

  std::optional<TStoredToken> FindSession(const std::string& hash, std::string& error) override {
    return Find("SELECT email, expires FROM sessions WHERE hash = $1", hash, error);
  }

  bool ClearSessions(std::string& error) override {
    return Run(error, [&](PGconn* c) { return Query(c, "DELETE FROM sessions", {}, error) != nullptr; });
  }

  bool AddToken(const std::string& hash, const TStoredToken& token, std::size_t keepPerAccount, std::int64_t now,
                std::string& error) override {
    const std::string email = Lower(token.email);
    return Transaction(error, [&](PGconn* c) {
      return Query(c, "DELETE FROM tokens WHERE expires <= $1", {std::to_string(now)}, error) &&
             Query(c, "INSERT INTO tokens(hash, email, expires) VALUES($1, $2, $3)"
                      " ON CONFLICT(hash) DO UPDATE SET email=$2, expires=$3",
                   {hash, email, std::to_string(token.expires)}, error) &&
             Query(c, "DELETE FROM tokens WHERE email = $1 AND hash NOT IN (SELECT hash FROM tokens"
                      " WHERE email = $1 ORDER BY created DESC LIMIT $2)",
                   {email, std::to_string(keepPerAccount)}, error);
    });
  }

  std::optional<TStoredToken> FindToken(const std::string& hash, std::string& error) override {
    return Find("SELECT email, expires FROM tokens WHERE hash = $1", hash, error);
  }

  bool RemoveToken(const std::string& hash, std::string& error) override {
    return Run(error, [&](PGconn* c) { return Query(c, "DELETE FROM tokens WHERE hash = $1", {hash}, error) != nullptr; });
  }

  bool AddFailure(const std::string& key, std::int64_t at, std::string& error) override {
    return Transaction(error, [&](PGconn* c) {
      // Failures older than any window are of no use.
      return Query(c, "DELETE FROM failures WHERE at < $1", {std::to_string(at - 24 * 3600)}, error) &&
             Query(c, "INSERT INTO failures(key, at) VALUES($1, $2)", {key, std::to_string(at)}, error);
    });
  }

  int CountFailures(const std::string& key, std::int64_t since, std::int64_t& oldest, std::string& error) override {
    int count = -1;
    Run(error, [&](PGconn* c) {
      TResult r = Query(c, "SELECT COUNT(*), COALESCE(MIN(at), 0) FROM failures WHERE key = $1 AND at >= $2",
                        {key, std::to_string(since)}, error);
      if (!r) return false;
      count = std::atoi(PQgetvalue(r.get(), 0, 0));
      oldest = std::atoll(PQgetvalue(r.get(), 0, 1));
      return true;
    });
    return count;
  }

  bool ClearFailures(const std::string& key, std::string& error) override {
    return Run(error, [&](PGconn* c) { return Query(c, "DELETE FROM failures WHERE key = $1", {key}, error) != nullptr; });
  }

 private:
  std::optional<TStoredToken> Find(const char* sql, const std::string& hash, std::string& error) {
    std::optional<TStoredToken> found;
    Run(error, [&](PGconn* c) {
      TResult r = Query(c, sql, {hash}, error);
      if (!r) return false;
      if (PQntuples(r.get()) > 0) found = TStoredToken{PQgetvalue(r.get(), 0, 0), std::atoll(PQgetvalue(r.get(), 0, 1))};
      return true;
    });
    return found;
  }

  // Runs `work` on a pooled connection. A connection the server dropped (a restart, a fail-over)
  // is thrown away and the work tried once more on a new one.
  bool Run(std::string& error, const std::function<bool(PGconn*)>& work) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      TConn conn = Acquire(error);
      if (!conn) return false;
      error.clear();
      if (work(conn.get())) {
        Release(std::move(conn));
        return true;
      }
      if (PQstatus(conn.get()) == CONNECTION_OK) {
        Release(std::move(conn));
        return false;
      }
      conn.reset();
      Forget();
    }
    return false;
  }

  bool Transaction(std::string& error, const std::function<bool(PGconn*)>& work) {
    return Run(error, [&](PGconn* c) {
      if (!Query(c, "BEGIN", {}, error)) return false;
      if (work(c) && Query(c, "COMMIT", {}, error)) return true;
      std::string ignored;
      Query(c, "ROLLBACK", {}, ignored);
      return false;
    });
  }

  // A connection for one piece of work. An instance opens at most kMaxConnections and further
  // work waits for one of them: opening one per request costs the server a process each time.
  TConn Acquire(std::string& error) {
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [this] { return !idle_.empty() || open_ < kMaxConnections; });
    if (!idle_.empty()) {
      TConn conn = std::move(idle_.back());
      idle_.pop_back();
      return conn;
    }
    ++open_;
    lock.unlock();
    TConn conn = Connect(url_, error);
    if (!conn) Forget();
    return conn;
  }

  void Release(TConn conn) {
    {
      std::lock_guard lock(mutex_);
      idle_.push_back(std::move(conn));
    }
    freed_.notify_one();
  }

  // A connection was closed: another may be opened.
  void Forget() {
    {
      std::lock_guard lock(mutex_);
      --open_;
    }
    freed_.notify_one();
  }

  static constexpr std::size_t kMaxConnections = 16;
  std::string url_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::size_t open_ = 0;
  std::vector<TConn> idle_;
};

}  // namespace

bool IsPostgresUrl(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

std::unique_ptr<TServiceStore> OpenPostgresStore(const std::string& url, std::string& error) {
  auto store = std::make_unique<TPostgresStore>(url);
  if (!store->Open(error)) return nullptr;
  return store;
}

bool MigratePostgres(const std::string& url, int& version, std::string& error) {
  TConn conn = Connect(url, error);
  if (!conn) return false;
  PGconn* c = conn.get();
  if (!Query(c, "SET client_min_messages = warning", {}, error) || !Query(c, "BEGIN", {}, error)) return false;
  bool ok = Query(c, kMigrationLock, {}, error) &&
            Query(c, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL, at TIMESTAMPTZ NOT NULL DEFAULT now())",
                  {}, error);
  version = ok ? SchemaVersion(c, error) : -1;
  if (version > kSchemaVersion) {
    error = "database: schema version " + std::to_string(version) + " is newer than this program's " +
            std::to_string(kSchemaVersion);
    ok = false;
  }
  for (; ok && version >= 0 && version < kSchemaVersion; ++version) {
    ok = Query(c, kMigrations[version], {}, error) &&
         Query(c, "INSERT INTO schema_version(version) VALUES($1)", {std::to_string(version + 1)}, error);
  }
  if (ok && version >= 0 && Query(c, "COMMIT", {}, error)) return true;
  std::string ignored;
  Query(c, "ROLLBACK", {}, ignored);
  return false;
}

}  // namespace cvservice
