#pragma once

// The service's changing state (remembered sign-in tokens, failed sign-ins) behind one small
// interface, so that another database can take the place of the SQLite file. Every call is one
// transaction; none rewrites the whole set.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace cvservice {

struct TStoredToken {
  std::string email;
  std::int64_t expires = 0;  // Unix seconds
};

class TServiceStore {
 public:
  virtual ~TServiceStore() = default;

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

}  // namespace cvservice
