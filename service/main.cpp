// deployer-service: the reference update, account and package service on one HTTP(S) server.
//   deployer-service [--host H] [--port N] [--content DIR] [--accounts DIR | --demo]
//                    [--cert FILE --key FILE] [--test-control]
// Port 0 (the default) picks a free port. The first line on stdout is the server's base URL;
// with --demo the demo account follows as "E-mail: ..." and "Password: ...".
#include "AccountService.h"
#include "PusService.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: deployer-service [--host H] [--port N] [--content DIR] [--accounts DIR | --demo]\n"
               "                        [--cert FILE --key FILE] [--test-control]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string content = DEPLOYER_DEFAULT_CONTENT;
  std::string accounts, cert, key;
  bool demo = false, testControl = false;
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
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--host") {
      host = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 0 || n > 65535) return Usage();
      port = static_cast<int>(n);
    } else if (arg == "--content") {
      content = value;
    } else if (arg == "--accounts") {
      accounts = value;
    } else if (arg == "--cert") {
      cert = value;
    } else if (arg == "--key") {
      key = value;
    } else {
      return Usage();
    }
  }
  if (cert.empty() != key.empty()) return Usage();
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
  if (demo) {
    if (accounts.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      accounts = std::string(tmp && *tmp ? tmp : "/tmp") + "/deployer-service-demo";
    }
    demoAccount = cvservice::PrepareDemoCatalogue(accounts, error);
    if (!demoAccount) {
      std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
      return 1;
    }
  }
  cvservice::TCatalogue catalogue;
  if (!accounts.empty() && !catalogue.Load(accounts, error)) {
    std::fprintf(stderr, "deployer-service: %s\n", error.c_str());
    return 1;
  }

  std::unique_ptr<httplib::Server> server;
  if (cert.empty()) {
    server = std::make_unique<httplib::Server>();
  } else {
    server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "deployer-service: cannot set up the server (certificate or key?)\n");
    return 1;
  }
  server->set_payload_max_length(1 << 20);
  cvservice::LimitServer(*server);
  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
  });
  // Small answers go out at once: without this each one on a kept-alive connection waits for
  // the client's delayed acknowledgement.
  server->set_tcp_nodelay(true);
  // A backup fetches thousands of small files one after another: they share a connection
  // rather than opening a new one every few files.
  server->set_keep_alive_max_count(1000);
  deployer::RegisterPusService(*server, content);
  if (!accounts.empty()) cvservice::RegisterAccountService(*server, catalogue, testControl);

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
  std::thread waiter([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    server->stop();
  });

  const std::string hostText = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::printf("%s://%s:%d\n", cert.empty() ? "http" : "https", hostText.c_str(), bound);
  if (demoAccount) std::printf("E-mail: %s\nPassword: %s\n", demoAccount->email.c_str(), demoAccount->password.c_str());
  std::fflush(stdout);
  const bool ok = server->listen_after_bind();
  if (waiter.joinable()) {
    // The server stopped by itself: wake the waiter.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
  }
  return ok ? 0 : 1;
}
