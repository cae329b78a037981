// deployer-service: the reference update, account and package service on one HTTP(S) server.
// The options are in the help text below and in docs/account-service.md. The first line on
// stdout is the server's base URL; with --demo the demo account follows as "E-mail: ..." and
// "Password: ...". Exit codes: 0 stopped by a signal, 1 could not start, 2 bad arguments.
#include "AccountService.h"
#include "ItemSignature.h"
#include "DemoCatalogue.h"
#include "Admin.h"
#include "PusService.h"
#include "ServiceStore.h"
#include "ServerFront.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <cerrno>
#include <unistd.h>

namespace {

const char kHelp[] =
    "usage: deployer-service [--host H] [--port N] [--content DIR] [--accounts DIR | --demo]\n"
    "                        [--cert FILE --key FILE | --insecure-http] [--accel-redirect PREFIX]\n"
    "                        [--database postgresql://...] [--wait] [--signing-key FILE]\n"
    "                        [--test-control]\n"
    "       deployer-service init FOLDER [--signing-key FILE]\n"
    "       deployer-service account add|remove|products FOLDER|DATABASE EMAIL [PRODUCT[:MASK]...]\n"
    "       deployer-service migrate [--database] postgresql://...\n"
    "       deployer-service --help | --version\n"
    "\n"
    "The reference update, account and package service on one HTTP(S) server. Once listening it\n"
    "prints its base URL (http://127.0.0.1:PORT) as the first line on stdout; requests are\n"
    "logged on stderr. SIGINT or SIGTERM stop it.\n"
    "\n"
    "  --host H         the address to listen on (default 127.0.0.1, this computer only);\n"
    "                   0.0.0.0 (or ::) serves other computers too: use https then\n"
    "  --port N         the port (default 0: a free one, printed in the URL)\n"
    "  --content DIR    the update service's content folder (default: the one in the sources)\n"
    "  --accounts DIR   serve the account and package service from the catalogue in DIR\n"
    "                   (catalogue.json, accounts.json, files/; sessions, remembered and\n"
    "                   failed sign-ins are kept in DIR/state.sqlite); without it only the\n"
    "                   update service answers\n"
    "  --demo           serve the demo catalogue and print its account (E-mail:, Password:).\n"
    "                   With --accounts DIR it is made in DIR, which must be new, empty or an\n"
    "                   earlier demo folder (it has demo-stamp.json); without, in a new folder\n"
    "                   under $TMPDIR that is removed when the service stops\n"
    "  --database postgresql://USER@HOST:PORT/NAME\n"
    "                   keep accounts, sessions, remembered and failed sign-ins in that\n"
    "                   database instead of the --accounts folder, so that any number of\n"
    "                   instances on it answer alike (accounts.json is then not read); its\n"
    "                   schema is made or upgraded at the start\n"
    "  migrate [--database] postgresql://...\n"
    "                   make or upgrade the database's schema, then stop\n"
    "  --cert FILE      PEM certificate (chain) for https; with --key\n"
    "  --key FILE       PEM private key of the certificate; the service then speaks https only\n"
    "  --accel-redirect PREFIX\n"
    "                   files are sent by the web server in front: a permitted /files/PATH is\n"
    "                   answered with X-Accel-Redirect: PREFIXPATH (e.g. /protected-files/)\n"
    "  --insecure-http  serve plain http on an address other than the loopback (refused\n"
    "                   without it: passwords and tokens would cross the network in the clear)\n"
    "  --wait           while the --accounts folder has no accounts.json, say what to do and\n"
    "                   wait for it, and for the --signing-key file (the packaged service)\n"
    "  init FOLDER [--signing-key FILE]\n"
    "                   make FOLDER/content and FOLDER/accounts (an empty catalogue, no accounts),\n"
    "                   owned as FOLDER is; with --signing-key a copy of the key in\n"
    "                   FOLDER/signing-key.pem\n"
    "  account add FOLDER EMAIL [PRODUCT[:MASK]...]\n"
    "                   add an account owning those products; the password is asked on the\n"
    "                   terminal (read from stdin when that is no terminal)\n"
    "  account remove FOLDER EMAIL, account products FOLDER EMAIL [PRODUCT[:MASK]...]\n"
    "                   remove an account, set what it owns\n"
    "  --signing-key FILE  the vendor's Ed25519 private key (PEM) that signs every item of a\n"
    "                   file list (docs/chain-of-trust.md); default: " DEPLOYER_DEFAULT_SIGNING_KEY_TEXT "\n"
    "  --test-control   adds POST /test/drop-once and /test/expire-sessions, for tests only\n"
    "  --help, -h       this text\n"
    "  --version        the version\n"
    "\n"
    "Running it for real (a catalogue of your own, https, a system service): docs/account-service.md.\n"
    "\n"
    "Exit codes: 0 stopped by SIGINT or SIGTERM, 1 it could not start (a folder, the catalogue,\n"
    "the certificate, the address), 2 the command line was wrong.\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "deployer-service: %s (see 'deployer-service --help')\n", message.c_str());
  return 2;
}

