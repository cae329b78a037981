#include "AccountCrypto.h"
#include "AccountService.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

namespace cvservice {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::int64_t kSessionSeconds = 12 * 3600;
constexpr std::int64_t kTokenSeconds = 90 * 24 * 3600;
constexpr int kTokenBytes = 32;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool ReadJsonFile(const fs::path& path, json& doc, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path.string() + ": cannot be read";
    return false;
  }
  doc = json::parse(in, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = path.string() + ": not a JSON object";
    return false;
  }
  return true;
}

// A relative path that stays below its folder: no empty, "." or ".." parts, not absolute.
bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// Percent-encodes a path below files/ for its URL; "/" stays.
std::string UrlPath(const std::string& path) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0x0F];
    }
  }
  return out;
}

template <typename T>
T Field(const json& object, const char* name, T fallback) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return fallback;
  return it->get<T>();
}

std::int32_t Int32Field(const json& object, const char* name, std::int32_t fallback) {
  const std::int64_t value = Field<std::int64_t>(object, name, fallback);
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
    throw std::out_of_range(std::string(name) + " is not a 32-bit number");
  return static_cast<std::int32_t>(value);
}

bool IsSha256Hex(const std::string& text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

TServiceFile ParseFile(const json& item, const fs::path& filesFolder) {
  TServiceFile file;
  file.name = item.at("name").get<std::string>();
  file.folder = Field<std::string>(item, "folder", "");
  file.addon = Field<bool>(item, "addon", false);
  file.path = Field<std::string>(item, "path", "");
  file.url = Field<std::string>(item, "url", "");
  file.sha256 = Lower(Field<std::string>(item, "sha256", ""));
  if (file.name.empty()) throw std::invalid_argument("a file without a name");
  if (file.path.empty() == file.url.empty())
    throw std::invalid_argument("file " + file.name + ": give exactly one of path and url");
  if (!file.sha256.empty() && !IsSha256Hex(file.sha256))
    throw std::invalid_argument("file " + file.name + ": sha256 is not 64 hex digits");

  if (!file.path.empty()) {
    if (!IsSafeRelativePath(file.path))
      throw std::invalid_argument("file " + file.name + ": path leaves the files folder");
    const fs::path onDisk = filesFolder / file.path;
    std::error_code ec;
    if (!fs::is_regular_file(onDisk, ec))
      throw std::invalid_argument("file " + file.name + ": " + onDisk.string() + " is missing");
    file.url = "files/" + UrlPath(file.path);
    // Given values win, so that a catalogue can announce what a client must verify.
    std::int64_t actualSize = 0;
    std::string actualHash;
    if (!item.contains("size") || file.sha256.empty()) {
      if (!Sha256File(onDisk.string(), actualHash, actualSize))
        throw std::invalid_argument("file " + file.name + ": cannot be read");
    }
    file.size = item.contains("size") ? item.at("size").get<std::int64_t>() : actualSize;
    if (file.sha256.empty()) file.sha256 = actualHash;
    if (item.contains("time")) {
      file.time = item.at("time").get<std::int64_t>();
    } else {
      const auto written = fs::last_write_time(onDisk);
      file.time = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::file_clock::to_sys(written).time_since_epoch())
                      .count();
    }
  } else {
    if (!item.contains("size") || file.sha256.empty() || !item.contains("time"))
      throw std::invalid_argument("file " + file.name + ": a url needs size, sha256 and time");
    file.size = item.at("size").get<std::int64_t>();
    file.time = item.at("time").get<std::int64_t>();
  }
  if (file.size < 0) throw std::invalid_argument("file " + file.name + ": negative size");
  if (file.time < 0 || file.time > std::numeric_limits<std::int32_t>::max())
    throw std::invalid_argument("file " + file.name + ": time is not int32 Unix seconds");
  return file;
}

