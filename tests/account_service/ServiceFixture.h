#pragma once

// A running account service on 127.0.0.1 for the tests, and a small content folder to serve.

#include "AccountService.h"
#include "ServerFront.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <thread>

namespace cvtest {

// Serves a catalogue on a free port of 127.0.0.1 until destroyed.
class TServiceRunner final {
 public:
  TServiceRunner(cvservice::TCatalogue& catalogue, std::unique_ptr<httplib::Server> server = nullptr,
                 bool testControl = false)
      : server_(server ? std::move(server) : cvservice::MakeFrontServer()) {
    cvservice::RegisterAccountService(*server_, catalogue, testControl);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::yield();
  }
  ~TServiceRunner() {
    server_->stop();
    thread_.join();
  }
  int Port() const { return port_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// Writes a file, making its folders.
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);

// Deterministic bytes.
std::string Bytes(std::size_t size, unsigned seed);

}  // namespace cvtest