// A demo folder of its own under $TMPDIR, removed when the service stops, so that two demos
// never share one and none is left behind.
std::string MakeOwnDemoFolder(std::string& error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/deployer-service-demo-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    error = pattern + ": " + std::strerror(errno);
    return {};
  }
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "init") == 0 || std::strcmp(argv[1], "account") == 0 ||
                   std::strcmp(argv[1], "migrate") == 0))
    return deployer::RunAdminCommand(argc, argv);
  std::string host = "127.0.0.1";
  int port = 0;
  std::string content = DEPLOYER_DEFAULT_CONTENT;
  std::string accounts, cert, key, accelRedirect, database;
  std::string signingKey;
  bool signingKeyGiven = false;
  bool demo = false, testControl = false, insecureHttp = false, wait = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("deployer-service %s\n", DEPLOYER_VERSION);
      return 0;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--demo") {
      demo = true;
      continue;
    }
    if (arg == "--test-control") {
      testControl = true;
      continue;
    }
    if (arg == "--insecure-http") {
      insecureHttp = true;
      continue;
    }
    if (arg == "--wait") {
      wait = true;
      continue;
    }
    const bool takesValue =
        arg == "--host" || arg == "--port" || arg == "--content" || arg == "--accounts" || arg == "--cert" || arg == "--key" || arg == "--database" ||
                           arg == "--accel-redirect" || arg == "--signing-key";
    if (!takesValue) return Usage("unknown option '" + arg + "'");
    if (i + 1 >= argc) return Usage("option '" + arg + "' needs a value");
    const std::string value = argv[++i];
    if (arg == "--host") {
      host = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 0 || n > 65535)
        return Usage("--port needs a number from 0 to 65535, not '" + value + "'");
      port = static_cast<int>(n);
    } else if (arg == "--content") {
      content = value;
    } else if (arg == "--accounts") {
      accounts = value;
    } else if (arg == "--accel-redirect") {
      if (value.empty() || value.front() != '/' || value.back() != '/')
        return Usage("--accel-redirect needs a location that starts and ends with '/'");
      accelRedirect = value;
    } else if (arg == "--database") {
      if (!cvservice::IsPostgresUrl(value)) return Usage("--database needs a postgresql://... URL");
      database = value;
    } else if (arg == "--cert") {
      cert = value;
    } else if (arg == "--signing-key") {
      signingKey = value;
      signingKeyGiven = true;
    } else {
      key = value;
    }
  }
  if (cert.empty() != key.empty()) return Usage("--cert and --key go together");
  if (!database.empty() && (accounts.empty() || demo)) return Usage("--database goes with --accounts DIR (the catalogue), not --demo");
  const bool loopback = host == "127.0.0.1" || host == "::1" || host == "localhost" || host.rfind("127.", 0) == 0;
  if (cert.empty() && !loopback) {
    if (!insecureHttp)
      return Usage("--host " + host + " without --cert and --key would send passwords and tokens in the clear; "
                   "give a certificate, or --insecure-http when a TLS front (nginx) is in between");
    std::fprintf(stderr, "deployer-service: warning: plain http on %s (--insecure-http): passwords and tokens "
                         "cross the network in the clear\n", host.c_str());
  }
  if (wait && !demo && !accounts.empty()) {
    // The packaged service starts before anyone has made its folder: it says what to do, and
    // what it cannot see (a folder that is not the service user's reads as missing).
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(accounts).parent_path();
    const fs::path accountsFile = fs::path(accounts) / "accounts.json";
    std::string told;
    for (;;) {
      std::error_code accountsError, keyError;
      const bool haveAccounts = fs::exists(accountsFile, accountsError);
      const bool haveKey = !signingKeyGiven || fs::exists(signingKey, keyError);
      if (haveAccounts && haveKey) break;
      std::string missing;
      if (!haveAccounts)
        missing = accountsFile.string() + (accountsError ? " (" + accountsError.message() + ")" : std::string());
      if (!haveKey)
        missing += (missing.empty() ? "" : " and ") + signingKey + (keyError ? " (" + keyError.message() + ")" : std::string());
      if (missing != told) {
        const std::string key = signingKeyGiven ? " --signing-key YOUR-SIGNING-KEY.pem" : "";
        std::fprintf(stderr,
                     "deployer-service: waiting for %s. As root run\n"
                     "  deployer-service init %s%s\n"
                     "  deployer-service account add %s EMAIL [PRODUCT...]\n"
                     "put the catalogue into %s/catalogue.json and its files under %s/files/, then\n"
                     "  systemctl restart deployer-service\n",
                     missing.c_str(), folder.c_str(), key.c_str(), folder.c_str(), accounts.c_str(), accounts.c_str());
        told = missing;
      }
      std::this_thread::sleep_for(std::chrono::seconds(5));
    }
  }
  if (!std::filesystem::is_directory(content)) {
    std::fprintf(stderr, "deployer-service: content folder '%s' not found\n", content.c_str());
    return 1;
  }

  std::string error;
  if (!deployer::CheckPusContent(content, error)) {
    std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
    return 1;
  }
  std::optional<cvservice::TDemoAccount> demoAccount;
  std::string ownDemoFolder;
  // Removes the demo folder the service made, however it ends.
  struct RemoveOwnFolder {
    const std::string& folder;
    ~RemoveOwnFolder() {
      std::error_code ec;
      if (!folder.empty()) std::filesystem::remove_all(folder, ec);
    }
  } removeOwnFolder{ownDemoFolder};
  if (demo) {
    if (accounts.empty()) {
      ownDemoFolder = MakeOwnDemoFolder(error);
      if (ownDemoFolder.empty()) {
        std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
        return 1;
      }
      accounts = ownDemoFolder;
    } else if (!cvdemo::MayWriteDemoFolder(accounts, error)) {
      // Checked before the stamp is read: a folder of someone's own is never a demo's.
      std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
      return 1;
    }
    demoAccount = cvservice::PrepareDemoCatalogue(accounts, error);
    if (!demoAccount) {
      std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "deployer-service: demo catalogue in %s\n", accounts.c_str());
  }
  if (!database.empty()) {
    int version = 0;
    if (!cvservice::MigratePostgres(database, version, error)) {
      std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
      return 1;
    }
  }
  cvservice::TCatalogue catalogue;
  if (!accounts.empty() && !catalogue.Load(accounts, error, database)) {
    std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
    return 1;
  }
  catalogue.SetAccelRedirect(accelRedirect);

  // A key named on the command line must load; the build's own key (a development build) is
  // taken when it is there. Without a key the file lists go out unsigned and clients refuse them.
  cvservice::TItemSigner signer;
  if (!accounts.empty()) {
    if (!signingKeyGiven) signingKey = DEPLOYER_DEFAULT_SIGNING_KEY;
    if (!signingKey.empty() && (signingKeyGiven || std::filesystem::exists(signingKey))) {
      if (!signer.Load(signingKey, error)) {
        std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
        return 1;
      }
    } else {
      std::fprintf(stderr, "deployer-service: no signing key: file lists go out unsigned (--signing-key FILE)\n");
    }
  }

  std::unique_ptr<httplib::Server> server = cvservice::MakeFrontServer(cert, key);
  if (!server->is_valid()) {
    std::fprintf(stderr, "deployer-service: cannot set up the server (certificate or key?)\n");
    return 1;
  }
  server->set_payload_max_length(1 << 20);
  cvservice::LimitServer(*server);
  // Requests are logged on stderr in batches (at least once a second, and the rest at the stop).
  cvservice::LogRequests(*server, STDERR_FILENO);
  // Small answers go out at once: without this each one on a kept-alive connection waits for
  // the client's delayed acknowledgement.
  server->set_tcp_nodelay(true);
  // A backup fetches thousands of small files one after another: they share a connection
  // rather than opening a new one every few files.
  server->set_keep_alive_max_count(1000);
  deployer::RegisterPusService(*server, content);
  if (!accounts.empty()) cvservice::RegisterAccountService(*server, catalogue, testControl, &signer);

  const int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    std::fprintf(stderr, "deployer-service: cannot listen on %s:%d\n", host.c_str(), port);
    return 1;
  }

  // Stop cleanly on SIGINT and SIGTERM (remembered sign-ins are already on disk): a thread
  // waits for the signals while the server runs here.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A signal that comes before the server runs must not be lost: stop() does nothing until
  // then, so the waiter waits for the server to run (or to have ended) before it stops it.
  std::atomic<bool> listenEnded{false};
  std::thread waiter([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    while (!server->is_running() && !listenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server->stop();
  });

  const std::string hostText = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::printf("%s://%s:%d\n", cert.empty() ? "http" : "https", hostText.c_str(), bound);
  if (demoAccount) std::printf("E-mail: %s\nPassword: %s\n", demoAccount->email.c_str(), demoAccount->password.c_str());
  std::fflush(stdout);
  const bool ok = server->listen_after_bind();
  listenEnded = true;
  if (waiter.joinable()) {
    // The server stopped by itself: wake the waiter.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
  }
  return ok ? 0 : 1;
}