TServiceProduct ParseProduct(const json& item, const fs::path& filesFolder) {
  TServiceProduct product;
  product.number = Int32Field(item, "number", 0);
  product.kind = Field<int>(item, "kind", 0);
  if (product.kind != 0 && product.kind != 1 && product.kind != 2 && product.kind != 99)
    throw std::invalid_argument("product " + std::to_string(product.number) + ": unknown kind");
  product.group = Int32Field(item, "group", 9999);
  product.moduleMask = Int32Field(item, "moduleMask", 1);
  product.displayName = Field<std::string>(item, "displayName", "");
  product.itemTitle = Field<std::string>(item, "itemTitle", "");
  product.productCode = Field<std::string>(item, "productCode", "");
  product.moduleCode = Field<std::string>(item, "moduleCode", product.productCode);
  product.productName = Field<std::string>(item, "productName", product.displayName);
  product.moduleName = Field<std::string>(item, "moduleName", product.productName);
  product.registryKey = Field<std::string>(item, "registryKey", "");
  product.revision = Int32Field(item, "revision", 0);
  product.latestVersion = Field<std::string>(item, "latestVersion", "0.0.0.0");
  product.installFolder = Field<std::string>(item, "installFolder", "");
  product.checked = Field<bool>(item, "checked", false);
  product.withdrawn = Field<bool>(item, "withdrawn", false);
  if (const auto files = item.find("files"); files != item.end())
    for (const json& file : files->get_ref<const json::array_t&>())
      product.files.push_back(ParseFile(file, filesFolder));
  return product;
}

}  // namespace

std::string FileUrlPath(const std::string& path) { return UrlPath(path); }

std::int64_t TServiceProduct::Size() const {
  std::int64_t total = 0;
  for (const auto& file : files) total += file.size;
  return total;
}

bool TCatalogue::Load(const std::string& folder, std::string& error, const std::string& database) {
  folder_ = fs::path(folder).lexically_normal().string();
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
  products_.clear();
  accounts_.clear();
  accountIndex_.clear();
  fileProducts_.clear();
  store_.reset();
  const fs::path root(folder_);

  json doc;
  if (!ReadJsonFile(root / "catalogue.json", doc, error)) return false;
  try {
    std::set<std::pair<std::int32_t, std::int32_t>> seen;
    for (const json& item : doc.at("products").get_ref<const json::array_t&>()) {
      TServiceProduct product = ParseProduct(item, root / "files");
      if (!seen.insert({product.number, product.moduleMask}).second)
        throw std::invalid_argument("product " + std::to_string(product.number) + " mask " +
                                    std::to_string(product.moduleMask) + " appears twice");
      for (const auto& file : product.files)
        if (!file.path.empty()) fileProducts_.emplace(file.path, products_.size());
      products_.push_back(std::move(product));
    }
  } catch (const std::exception& e) {
    error = (root / "catalogue.json").string() + ": " + e.what();
    return false;
  }

  if (!database.empty()) {
    store_ = OpenPostgresStore(database, error);
    return store_ != nullptr;
  }
  if (!ReadJsonFile(root / "accounts.json", doc, error)) return false;
  try {
    for (const json& item : doc.at("accounts").get_ref<const json::array_t&>()) {
      TAccount account;
      account.email = item.at("email").get<std::string>();
      account.salt = item.at("salt").get<std::string>();
      account.hash = Lower(item.at("hash").get<std::string>());
      account.rounds = Int32Field(item, "rounds", kPasswordRounds);
      // A hash of another length can never match: the account could not sign in, and nobody
      // would be told why.
      std::string bytes;
      if (account.email.empty() || account.salt.empty() || !FromHex(account.salt, bytes) ||
          !IsSha256Hex(account.hash) || account.rounds <= 0)
        throw std::invalid_argument("account " + account.email + ": bad e-mail, salt, hash or rounds");
      if (!accountIndex_.emplace(Lower(account.email), accounts_.size()).second)
        throw std::invalid_argument("account " + account.email + " appears twice");
      if (const auto owned = item.find("products"); owned != item.end())
        for (const json& entry : owned->get_ref<const json::array_t&>())
          account.products.push_back({Int32Field(entry, "product", 0), Int32Field(entry, "mask", -1)});
      accounts_.push_back(std::move(account));
    }
  } catch (const std::exception& e) {
    error = (root / "accounts.json").string() + ": " + e.what();
    return false;
  }

  // Remembered sign-ins and failed sign-ins. A damaged store (or tokens.json not yet taken
  // over) stops the load, so that a restart does not silently forget every remembered sign-in.
  store_ = OpenSqliteStore((root / "state.sqlite").string(), error);
  if (!store_) return false;
  return true;
}

