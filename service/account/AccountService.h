#pragma once

// The account and package service: accounts with the products they own, the product catalogue,
// install items with their files, sign-in with a password or a remembered token, and the files
// themselves as plain GET resources with byte ranges. The wire protocol is in
// docs/account-protocol.md, the content folder it serves in docs/account-service.md.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ServiceStore.h"

namespace httplib {
class Server;
}

namespace cvservice {

// One file of an install item.
struct TServiceFile {
  std::string name;    // bare file name, as the client gets it
  std::string folder;  // "/"-separated, relative to the item's source
  std::int64_t size = 0;
  std::int64_t time = 0;  // Unix seconds
  bool addon = false;
  std::string sha256;  // 64 lower-case hex digits
  std::string url;     // absolute, or relative to the base URL ("files/...")
  std::string path;    // below <content>/files/ when the service serves it; empty otherwise
};

// A product record together with its install item: one module selection of one product.
struct TServiceProduct {
  std::int32_t number = 0;
  int kind = 0;  // 0 program, 1 chart set, 2 add-on, 99 companion of a program
  std::int32_t group = 9999;
  std::int32_t moduleMask = 1;
  std::string displayName, itemTitle;
  std::string productCode, moduleCode, productName, moduleName;
  std::string registryKey;
  std::int32_t revision = 0;
  std::string latestVersion;  // dotted a.b.c.d
  std::string installFolder;
  bool checked = false;
  bool withdrawn = false;
  std::vector<TServiceFile> files;

  std::int64_t Size() const;
};

// What a sign-in gives back: the session and, when remembered, the token.
struct TSignInResult {
  int error = 0;  // 0, or a protocol error number (4 unknown credentials, 8 service fault, 10 throttled)
  std::int64_t retryAfter = 0;  // with 10: seconds until a sign-in is taken again
  std::string session;
  std::string email;
  std::string token;
};

// One entry of a file-list request.
struct TSelectionEntry {
  std::int32_t product = 0;
  std::int32_t mask = 0;
  int kind = 0;
};

// An install item of a file-list answer: the product with a status (0 can be processed,
// 1 not owned, 2 withdrawn); only status 0 carries files.
struct TListedItem {
  TServiceProduct product;
  int status = 0;
};

// Whether an account may fetch a file below files/.
enum class TFileAccess {
  owned,     // an item the account owns and that is not withdrawn lists it
  foreign,   // only items of other accounts list it
  unlisted,  // no item that is still offered lists it
};

// The catalogue and the account state of one content folder. Safe to use from the server's
// threads: products and accounts do not change after Load, sessions and tokens are locked.
class TCatalogue final {
 public:
  TCatalogue() = default;
  TCatalogue(const TCatalogue&) = delete;
  TCatalogue& operator=(const TCatalogue&) = delete;

  // Reads catalogue.json and accounts.json of a content folder and opens its state.sqlite
  // (remembered sign-ins, failed sign-ins; an earlier tokens.json is taken over once).
  // Sizes and SHA-256 missing from catalogue.json are computed from the files. False with a
  // text naming the file and the fault when anything is malformed or a file is missing.
  // With `database` (postgresql://...) the accounts, sessions, tokens and failures are kept
  // there instead, shared by every instance on it; accounts.json is then not read.
  bool Load(const std::string& folder, std::string& error, const std::string& database = {});

  const std::string& Folder() const { return folder_; }
  const std::vector<TServiceProduct>& Products() const { return products_; }
  // The accounts read from accounts.json; empty when a database holds them.
  const std::vector<TAccount>& Accounts() const { return accounts_; }

  // Sign-in with a password or a remembered token from the client address `client`. After
  // kMaxAddressFailures failed sign-ins for one address, or kMaxClientFailures from one client,
  // within kFailureWindow seconds, sign-ins are refused (10) until the oldest has aged out; a
  // successful one forgets the address's failures.
  TSignInResult SignInPassword(const std::string& email, const std::string& password, bool remember,
                               const std::string& client = {});
  TSignInResult SignInToken(const std::string& email, const std::string& token, bool remember,
                            const std::string& client = {});

  static constexpr int kMaxAddressFailures = 5;
  static constexpr int kMaxClientFailures = 20;
  static constexpr std::int64_t kFailureWindow = 15 * 60;
  static constexpr std::size_t kMaxTokensPerAccount = 20;

  // The store of accounts, sessions, remembered sign-ins and failures.
  TServiceStore& Store() { return *store_; }

  // The e-mail address of a live session; empty when the session is unknown or expired.
  std::string SessionEmail(const std::string& session);
  // The same from what the service holds in memory only (never asks the store): empty also
  // when the session has not been seen for a while.
  std::string KnownSessionEmail(const std::string& session);

  // Whether the accounts are held in memory (accounts.json), so that FileAccess never waits
  // for the store.
  bool AccountsInMemory() const { return !store_ || !store_->HoldsAccounts(); }

