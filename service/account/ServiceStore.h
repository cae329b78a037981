#pragma once

// The service's changing state (accounts with their products, sign-in sessions, remembered
// sign-in tokens, failed sign-ins) behind one small interface with two engines: the SQLite file
// in the accounts folder and a PostgreSQL database that any number of instances share. Every
// call is one transaction; none rewrites the whole set.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cvservice {

struct TStoredToken {
  std::string email;
  std::int64_t expires = 0;  // Unix seconds
};

// Products an account owns: every module in `mask` of product `product`.
struct TOwnedProduct {
  std::int32_t product = 0;
  std::int32_t mask = -1;
};

struct TAccount {
  std::string email;  // as the operator wrote it; compared without regard to ASCII case
  std::string salt;   // hex
  std::string hash;   // hex, PBKDF2-HMAC-SHA256
  int rounds = 0;
  std::vector<TOwnedProduct> products;
};

class TServiceStore {
 public:
  virtual ~TServiceStore() = default;

  // Whether the accounts live in the store. The SQLite default leaves them in accounts.json,
  // read once at the start; a shared database holds them, so that an account added on one
  // instance is known to all at once.
  virtual bool HoldsAccounts() const = 0;
  // With HoldsAccounts: the account of `email` (any ASCII case), none when unknown; `error` is
  // set when the store could not be asked.
  virtual std::optional<TAccount> FindAccount(const std::string& email, std::string& error) = 0;
  // Adds (`replace` false; fails when it exists) or replaces an account with its products.
  virtual bool PutAccount(const TAccount& account, bool replace, std::string& error) = 0;
  // False with an empty `error` when there was no such account.
  virtual bool RemoveAccount(const std::string& email, std::string& error) = 0;

  // Sign-in sessions by the hash of their key; expired ones go when a new one is added.
  virtual bool AddSession(const std::string& hash, const TStoredToken& session, std::int64_t now,
                          std::string& error) = 0;
  virtual std::optional<TStoredToken> FindSession(const std::string& hash, std::string& error) = 0;
  virtual bool ClearSessions(std::string& error) = 0;

  // Keeps a token (by its hash) for an account; of that account's tokens only the newest
  // `keepPerAccount` stay. Expired tokens go too.
  virtual bool AddToken(const std::string& hash, const TStoredToken& token, std::size_t keepPerAccount,
                        std::int64_t now, std::string& error) = 0;
  virtual std::optional<TStoredToken> FindToken(const std::string& hash, std::string& error) = 0;
  virtual bool RemoveToken(const std::string& hash, std::string& error) = 0;

  // Failed sign-ins by key (an address, a client): counts those at or after `since`, and the
  // time of the oldest of them.
  virtual bool AddFailure(const std::string& key, std::int64_t at, std::string& error) = 0;
  virtual int CountFailures(const std::string& key, std::int64_t since, std::int64_t& oldest, std::string& error) = 0;
  virtual bool ClearFailures(const std::string& key, std::string& error) = 0;
};

// The SQLite file `path` (made 0600 when missing, never through a link). A tokens.json beside
// it from an earlier version is taken over once and renamed to tokens.json.migrated.
std::unique_ptr<TServiceStore> OpenSqliteStore(const std::string& path, std::string& error);

// Whether `text` names a PostgreSQL database (postgresql://... or postgres://...).
bool IsPostgresUrl(const std::string& text);

// A PostgreSQL database at `url`. Its schema must be at the version this program writes:
// MigratePostgres makes or upgrades it (also when the service starts).
std::unique_ptr<TServiceStore> OpenPostgresStore(const std::string& url, std::string& error);

// Makes or upgrades the schema of the database at `url`, one version after another, each in a
// transaction under a lock, so that instances starting at once do it once. The version it
// reached in `version`.
bool MigratePostgres(const std::string& url, int& version, std::string& error);

}  // namespace cvservice