std::optional<TAccount> TCatalogue::FindAccount(const std::string& email) const {
  if (store_ && store_->HoldsAccounts()) {
    std::string error;
    std::optional<TAccount> found = store_->FindAccount(email, error);
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return found;
  }
  if (const TAccount* account = FindAccountInMemory(email)) return *account;
  return std::nullopt;
}

const TAccount* TCatalogue::FindAccountInMemory(const std::string& email) const {
  const auto it = accountIndex_.find(Lower(email));
  return it == accountIndex_.end() ? nullptr : &accounts_[it->second];
}

bool TCatalogue::Owns(const TAccount& account, const TServiceProduct& product) const {
  for (const auto& owned : account.products) {
    if (owned.product != product.number) continue;
    if ((owned.mask & product.moduleMask) == product.moduleMask) return true;
  }
  // A companion comes with its program.
  if (product.kind == 99) {
    for (const auto& other : products_)
      if (other.number == product.number && other.kind != 99 && Owns(account, other)) return true;
  }
  return false;
}

// Sessions are kept by their hash, as tokens are: whoever reads the store cannot use them.
std::string TCatalogue::NewSession(const std::string& email) {
  const std::string session = RandomHex(kTokenBytes);
  if (session.empty()) return {};
  const std::int64_t now = Now();
  std::string error;
  if (!store_->AddSession(Sha256Hex(session), {email, now + kSessionSeconds}, now, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return {};
  }
  return session;
}

std::string TCatalogue::SessionEmail(const std::string& session) {
  if (!store_ || session.empty()) return {};
  const std::string hash = Sha256Hex(session);
  const std::int64_t now = Now();
  {
    std::lock_guard lock(sessionsMutex_);
    if (const auto it = sessions_.find(hash); it != sessions_.end()) {
      if (it->second.second > now) return it->second.first;
      sessions_.erase(it);
    }
  }
  std::string error;
  const std::optional<TStoredToken> found = store_->FindSession(hash, error);
  if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
  if (!found || found->expires <= now) return {};
  std::lock_guard lock(sessionsMutex_);
  if (sessions_.size() >= kMaxCachedSessions) sessions_.clear();
  sessions_[hash] = {found->email, std::min(found->expires, now + kSessionCacheSeconds)};
  return found->email;
}

std::string TCatalogue::KnownSessionEmail(const std::string& session) {
  if (!store_ || session.empty()) return {};
  const std::string hash = Sha256Hex(session);
  const std::int64_t now = Now();
  std::lock_guard lock(sessionsMutex_);
  const auto it = sessions_.find(hash);
  return it != sessions_.end() && it->second.second > now ? it->second.first : std::string();
}

void TCatalogue::ExpireSessions() {
  {
    std::lock_guard lock(sessionsMutex_);
    sessions_.clear();
  }
  std::string error;
  if (store_ && !store_->ClearSessions(error)) std::fprintf(stderr, "%s\n", error.c_str());
}

std::int64_t TCatalogue::ThrottledFor(const std::string& email, const std::string& client) {
  const std::int64_t now = Now();
  std::int64_t wait = 0;
  const std::pair<std::string, int> keys[] = {{"address:" + Lower(email), kMaxAddressFailures},
                                              {"client:" + client, kMaxClientFailures}};
  for (const auto& [key, most] : keys) {
    if (key == "client:") continue;
    std::int64_t oldest = 0;
    std::string error;
    const int count = store_->CountFailures(key, now - kFailureWindow, oldest, error);
    if (count < 0) std::fprintf(stderr, "%s\n", error.c_str());
    if (count >= most) wait = std::max(wait, std::max<std::int64_t>(1, oldest + kFailureWindow - now));
  }
  return wait;
}

void TCatalogue::RecordFailure(const std::string& email, const std::string& client) {
  std::string error;
  const std::int64_t now = Now();
  if (!store_->AddFailure("address:" + Lower(email), now, error) ||
      (!client.empty() && !store_->AddFailure("client:" + client, now, error)))
    std::fprintf(stderr, "%s\n", error.c_str());
}

TSignInResult TCatalogue::SignInPassword(const std::string& email, const std::string& password,
                                         bool remember, const std::string& client) {
  TSignInResult result;
  // Refused before the password is looked at: guessing costs the guesser time, not the service.
  if ((result.retryAfter = ThrottledFor(email, client)) > 0) {
    result.error = 10;
    return result;
  }
  const std::optional<TAccount> account = FindAccount(email);
  // An unknown address costs as much as a wrong password, so timing does not tell them apart.
  static const std::string kDummySalt(kPasswordSaltBytes * 2, '0');
  const std::string hash = account ? HashPassword(password, account->salt, account->rounds)
                                   : HashPassword(password, kDummySalt, kPasswordRounds);
  if (!account || hash.empty() || !SameSecret(hash, account->hash)) {
    RecordFailure(email, client);
    result.error = 4;
    return result;
  }
  std::string error;
  if (!store_->ClearFailures("address:" + Lower(email), error)) std::fprintf(stderr, "%s\n", error.c_str());
  result.email = account->email;
  if (remember) {
    const std::string token = RandomHex(kTokenBytes);
    if (token.empty() ||
        !store_->AddToken(Sha256Hex(token), {account->email, Now() + kTokenSeconds}, kMaxTokensPerAccount, Now(), error)) {
      if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
      result.error = 8;
      return result;
    }
    result.token = token;
  }
  result.session = NewSession(account->email);
  if (result.session.empty()) result.error = 8;
  return result;
}

TSignInResult TCatalogue::SignInToken(const std::string& email, const std::string& token, bool remember,
                                      const std::string& client) {
  TSignInResult result;
  if ((result.retryAfter = ThrottledFor(email, client)) > 0) {
    result.error = 10;
    return result;
  }
  const std::optional<TAccount> account = FindAccount(email);
  const std::string hash = Sha256Hex(token);
  std::string error;
  const std::optional<TStoredToken> kept = store_->FindToken(hash, error);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    result.error = 8;
    return result;
  }
  if (!account || !kept || kept->expires <= Now() || Lower(kept->email) != Lower(account->email)) {
    RecordFailure(email, client);
    result.error = 4;
    return result;
  }
  if (!store_->ClearFailures("address:" + Lower(email), error)) std::fprintf(stderr, "%s\n", error.c_str());
  result.email = account->email;
  if (remember) {
    result.token = token;
  } else if (!store_->RemoveToken(hash, error)) {
    // Used without remember: the computer forgets it, so the service does too.
    std::fprintf(stderr, "%s\n", error.c_str());
    result.error = 8;
    return result;
  }
  result.session = NewSession(account->email);
  if (result.session.empty()) result.error = 8;
  return result;
}

