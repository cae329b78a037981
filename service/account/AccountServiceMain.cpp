#include "AccountService.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace cvservice {
namespace {

constexpr int kDefaultPort = 8470;

void Usage() {
  std::fprintf(stderr,
               "usage: deployer-service [--content FOLDER | --demo [--content FOLDER]] [--host HOST]\n"
               "                        [--port N] [--cert FILE --key FILE] [--test-control]\n");
}

}  // namespace

int RunAccountServiceMain(int argc, char** argv) {
  std::string content, host = "127.0.0.1", cert, key;
  int port = kDefaultPort;
  bool demo = false, testControl = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--demo") demo = true;
    else if (arg == "--test-control") testControl = true;
    else if (arg == "--content" && value(content)) {}
    else if (arg == "--host" && value(host)) {}
    else if (arg == "--cert" && value(cert)) {}
    else if (arg == "--key" && value(key)) {}
    else if (arg == "--port" && value(text)) {
      char* end = nullptr;
      const long n = std::strtol(text.c_str(), &end, 10);
      if (*end != '\0' || n < 0 || n > 65535) {
        Usage();
        return 2;
      }
      port = static_cast<int>(n);
    } else {
      Usage();
      return 2;
    }
  }
  if (cert.empty() != key.empty() || (!demo && content.empty())) {
    Usage();
    return 2;
  }

  std::string error;
  std::optional<TDemoAccount> account;
  if (demo) {
    if (content.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      content = std::string(tmp && *tmp ? tmp : "/tmp") + "/deployer-service-demo";
    }
    account = PrepareDemoCatalogue(content, error);
    if (!account) {
      std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
      return 1;
    }
  }
  TCatalogue catalogue;
  if (!catalogue.Load(content, error)) {
    std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
    return 1;
  }

  std::unique_ptr<httplib::Server> server;
  if (!cert.empty()) {
    auto tls = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!tls->is_valid()) {
      std::fprintf(stderr, "deployer-service: cannot use the certificate %s and key %s\n", cert.c_str(), key.c_str());
      return 1;
    }
    server = std::move(tls);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  RegisterAccountService(*server, catalogue, testControl);
  const int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    std::fprintf(stderr, "deployer-service: cannot listen on %s:%d\n", host.c_str(), port);
    return 1;
  }

  // Stop cleanly on SIGINT and SIGTERM: a thread waits for them, the server runs here.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread waiter([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    server->stop();
  });

  const std::string hostText = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::printf("URL: %s://%s:%d/\n", cert.empty() ? "http" : "https", hostText.c_str(), bound);
  if (account) std::printf("E-mail: %s\nPassword: %s\n", account->email.c_str(), account->password.c_str());
  std::fflush(stdout);
  const bool ok = server->listen_after_bind();
  if (waiter.joinable()) {
    // The waiter is still in sigwait when the server stopped by itself.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
  }
  return ok ? 0 : 1;
}

}  // namespace cvservice
