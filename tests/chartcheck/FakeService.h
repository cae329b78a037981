#pragma once

// A small scripted account and package service on 127.0.0.1 for the engine's tests: the
// JSON routes of docs/account-protocol.md answered from fixtures, and files served with
// byte ranges, with faults on request (connection closed mid-file, ranges ignored).

#include <httplib.h>
#include "TestSigning.h"

#include <nlohmann/json.hpp>

#include <QByteArray>
#include <QCryptographicHash>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvtest {

class FakeService {
 public:
  // One account: e-mail "anna@example.com", password "secret".
  std::string email = "anna@example.com";
  std::string password = "secret";
  nlohmann::json products = nlohmann::json::array();
  nlohmann::json items = nlohmann::json::array();  // every item; /files answers the selected

  FakeService() {
    server_.Post("/api/v1/signin", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      ++signIns;
      const auto body = nlohmann::json::parse(req.body, nullptr, false);
      if (body.is_discarded() || !body.is_object()) return Error(res, 400, 6);
      lastSignIn = body;
      const bool byPassword = body.contains("password");
      const bool good = body.value("email", "") == email &&
                        (byPassword ? body.value("password", "") == password
                                    : !token_.empty() && body.value("token", "") == token_);
      if (!good) return Error(res, 401, 4);
      nlohmann::json answer = {{"session", "session-" + std::to_string(signIns)}, {"email", email}};
      if (body.value("remember", false)) {
        token_ = "token-" + std::to_string(signIns);
        answer["token"] = token_;
      } else if (!byPassword) {
        token_.clear();
      }
      session_ = answer["session"];
      res.set_content(answer.dump(), "application/json");
    });
    server_.Get("/api/v1/products", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      if (!Authorised(req)) return Error(res, 401, 5);
      res.set_content(nlohmann::json{{"products", products}}.dump(), "application/json");
    });
    server_.Post("/api/v1/files", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      if (!Authorised(req)) return Error(res, 401, 5);
      const auto body = nlohmann::json::parse(req.body, nullptr, false);
      if (body.is_discarded() || !body.contains("selection")) return Error(res, 400, 6);
      if (!rawFileList.empty()) return res.set_content(SignedRaw(), "application/json");
      nlohmann::json answer = nlohmann::json::array();
      for (const auto& entry : body["selection"])
        for (const auto& item : items)
          if (item["product"] == entry["product"] && item["mask"] == entry["mask"]) {
            nlohmann::json listed = item;
            // Signed as the service signs, unless the test put a signature of its own.
            if (signItems && !listed.contains("signature")) cvtest::SignItemJson(listed, signingKey);
            answer.push_back(std::move(listed));
          }
      res.set_content(nlohmann::json{{"items", answer}}.dump(), "application/json");
    });
    server_.Get(R"(/files/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
      // Requests answered at once, counted while each waits out fileDelayMs.
      const int now = ++filesInFlight;
      for (int seen = maxFilesInFlight; now > seen && !maxFilesInFlight.compare_exchange_weak(seen, now);) {
      }
      for (int waited = 0; waited < fileDelayMs && !released_; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      --filesInFlight;
      std::string content;
      size_t closeAfter = 0;
      size_t stallAfter = 0;
      {
        std::lock_guard lock(mutex_);
        fileRequests.push_back({req.matches[1], req.get_header_value("Range")});
        auto it = files_.find(req.matches[1]);
        if (it == files_.end()) return Error(res, 404, 7);
        content = it->second;
        // Once, for the next request (of the named file, when one is named).
        if (closeAfterFile_.empty() || closeAfterFile_ == req.matches[1].str()) {
          closeAfter = closeAfter_;
          closeAfter_ = 0;
        }
        stallAfter = stallAfter_;
        stallAfter_ = 0;
        if (ignoreRanges) const_cast<httplib::Request&>(req).ranges.clear();
      }
      auto data = std::make_shared<std::string>(std::move(content));
      res.set_content_provider(data->size(), "application/octet-stream",
                               [this, data, closeAfter, stallAfter](size_t offset, size_t length, httplib::DataSink& sink) {
                                 if (stallAfter && offset + length > stallAfter) {
                                   if (stallAfter > offset) sink.write(data->data() + offset, stallAfter - offset);
                                   // Silent, connection open, until the test ends.
                                   for (int i = 0; i < 3000 && !released_; ++i)
                                     std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                   return false;
                                 }
                                 if (closeAfter && offset + length > closeAfter) {
                                   if (closeAfter > offset) sink.write(data->data() + offset, closeAfter - offset);
                                   return false;  // the connection goes down mid-file
                                 }
                                 sink.write(data->data() + offset, length);
                                 return true;
                               });
    });
    port = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  ~FakeService() {
    released_ = true;
    server_.stop();
    thread_.join();
  }

  QString URL() const { return QStringLiteral("http://127.0.0.1:%1/").arg(port); }

  // Adds a file under /files/<name> and returns its JSON for an item's file list.
  nlohmann::json AddFile(const std::string& name, const std::string& content, int time = 1700000000,
                         const std::string& folder = "", bool addon = false) {
    std::lock_guard lock(mutex_);
    files_[name] = content;
    const QByteArray sha = QCryptographicHash::hash(QByteArray::fromStdString(content), QCryptographicHash::Sha256).toHex();
    return {{"name", name}, {"folder", folder}, {"size", content.size()}, {"time", time},
            {"addon", addon}, {"sha256", sha.toStdString()}, {"url", "files/" + name}};
  }
  void ReplaceFile(const std::string& name, const std::string& content) {
    std::lock_guard lock(mutex_);
    files_[name] = content;
  }
  // The next file sends this many bytes and then nothing more, its connection kept open.
  void StallNextFileAfter(size_t bytes) {
    std::lock_guard lock(mutex_);
    stallAfter_ = bytes;
  }
  // file: the path below /files/ whose next answer breaks off; empty: the next answer's.
  void CloseNextFileAfter(size_t bytes, const std::string& file = {}) {
    std::lock_guard lock(mutex_);
    closeAfter_ = bytes;
    closeAfterFile_ = file;
  }
  std::vector<std::pair<std::string, std::string>> FileRequests() {
    std::lock_guard lock(mutex_);
    return fileRequests;
  }
  void SetToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    token_ = token;
  }

  int port = 0;
  int signIns = 0;
  nlohmann::json lastSignIn;
  bool signItems = true;
  // rawFileList with its items signed, when it is JSON of that shape (and signItems): the text
  // is then written anew. A text that is no such JSON goes out as it stands.
  std::string SignedRaw() const {
    if (!signItems) return rawFileList;
    auto doc = nlohmann::json::parse(rawFileList, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array())
      return rawFileList;
    bool changed = false;
    for (auto& item : doc["items"])
      if (item.is_object() && !item.contains("signature")) {
        cvtest::SignItemJson(item, signingKey);
        changed = true;
      }
    return changed ? doc.dump() : rawFileList;
  }
  cvtest::TSigningKey signingKey = cvtest::TSigningKey::Build;
  std::string rawFileList;  // when set, the answer of /files as it stands
  std::atomic<bool> ignoreRanges{false};
  std::atomic<int> fileDelayMs{0};
  std::atomic<int> filesInFlight{0};
  std::atomic<int> maxFilesInFlight{0};
  std::vector<std::pair<std::string, std::string>> fileRequests;  // name, Range header

 private:
  bool Authorised(const httplib::Request& req) const {
    return !session_.empty() && req.get_header_value("Authorization") == "Bearer " + session_;
  }
  static void Error(httplib::Response& res, int status, int code) {
    res.status = status;
    res.set_content(nlohmann::json{{"error", code}, {"message", "refused"}}.dump(), "application/json");
  }

  httplib::Server server_;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> files_;
  std::string token_;
  std::string session_;
  size_t closeAfter_ = 0;
  std::string closeAfterFile_;
  size_t stallAfter_ = 0;
  std::atomic<bool> released_{false};
};

}  // namespace cvtest
