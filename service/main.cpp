// deployer-service: the reference service on one HTTP(S) server.
//   deployer-service [--host H] [--port N] [--content DIR] [--cert FILE --key FILE]
// Port 0 picks a free port. The first line on stdout is the server's base URL.
#include "PusService.h"

#include <httplib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: deployer-service [--host H] [--port N] [--content DIR] "
               "[--cert FILE --key FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string content = DEPLOYER_DEFAULT_CONTENT;
  std::string cert;
  std::string key;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--host") host = value;
    else if (arg == "--port") port = std::atoi(value.c_str());
    else if (arg == "--content") content = value;
    else if (arg == "--cert") cert = value;
    else if (arg == "--key") key = value;
    else return Usage();
  }
  if (cert.empty() != key.empty()) return Usage();
  if (!std::filesystem::is_directory(content)) {
    std::fprintf(stderr, "deployer-service: content folder '%s' not found\n", content.c_str());
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
  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
  });
  deployer::RegisterPusService(*server, content);

  if (port == 0) {
    port = server->bind_to_any_port(host);
    if (port < 0) port = 0;
  } else if (!server->bind_to_port(host, port)) {
    port = 0;
  }
  if (port == 0) {
    std::fprintf(stderr, "deployer-service: cannot listen on %s\n", host.c_str());
    return 1;
  }
  std::printf("%s://%s:%d\n", cert.empty() ? "http" : "https", host.c_str(), port);
  std::fflush(stdout);
  return server->listen_after_bind() ? 0 : 1;
}
