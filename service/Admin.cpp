// deployer-service init and account: an operator's folder and its accounts, without the demo.
#include "Admin.h"

#include "AccountCrypto.h"
#include "DemoCatalogue.h"
#include "ItemSignature.h"
#include "ServiceStore.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace deployer {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

int Fail(const std::string& message) {
  std::fprintf(stderr, "deployer-service: %s\n", message.c_str());
  return 1;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The accounts folder of FOLDER: FOLDER/accounts when init made it, else FOLDER itself.
fs::path AccountsFolder(const fs::path& folder) {
  std::error_code ec;
  return fs::exists(folder / "accounts" / "accounts.json", ec) ? folder / "accounts" : folder;
}

// A password from the terminal without echo, or the first line of stdin when it is no terminal
// (scripts, tests). Never from the command line, where other users could read it.
bool ReadPassword(std::string& password) {
  const bool terminal = ::isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    std::fprintf(stderr, "Password: ");
    std::fflush(stderr);
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, password));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return ok && !password.empty();
}

// "N" (every module) or "N:MASK".
bool ParseProduct(const std::string& text, json& entry) {
  try {
    std::size_t used = 0;
    const long long number = std::stoll(text, &used, 10);
    long long mask = -1;
    if (used < text.size()) {
      if (text[used] != ':') return false;
      const std::string rest = text.substr(used + 1);
      mask = std::stoll(rest, &used, 0);
      if (used != rest.size()) return false;
    }
    if (number < INT32_MIN || number > INT32_MAX || mask < INT32_MIN || mask > UINT32_MAX) return false;
    entry = {{"product", number}, {"mask", static_cast<std::int32_t>(static_cast<std::uint32_t>(mask))}};
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Who the files root makes in FOLDER belong to: FOLDER's owner. The packaged service runs as a
// user of its own and reads only what is its own; systemd hands it the folder at a start only
// when the folder itself is not the service's yet, so what an operator adds later (as root)
// must be the service's from the start. -1: leave as made (not root, or a folder of root's).
struct TOwner {
  int uid = -1, gid = -1;
};

TOwner OwnerOf(const fs::path& folder) {
  struct stat st {};
  if (::geteuid() != 0 || ::stat(folder.c_str(), &st) != 0 || (st.st_uid == 0 && st.st_gid == 0)) return {};
  return {static_cast<int>(st.st_uid), static_cast<int>(st.st_gid)};
}

// A folder made 0700 for OWNER; one that is there already is left as it is. The owner goes to the
// folder itself, never through a link put in its place.
bool MakeFolder(const fs::path& made, const TOwner& owner, std::string& error) {
  if (::mkdir(made.c_str(), 0700) != 0) {
    if (errno == EEXIST) return true;
    error = made.string() + ": " + std::strerror(errno);
    return false;
  }
  if (owner.uid == -1) return true;
  const int fd = ::open(made.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fchown(fd, static_cast<uid_t>(owner.uid), static_cast<gid_t>(owner.gid)) == 0;
  if (!ok) error = made.string() + ": " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return ok;
}

// FOLDER/content, FOLDER/accounts with an empty catalogue and no accounts, and with
// --signing-key KEY the vendor's key as FOLDER/signing-key.pem (the packaged unit's name for it),
// checked to be one first. Run again it keeps what is there and puts a new key in place.
int Init(const fs::path& folder, const std::string& keyFile) {
  std::string error;
  std::string key;
  if (!keyFile.empty()) {
    cvservice::TItemSigner signer;
    if (!signer.Load(keyFile, error)) return Fail(error);
    std::ifstream in(keyFile, std::ios::binary);
    key.assign(std::istreambuf_iterator<char>(in), {});
    if (!in && !in.eof()) return Fail(keyFile + ": cannot be read");
  }
  if (!MakeFolder(folder, {}, error)) return Fail(error);
  const TOwner owner = OwnerOf(folder);
  for (const fs::path& made : {folder / "content", folder / "accounts", folder / "accounts" / "files"})
    if (!MakeFolder(made, owner, error)) return Fail(error);
  std::error_code ec;
  for (const auto& [name, text] : {std::pair{"catalogue.json", std::string("{\"products\": []}\n")},
                                   std::pair{"accounts.json", std::string("{\"accounts\": []}\n")}}) {
    const fs::path file = folder / "accounts" / name;
    if (fs::exists(fs::symlink_status(file, ec))) continue;  // an earlier init or the operator's own
    if (!cvdemo::WritePrivateFile(file.string(), text, error, owner.uid, owner.gid)) return Fail(error);
  }
  if (!key.empty() && !cvdemo::WritePrivateFile((folder / "signing-key.pem").string(), key, error, owner.uid, owner.gid))
    return Fail(error);
  std::printf("%s: content in %s, accounts in %s%s\n", folder.c_str(), (folder / "content").c_str(),
              (folder / "accounts").c_str(),
              key.empty() ? "" : (", signing key in " + (folder / "signing-key.pem").string()).c_str());
  return 0;
}

// The account commands against a shared database: every instance on it sees the change at once.
int DatabaseAccount(const std::string& verb, const std::string& url, const std::string& email, const json& products) {
  std::string error;
  int version = 0;
  if (!cvservice::MigratePostgres(url, version, error)) return Fail(error);
  const std::unique_ptr<cvservice::TServiceStore> store = cvservice::OpenPostgresStore(url, error);
  if (!store) return Fail(error);
  cvservice::TAccount account;
  for (const json& p : products) account.products.push_back({p["product"].get<std::int32_t>(), p["mask"].get<std::int32_t>()});
  if (verb == "add") {
    if (email.find('@') == std::string::npos) return Fail("'" + email + "' is no e-mail address"), 2;
    if (store->FindAccount(email, error)) return Fail(email + " has an account already");
    if (!error.empty()) return Fail(error);
    std::string password;
    if (!ReadPassword(password)) return Fail("no password given");
    account.email = email;
    account.salt = cvservice::RandomHex(cvservice::kPasswordSaltBytes);
    account.hash = cvservice::HashPassword(password, account.salt, cvservice::kPasswordRounds);
    account.rounds = cvservice::kPasswordRounds;
    if (account.salt.empty() || account.hash.empty()) return Fail("cannot hash the password");
    if (!store->PutAccount(account, false, error)) return Fail(error);
  } else if (verb == "remove") {
    if (!store->RemoveAccount(email, error)) return Fail(error.empty() ? email + " has no account" : error);
  } else if (verb == "products") {
    std::optional<cvservice::TAccount> found = store->FindAccount(email, error);
    if (!found) return Fail(error.empty() ? email + " has no account" : error);
    found->products = account.products;
    if (!store->PutAccount(*found, true, error)) return Fail(error);
  } else {
    return Fail("usage: deployer-service account add|remove|products FOLDER|DATABASE EMAIL ..."), 2;
  }
  std::printf("%s %s; every instance on the database sees it now\n", email.c_str(),
              verb == "add" ? "added" : verb == "remove" ? "removed" : "updated");
  return 0;
}

int Account(const std::vector<std::string>& args) {
  static const char kUsage[] = "account add FOLDER|DATABASE EMAIL [PRODUCT[:MASK]...] | account remove FOLDER|DATABASE EMAIL | "
                               "account products FOLDER|DATABASE EMAIL [PRODUCT[:MASK]...]";
  if (args.size() < 3) return Fail(std::string("usage: deployer-service ") + kUsage), 2;
  const std::string& verb = args[0];
  const fs::path file = AccountsFolder(args[1]) / "accounts.json";
  const std::string email = args[2];
  const bool database = cvservice::IsPostgresUrl(args[1]);
  std::ifstream in;
  if (!database) in.open(file, std::ios::binary);
  json doc = database ? json{{"accounts", json::array()}} : json::parse(in, nullptr, false);
  if ((!database && !in) || doc.is_discarded() || !doc.is_object() || !doc.contains("accounts") || !doc["accounts"].is_array())
    return Fail(file.string() + ": not an accounts file (run 'deployer-service init FOLDER' first)");
  json& accounts = doc["accounts"];
  auto found = std::find_if(accounts.begin(), accounts.end(), [&](const json& a) {
    return a.is_object() && Lower(a.value("email", "")) == Lower(email);
  });
  json products = json::array();
  for (std::size_t i = 3; i < args.size(); ++i) {
    json entry;
    if (!ParseProduct(args[i], entry)) return Fail("'" + args[i] + "' is no product number (N or N:MASK)"), 2;
    products.push_back(entry);
  }
  if (database) return DatabaseAccount(verb, args[1], email, products);
  if (verb == "add") {
    if (found != accounts.end()) return Fail(email + " has an account already");
    if (email.find('@') == std::string::npos) return Fail("'" + email + "' is no e-mail address"), 2;
    std::string password;
    if (!ReadPassword(password)) return Fail("no password given");
    const std::string salt = cvservice::RandomHex(cvservice::kPasswordSaltBytes);
    const std::string hash = cvservice::HashPassword(password, salt, cvservice::kPasswordRounds);
    if (salt.empty() || hash.empty()) return Fail("cannot hash the password");
    accounts.push_back({{"email", email}, {"salt", salt}, {"hash", hash}, {"rounds", cvservice::kPasswordRounds},
                        {"products", products}});
  } else if (verb == "remove") {
    if (found == accounts.end()) return Fail(email + " has no account");
    accounts.erase(found);
  } else if (verb == "products") {
    if (found == accounts.end()) return Fail(email + " has no account");
    (*found)["products"] = products;
  } else {
    return Fail(std::string("usage: deployer-service ") + kUsage), 2;
  }
  std::string error;
  const TOwner owner = OwnerOf(file.parent_path());
  if (!cvdemo::WritePrivateFile(file.string(), doc.dump(1) + "\n", error, owner.uid, owner.gid)) return Fail(error);
  std::printf("%s: %s %s; a running service takes it at its next start\n", file.c_str(), email.c_str(),
              verb == "add" ? "added" : verb == "remove" ? "removed" : "updated");
  return 0;
}

}  // namespace

int RunAdminCommand(int argc, char** argv) {
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "init") {
    if (args.size() == 3 && args[1] == "--signing-key") return Init(args[0], args[2]);
    if (args.size() != 1 || args[0].rfind("--", 0) == 0) return Fail("usage: deployer-service init FOLDER [--signing-key FILE]"), 2;
    return Init(args[0], {});
  }
  if (command == "migrate") {
    if (!(args.size() == 2 && args[0] == "--database") && args.size() != 1)
      return Fail("usage: deployer-service migrate [--database] postgresql://..."), 2;
    const std::string& url = args.back();
    if (!cvservice::IsPostgresUrl(url)) return Fail("migrate needs a postgresql://... database"), 2;
    std::string error;
    int version = 0;
    if (!cvservice::MigratePostgres(url, version, error)) return Fail(error);
    std::printf("database schema at version %d\n", version);
    return 0;
  }
  return Account(args);
}

}  // namespace deployer