  // The product records an account owns, in the order the wizard shows them.
  std::vector<TServiceProduct> ProductList(const std::string& email) const;

  // What a kept file-list answer for `email` depends on besides the selection: the account's
  // products when a shared database holds them (they change while the service runs).
  std::string AnswerKey(const std::string& email) const;

  // The install items of a selection for an account.
  std::vector<TListedItem> FileList(const std::string& email,
                                    const std::vector<TSelectionEntry>& selection) const;

  // Whether `email` may fetch the file at `path` (below files/, as in the file's URL, decoded).
  TFileAccess FileAccess(const std::string& email, const std::string& path) const;

  // With a prefix (e.g. "/protected-files/") a permitted file is not sent but handed over to the
  // web server in front (X-Accel-Redirect: prefix + the file's path); empty sends it itself.
  void SetAccelRedirect(const std::string& prefix) { accelRedirect_ = prefix; }
  const std::string& AccelRedirect() const { return accelRedirect_; }

  // An answer made once for `key` and kept (the catalogue does not change after Load): the
  // kept one, else what `make` gives, which is then kept. At most kMaxCachedAnswers answers (kMaxCachedBytes bytes) are kept.
  std::shared_ptr<const std::string> CachedAnswer(const std::string& key,
                                                  const std::function<std::string()>& make);

  // For tests: ends every session, so the next request gets error 5.
  void ExpireSessions();

  // For tests: the next download of the file at `path` (below files/) is cut off after
  // `afterBytes` bytes of that answer by closing the connection, once.
  void DropConnectionOnce(const std::string& path, std::int64_t afterBytes);
  // Consumes a drop set for `path`: the byte count, or none.
  std::optional<std::int64_t> TakeDrop(const std::string& path);
  bool DropsPlanned() const { return dropsPlanned_; }

  // Where a file below files/ lies on disk.
  std::string FilesFolder() const { return folder_ + "/files"; }

 private:
  std::optional<TAccount> FindAccount(const std::string& email) const;
  // An account of accounts.json by its address in any letter case; null when unknown.
  const TAccount* FindAccountInMemory(const std::string& email) const;
  bool Owns(const TAccount& account, const TServiceProduct& product) const;
  std::string NewSession(const std::string& email);
  // 0 when a sign-in may be tried, else the seconds until it may.
  std::int64_t ThrottledFor(const std::string& email, const std::string& client);
  void RecordFailure(const std::string& email, const std::string& client);

  std::string folder_;
  std::string accelRedirect_;
  std::vector<TServiceProduct> products_;
  std::multimap<std::string, std::size_t> fileProducts_;  // file path -> index in products_
  std::vector<TAccount> accounts_;
  std::unordered_map<std::string, std::size_t> accountIndex_;  // lower-case address -> index

  std::unique_ptr<TServiceStore> store_;
  // Sessions already found: a session never changes, so every file request need not ask the
  // store (a lock on the database file each time). Kept at most a minute, for ExpireSessions on
  // another instance.
  static constexpr std::size_t kMaxCachedSessions = 10000;
  static constexpr std::int64_t kSessionCacheSeconds = 60;
  std::mutex sessionsMutex_;
  std::unordered_map<std::string, std::pair<std::string, std::int64_t>> sessions_;  // -> email, until
  std::mutex dropsMutex_;
  std::map<std::string, std::int64_t> drops_;
  std::atomic<bool> dropsPlanned_ = false;
  static constexpr std::size_t kMaxCachedAnswers = 64;
  static constexpr std::size_t kMaxCachedBytes = 256u << 20;
  std::size_t answersBytes_ = 0;
  std::mutex answersMutex_;
  std::map<std::string, std::shared_ptr<const std::string>> answers_;
};

// A path below files/ percent-encoded for a URL; "/" stays.
std::string FileUrlPath(const std::string& path);

// Limits every service on the server needs: a request body without a Content-Length is refused
// (411) before it is read, and enough threads that long downloads do not hold up others.
void LimitServer(httplib::Server& server);

class TItemSigner;

// Adds the routes of the protocol to a server (plain or TLS), with LimitServer; the catalogue
// must outlive it. With `testControl` the server also takes POST /test/drop-once and
// POST /test/expire-sessions. The signer, when given (and outliving the server), signs each
// item of a file list; without one the lists go out unsigned, and clients refuse them.
void RegisterAccountService(httplib::Server& server, TCatalogue& catalogue, bool testControl = false,
                            const TItemSigner* signer = nullptr);

struct TDemoAccount {
  std::string email;
  std::string password;
};

// Writes the demo catalogue into `folder` (made when missing), or keeps the one already there
// when it was made by this generator version; remembered sign-ins there are kept. The setups
// are made from cv_demo_setup beside the running program. The account to sign in with, or
// none with a text in `error`.
std::optional<TDemoAccount> PrepareDemoCatalogue(const std::string& folder, std::string& error);

}  // namespace cvservice