TFileAccess TCatalogue::FileAccess(const std::string& email, const std::string& path) const {
  const auto [from, to] = fileProducts_.equal_range(path);
  if (from == to) return TFileAccess::unlisted;
  // Asked for every file sent: an account of accounts.json is not copied.
  std::optional<TAccount> stored;
  const TAccount* account = nullptr;
  if (AccountsInMemory()) {
    account = FindAccountInMemory(email);
  } else if ((stored = FindAccount(email))) {
    account = &*stored;
  }
  TFileAccess access = TFileAccess::unlisted;
  for (auto it = from; it != to; ++it) {
    const TServiceProduct& product = products_[it->second];
    if (product.withdrawn) continue;
    if (account && Owns(*account, product)) return TFileAccess::owned;
    access = TFileAccess::foreign;
  }
  return access;
}

std::string TCatalogue::AnswerKey(const std::string& email) const {
  std::string key = Lower(email);
  if (!store_ || !store_->HoldsAccounts()) return key;
  if (const std::optional<TAccount> account = FindAccount(email))
    for (const TOwnedProduct& p : account->products) key += ' ' + std::to_string(p.product) + ':' + std::to_string(p.mask);
  return key;
}

std::vector<TServiceProduct> TCatalogue::ProductList(const std::string& email) const {
  std::vector<TServiceProduct> list;
  const std::optional<TAccount> account = FindAccount(email);
  if (!account) return list;
  for (const auto& product : products_)
    if (!product.withdrawn && Owns(*account, product)) list.push_back(product);
  // Kind, then group, then display name without regard to letter case (as people read the
  // list, and as a client sorts a backup's records): chart sets of one product end up side by side.
  std::stable_sort(list.begin(), list.end(), [](const TServiceProduct& a, const TServiceProduct& b) {
    const std::string aName = Lower(a.displayName), bName = Lower(b.displayName);
    return std::tie(a.kind, a.group, aName, a.displayName, a.number, a.moduleMask) <
           std::tie(b.kind, b.group, bName, b.displayName, b.number, b.moduleMask);
  });
  return list;
}

std::vector<TListedItem> TCatalogue::FileList(const std::string& email,
                                             const std::vector<TSelectionEntry>& selection) const {
  std::vector<TListedItem> items;
  const std::optional<TAccount> account = FindAccount(email);
  std::set<std::pair<std::int32_t, std::int32_t>> listed;
  auto add = [&](const TServiceProduct& product) {
    if (!listed.insert({product.number, product.moduleMask}).second) return;
    TListedItem item{product, 0};
    if (product.withdrawn) item.status = 2;
    else if (!account || !Owns(*account, product)) item.status = 1;
    if (item.status != 0) item.product.files.clear();
    items.push_back(std::move(item));
  };
  for (const auto& entry : selection) {
    bool found = false;
    for (const auto& product : products_) {
      if (product.number != entry.product || product.kind == 99) continue;
      if ((product.moduleMask & entry.mask) == 0) continue;
      found = true;
      add(product);
      // A program brings its companions.
      if (product.kind == 0)
        for (const auto& companion : products_)
          if (companion.number == product.number && companion.kind == 99) add(companion);
    }
    if (!found && listed.insert({entry.product, entry.mask}).second) {
      TListedItem item;
      item.product.number = entry.product;
      item.product.moduleMask = entry.mask;
      item.product.kind = entry.kind;
      item.status = 1;
      items.push_back(std::move(item));
    }
  }
  return items;
}

std::shared_ptr<const std::string> TCatalogue::CachedAnswer(const std::string& key,
                                                            const std::function<std::string()>& make) {
  {
    std::lock_guard lock(answersMutex_);
    if (const auto it = answers_.find(key); it != answers_.end()) return it->second;
  }
  // Made outside the lock: two requests for one list at once both make it, and neither waits.
  auto made = std::make_shared<const std::string>(make());
  std::lock_guard lock(answersMutex_);
  // Bounded in count and bytes: selections are the client's choice.
  if (answers_.size() >= kMaxCachedAnswers || answersBytes_ + made->size() > kMaxCachedBytes) {
    answers_.clear();
    answersBytes_ = 0;
  }
  if (made->size() <= kMaxCachedBytes && answers_.emplace(key, made).second) answersBytes_ += made->size();
  return made;
}

void TCatalogue::DropConnectionOnce(const std::string& path, std::int64_t afterBytes) {
  std::lock_guard lock(dropsMutex_);
  drops_[path] = afterBytes;
  dropsPlanned_ = true;
}

std::optional<std::int64_t> TCatalogue::TakeDrop(const std::string& path) {
  // Every file answer asks; only tests ever plan a drop.
  if (!dropsPlanned_) return std::nullopt;
  std::lock_guard lock(dropsMutex_);
  const auto it = drops_.find(path);
  if (it == drops_.end()) return std::nullopt;
  const std::int64_t bytes = it->second;
  drops_.erase(it);
  return bytes;
}

}  // namespace cvservice
