#include "AccountCrypto.h"
#include "ServiceFixture.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvtest {

void WriteFile(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Bytes(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  unsigned x = seed * 2654435761u + 7;
  for (auto& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return data;
}

namespace {

using nlohmann::json;
using cvservice::TCatalogue;

constexpr const char* kEmail = "skipper@example.org";
constexpr const char* kPassword = "s3cret harbour";
constexpr const char* kOtherEmail = "deckhand@example.org";  // owns the other North Sea module only
constexpr std::size_t kBigSize = 1 << 20;

// A catalogue with a program and its companion, a chart product of two modules (one owned),
// a withdrawn product and a larger file for range requests. Fewer rounds keep the tests quick.
std::string MakeContent() {
  const std::string folder = MakeTempFolder(QStringLiteral("content")).toStdString();
  WriteFile(folder + "/files/setups/NavSetup", "setup program");
  WriteFile(folder + "/files/setups/DrvSetup", "driver setup");
  WriteFile(folder + "/files/addons/Guide.txt", "guide");
  WriteFile(folder + "/files/charts/NL/NL_1.qmr2", "QMR2 chart");
  WriteFile(folder + "/files/charts/BE/BE_1.qmr2", "QMR2 chart be");
  WriteFile(folder + "/files/charts/OLD/OLD_1.qmr2", "QMR2 chart old");
  WriteFile(folder + "/files/data/with space.txt", "spaced");
  WriteFile(folder + "/files/data/big.bin", Bytes(kBigSize, 3));
  WriteFile(folder + "/files/data/empty.bin", "");
  WriteFile(folder + "/secret.txt", "outside the files folder");
  // Listed files that tests change while they are served, and listed links that lead out.
  WriteFile(folder + "/files/data/changing.bin", "");
  WriteFile(folder + "/files/data/large.bin", "");
  std::filesystem::create_symlink(folder + "/secret.txt", folder + "/files/data/link.txt");
  std::filesystem::create_directory_symlink(folder, folder + "/files/out");
  auto listed = [](const char* path) {
    return json{{"name", std::filesystem::path(path).filename().string()}, {"path", path}, {"time", 1700000000},
                {"size", 0}, {"sha256", std::string(64, '0')}};
  };
  auto file = [](const char* name, const char* folder, const char* path, bool addon) {
    return json{{"name", name}, {"folder", folder}, {"path", path}, {"time", 1700000000}, {"addon", addon}};
  };
  const json catalogue = {
      {"products",
       {{{"number", 100}, {"kind", 0}, {"group", 9999}, {"moduleMask", 1}, {"displayName", "Navigator"},
         {"productCode", "NAV"}, {"registryKey", "Navigator"}, {"latestVersion", "5.2.0.0"},
         {"installFolder", "Navigator"}, {"revision", 4},
         {"files", {file("NavSetup", "", "setups/NavSetup", false), file("Guide.txt", "Docs", "addons/Guide.txt", true)}}},
        {{"number", 100}, {"kind", 99}, {"moduleMask", 2}, {"displayName", "Navigator Drivers"},
         {"files", {file("DrvSetup", "", "setups/DrvSetup", false)}}},
        {{"number", 1001}, {"kind", 1}, {"group", 2019}, {"moduleMask", 2}, {"displayName", "North Sea"},
         {"itemTitle", "Belgium"}, {"productCode", "NS"}, {"moduleCode", "BE"},
         {"files", {file("BE_1.qmr2", "", "charts/BE/BE_1.qmr2", false)}}},
        {{"number", 1001}, {"kind", 1}, {"group", 2019}, {"moduleMask", 1}, {"displayName", "North Sea"},
         {"itemTitle", "Netherlands"}, {"productCode", "NS"}, {"moduleCode", "NL"},
         {"files", {file("NL_1.qmr2", "", "charts/NL/NL_1.qmr2", false)}}},
        {{"number", 1003}, {"kind", 1}, {"displayName", "Old"}, {"withdrawn", true},
         {"files", {file("NL_1.qmr2", "", "charts/NL/NL_1.qmr2", false), file("OLD_1.qmr2", "", "charts/OLD/OLD_1.qmr2", false)}}},
        {{"number", 200}, {"kind", 2}, {"displayName", "Big"},
         {"files", {file("big.bin", "", "data/big.bin", false), file("empty.bin", "", "data/empty.bin", false),
                    listed("data/changing.bin"), listed("data/large.bin"), listed("data/link.txt"),
                    listed("out/secret.txt"), file("with space.txt", "", "data/with space.txt", false)}}}}}};
  WriteFile(folder + "/catalogue.json", catalogue.dump());
  const std::string salt = cvservice::RandomHex(16);
  const json accounts = {
      {"accounts",
       {{{"email", kEmail}, {"salt", salt}, {"rounds", 1000},
         {"hash", cvservice::HashPassword(kPassword, salt, 1000)},
         {"products", {{{"product", 100}, {"mask", 1}}, {{"product", 1001}, {"mask", 1}},
                       {{"product", 1003}, {"mask", -1}}, {{"product", 200}, {"mask", -1}}}}},
        {{"email", kOtherEmail}, {"salt", salt}, {"rounds", 1000},
         {"hash", cvservice::HashPassword(kPassword, salt, 1000)},
         {"products", {{{"product", 1001}, {"mask", 2}}}}}}}};
  WriteFile(folder + "/accounts.json", accounts.dump());
  return folder;
}

struct TAnswer {
  int status = 0;
  json body;
};

TAnswer Post(httplib::Client& client, const std::string& path, const std::string& body,
             const std::string& session = {}) {
  httplib::Headers headers;
  if (!session.empty()) headers.emplace("Authorization", "Bearer " + session);
  auto res = client.Post(path.c_str(), headers, body, "application/json");
  if (!res) return {};
  return {res->status, json::parse(res->body, nullptr, false)};
}

TAnswer SignIn(httplib::Client& client, const json& request) { return Post(client, "/api/v1/signin", request.dump()); }

// Sends a request as written and reads the answer up to the end of the connection, for the
// requests an ordinary client would not make.
TAnswer RawExchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  timeval timeout{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    for (std::size_t sent = 0; sent < request.size();) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    // Up to the end of the answer's body: the server may keep the connection open.
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      answer.append(buffer, static_cast<std::size_t>(n));
      const std::size_t headEnd = answer.find("\r\n\r\n");
      const std::size_t length = answer.find("Content-Length: ");
      if (headEnd != std::string::npos && length != std::string::npos && length < headEnd &&
          answer.size() >= headEnd + 4 + std::strtoull(answer.c_str() + length + 16, nullptr, 10))
        break;
    }
  }
  ::close(fd);
  TAnswer result;
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0) return result;
  result.status = std::atoi(answer.c_str() + 9);
  const std::size_t bodyAt = answer.find("\r\n\r\n");
  if (bodyAt != std::string::npos) result.body = json::parse(answer.substr(bodyAt + 4), nullptr, false);
  return result;
}

class AccountServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeContent();
    std::string error;
    ASSERT_TRUE(catalogue_.Load(folder_, error)) << error;
    runner_ = std::make_unique<TServiceRunner>(catalogue_);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", runner_->Port());
  }

  std::string Session() {
    const TAnswer a = SignIn(*client_, {{"email", kEmail}, {"password", kPassword}});
    return a.status == 200 ? a.body.value("session", "") : "";
  }

  json Files(const json& selection) {
    const TAnswer a = Post(*client_, "/api/v1/files", json{{"selection", selection}}.dump(), Session());
    EXPECT_EQ(a.status, 200);
    return a.body.value("items", json::array());
  }

  std::string folder_;
  TCatalogue catalogue_;
  std::unique_ptr<TServiceRunner> runner_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(AccountServiceTest, PasswordSignIn) {
  const TAnswer good = SignIn(*client_, {{"email", "Skipper@Example.ORG"}, {"password", kPassword}});
  ASSERT_EQ(good.status, 200);
  EXPECT_EQ(good.body["email"], kEmail);
  EXPECT_EQ(good.body["session"].get<std::string>().size(), 64u);
  EXPECT_FALSE(good.body.contains("token"));

  for (const json& request : {json{{"email", kEmail}, {"password", "wrong"}},
                              json{{"email", "nobody@example.org"}, {"password", kPassword}},
                              json{{"email", kEmail}, {"token", std::string(64, 'a')}}}) {
    const TAnswer bad = SignIn(*client_, request);
    EXPECT_EQ(bad.status, 401) << request;
    EXPECT_EQ(bad.body["error"], 4) << request;
  }
}

TEST_F(AccountServiceTest, MalformedRequestsGiveError6) {
  for (const std::string body : {"{not json", "[1,2]", R"({"password":"x"})", R"({"email":"a@b.c"})",
                                 R"({"email":"a@b.c","password":"x","token":"y"})",
                                 R"({"email":"a@b.c","password":1})", R"({"email":"a@b.c","password":"x","remember":"yes"})"}) {
    const TAnswer a = Post(*client_, "/api/v1/signin", body);
    EXPECT_EQ(a.status, 400) << body;
    EXPECT_EQ(a.body.value("error", 0), 6) << body;
  }
  const std::string session = Session();
  for (const std::string body : {"{", R"({"selection":5})", R"({"selection":[{"product":"100","mask":1}]})",
                                 R"({"selection":[{"product":100,"mask":4294967296}]})"}) {
    const TAnswer a = Post(*client_, "/api/v1/files", body, session);
    EXPECT_EQ(a.status, 400) << body;
    EXPECT_EQ(a.body.value("error", 0), 6) << body;
  }
  const TAnswer unknown = Post(*client_, "/api/v1/nothing", "{}");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body.value("error", 0), 7);
  const TAnswer deep = Post(*client_, "/api/v1/files", std::string(200000, '[') + std::string(200000, ']'), session);
  EXPECT_EQ(deep.status, 400);
  EXPECT_EQ(deep.body.value("error", 0), 6);
}

// Requests the server refuses before any route: each gets the protocol's error body, and a body
// whose length is not announced is refused before it is read (it could be of any size).
TEST_F(AccountServiceTest, RequestsRefusedByTheServerGiveTheProtocolsErrors) {
  const std::string end = "Host: x\r\nConnection: close\r\n\r\n";
  // `count` header lines of `size` bytes each, line end included.
  auto many = [](std::size_t count, std::size_t size) {
    std::string lines;
    for (std::size_t i = 0; i < count; ++i) {
      std::string line = "X-" + std::to_string(i) + ": ";
      lines += line + std::string(size - line.size() - 2, 'h') + "\r\n";
    }
    return lines;
  };
  struct TCase {
    const char* what;
    std::string request;
    int status, error;
  };
  const TCase cases[] = {
      {"long URI", "GET /files/" + std::string(9000, 'a') + " HTTP/1.1\r\n" + end, 414, 6},
      {"long header", "GET /api/v1/products HTTP/1.1\r\nX-Long: " + std::string(10000, 'a') + "\r\n" + end, 431, 6},
      {"headers over 8 KiB", "GET /api/v1/products HTTP/1.1\r\n" + many(90, 100) + end, 431, 6},
      {"over 100 header lines", "GET /api/v1/products HTTP/1.1\r\n" + many(101, 16) + end, 431, 6},
      {"100 header lines", "GET /api/v1/products HTTP/1.1\r\n" + many(98, 16) + end, 401, 5},
      {"headers sent without end", "GET /api/v1/products HTTP/1.1\r\n" + many(2000, 100), 431, 6},
      {"body on a GET", "GET /api/v1/products HTTP/1.1\r\nContent-Length: 10\r\n" + end + "0123456789", 413, 6},
      {"sign-in body over 16 KiB", "POST /api/v1/signin HTTP/1.1\r\nContent-Length: 20000\r\n" + end, 413, 6},
      {"unknown method", "FETCH /api/v1/signin HTTP/1.1\r\n" + end, 400, 6},
      {"wrong method", "GET /api/v1/signin HTTP/1.1\r\n" + end, 404, 7},
      {"other method", "DELETE /api/v1/products HTTP/1.1\r\n" + end, 404, 7},
      {"body too large", "POST /api/v1/signin HTTP/1.1\r\nContent-Length: 2000000\r\n" + end + std::string(2000000, ' '), 413, 6},
      {"chunked body", "POST /api/v1/signin HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + end, 411, 6},
      {"chunked body, no route", "POST /api/v1/nothing HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + end, 411, 6},
      {"chunked body on GET", "GET /api/v1/products HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + end, 411, 6},
      {"body up to the end", "POST /api/v1/files HTTP/1.1\r\n" + end, 411, 6},
  };
  for (const auto& c : cases) {
    const TAnswer a = RawExchange(runner_->Port(), c.request);
    EXPECT_EQ(a.status, c.status) << c.what;
    EXPECT_EQ(a.body.is_object() ? a.body.value("error", 0) : -1, c.error) << c.what;
  }
  // The service still answers.
  EXPECT_FALSE(Session().empty());
}

// Connections that send their header slowly, or sit idle between requests, hold no worker: a
// new client is served while they wait, and a header section not done in time gets 408.
TEST(AccountServiceFront, SlowAndIdleClientsHoldNoWorker) {
  const std::string folder = MakeContent();
  TCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.Load(folder, error)) << error;
  cvservice::TFrontLimits limits;
  limits.workers = 2;
  limits.headerSeconds = 1;
  TServiceRunner runner(catalogue, cvservice::MakeFrontServer({}, {}, limits));
  auto connect = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(runner.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
  };
  std::vector<int> slow;
  for (int i = 0; i < 50; ++i) {
    slow.push_back(connect());
    const std::string start = "GET /api/v1/products HTTP/1.1\r\nHost: x\r\n";
    ::send(slow.back(), start.data(), start.size(), MSG_NOSIGNAL);
  }
  std::vector<std::unique_ptr<httplib::Client>> idle;
  for (int i = 0; i < 6; ++i) {
    idle.push_back(std::make_unique<httplib::Client>("127.0.0.1", runner.Port()));
    idle.back()->set_keep_alive(true);
    ASSERT_TRUE(idle.back()->Get("/api/v1/products"));
  }
  httplib::Client fresh("127.0.0.1", runner.Port());
  fresh.set_read_timeout(5, 0);
  const TAnswer signIn = SignIn(fresh, {{"email", kEmail}, {"password", kPassword}});
  EXPECT_EQ(signIn.status, 200);

  // One header line every 200 ms never completes the section: the front answers 408 and closes.
  const int trickle = slow.front();
  std::string answer;
  for (int i = 0; i < 40 && answer.empty(); ++i) {
    ::send(trickle, "X-More: 1\r\n", 11, MSG_NOSIGNAL);
    pollfd p{trickle, POLLIN, 0};
    if (::poll(&p, 1, 200) > 0) {
      char buffer[512];
      const ssize_t n = ::recv(trickle, buffer, sizeof buffer, 0);
      if (n > 0) answer.assign(buffer, static_cast<std::size_t>(n));
    }
  }
  EXPECT_EQ(answer.compare(0, 12, "HTTP/1.1 408"), 0) << answer;
  for (const int fd : slow) ::close(fd);
}

TEST_F(AccountServiceTest, RememberedSignIn) {
  const TAnswer first = SignIn(*client_, {{"email", kEmail}, {"password", kPassword}, {"remember", true}});
  ASSERT_EQ(first.status, 200);
  const std::string token = first.body.value("token", "");
  ASSERT_EQ(token.size(), 64u);
  // Only a hash of the token is kept on disk.
  const std::string stored = ReadFile(folder_ + "/state.sqlite") + ReadFile(folder_ + "/state.sqlite-wal");
  EXPECT_EQ(stored.find(token), std::string::npos);
  EXPECT_NE(stored.find(cvservice::Sha256Hex(token)), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat((folder_ + "/state.sqlite").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A restart keeps it; using it with remember keeps it valid.
  runner_.reset();
  TCatalogue restarted;
  std::string error;
  ASSERT_TRUE(restarted.Load(folder_, error)) << error;
  runner_ = std::make_unique<TServiceRunner>(restarted);
  httplib::Client client("127.0.0.1", runner_->Port());
  for (int i = 0; i < 2; ++i) {
    const TAnswer again = SignIn(client, {{"email", kEmail}, {"token", token}, {"remember", true}});
    ASSERT_EQ(again.status, 200);
    EXPECT_EQ(again.body["token"], token);
  }
  // Another address with this token is refused.
  restarted.ExpireSessions();
  EXPECT_EQ(SignIn(client, {{"email", "other@example.org"}, {"token", token}}).body.value("error", 0), 4);

  // Used without remember, it signs in once and is forgotten, on disk too.
  const TAnswer last = SignIn(client, {{"email", kEmail}, {"token", token}, {"remember", false}});
  ASSERT_EQ(last.status, 200);
  EXPECT_FALSE(last.body.contains("token"));
  EXPECT_EQ(SignIn(client, {{"email", kEmail}, {"token", token}}).body.value("error", 0), 4);
  std::string error2;
  EXPECT_FALSE(restarted.Store().FindToken(cvservice::Sha256Hex(token), error2));
  runner_.reset();
}

// Guessing passwords: 5 failures for one address or 20 from one client within 15 minutes, and
// sign-ins are refused (429, Retry-After) before the password is looked at; a successful sign-in
// forgets the address's failures.
// Sessions live in the store by their hash: a second process on the folder knows them, a
// restart keeps them, and the key itself is never written down.
TEST_F(AccountServiceTest, SessionsAreKeptInTheStore) {
  const cvservice::TSignInResult signedIn = catalogue_.SignInPassword(kEmail, kPassword, false);
  ASSERT_EQ(signedIn.error, 0);
  TCatalogue other;
  std::string error;
  ASSERT_TRUE(other.Load(folder_, error)) << error;
  EXPECT_EQ(other.SessionEmail(signedIn.session), kEmail);
  EXPECT_EQ(other.SessionEmail(std::string(64, '0')), "");
  const std::string stored = ReadFile(folder_ + "/state.sqlite") + ReadFile(folder_ + "/state.sqlite-wal");
  EXPECT_EQ(stored.find(signedIn.session), std::string::npos);
  other.ExpireSessions();
  EXPECT_EQ(catalogue_.SessionEmail(signedIn.session), "");
}

TEST_F(AccountServiceTest, FailedSignInsAreThrottled) {
  auto signIn = [&](const char* email, const char* password) {
    httplib::Headers none;
    auto res = client_->Post("/api/v1/signin", json{{"email", email}, {"password", password}}.dump(), "application/json");
    return res ? std::make_pair(res->status, res->get_header_value("Retry-After")) : std::make_pair(0, std::string());
  };
  for (int i = 0; i < 4; ++i) EXPECT_EQ(signIn(kEmail, "wrong").first, 401);
  EXPECT_EQ(signIn(kEmail, kPassword).first, 200);  // resets the address
  for (int i = 0; i < 5; ++i) EXPECT_EQ(signIn("SKIPPER@example.org", "wrong").first, 401) << i;
  const auto refused = signIn(kEmail, kPassword);  // the right password too
  EXPECT_EQ(refused.first, 429);
  const long wait = std::atol(refused.second.c_str());
  EXPECT_GT(wait, 800);
  EXPECT_LE(wait, 900);
  const TAnswer body = SignIn(*client_, {{"email", kEmail}, {"token", std::string(64, 'a')}});
  EXPECT_EQ(body.status, 429);
  EXPECT_EQ(body.body.value("error", 0), 10);
  EXPECT_NE(body.body.value("message", "").find("15 minutes"), std::string::npos);
  // Another address from this client still signs in, until the client has 20 failures.
  EXPECT_EQ(signIn(kOtherEmail, kPassword).first, 200);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(signIn(("guess" + std::to_string(i) + "@example.org").c_str(), "x").first, 401) << i;
  EXPECT_EQ(signIn(kOtherEmail, kPassword).first, 200);
  EXPECT_EQ(signIn("guess@example.org", "x").first, 401);  // the 20th
  EXPECT_EQ(signIn(kOtherEmail, kPassword).first, 429);
  // Counted in the store: a restart does not forget them.
  runner_.reset();
  TCatalogue restarted;
  std::string error;
  ASSERT_TRUE(restarted.Load(folder_, error)) << error;
  std::int64_t oldest = 0;
  EXPECT_EQ(restarted.Store().CountFailures("address:skipper@example.org", 0, oldest, error), 5);
}

// The packaged service reaches its folder through a link (systemd's /var/lib/NAME of a dynamic
// user leads to /var/lib/private/NAME); its state opens all the same, while a link in place of
// state.sqlite itself is still refused.
TEST_F(AccountServiceTest, StateOpensThroughALinkedFolderButNeverAsALink) {
  runner_.reset();
  const std::string linked = MakeTempFolder(QStringLiteral("linked")).toStdString() + "/service";
  std::filesystem::create_directory_symlink(folder_, linked);
  TCatalogue throughLink;
  std::string error;
  ASSERT_TRUE(throughLink.Load(linked, error)) << error;
  EXPECT_EQ(throughLink.SignInPassword(kEmail, kPassword, true).error, 0);

  const std::string victim = MakeTempFolder(QStringLiteral("victim")).toStdString() + "/victim.sqlite";
  WriteFile(victim, "untouched");
  for (const char* name : {"/state.sqlite", "/state.sqlite-wal", "/state.sqlite-shm"}) std::filesystem::remove(folder_ + name);
  std::filesystem::create_symlink(victim, folder_ + "/state.sqlite");
  TCatalogue planted;
  EXPECT_FALSE(planted.Load(linked, error));
  EXPECT_EQ(ReadFile(victim), "untouched");
}

// Each account keeps its 20 newest remembered sign-ins.
TEST_F(AccountServiceTest, AtMostTwentyRememberedSignInsPerAccount) {
  std::vector<std::string> tokens;
  for (int i = 0; i < 23; ++i)
    tokens.push_back(SignIn(*client_, {{"email", kEmail}, {"password", kPassword}, {"remember", true}}).body.value("token", ""));
  const std::string other = SignIn(*client_, {{"email", kOtherEmail}, {"password", kPassword}, {"remember", true}}).body.value("token", "");
  std::string error;
  for (int i = 0; i < 23; ++i)
    EXPECT_EQ(catalogue_.Store().FindToken(cvservice::Sha256Hex(tokens[i]), error).has_value(), i >= 3) << i;
  EXPECT_TRUE(catalogue_.Store().FindToken(cvservice::Sha256Hex(other), error).has_value());
}

// The tokens.json of an earlier version is taken over once; its tokens keep signing in.
TEST_F(AccountServiceTest, EarlierTokenFileIsTakenOverOnce) {
  runner_.reset();
  const std::string token(64, 'c');
  std::filesystem::remove(folder_ + "/state.sqlite");
  std::filesystem::remove(folder_ + "/state.sqlite-wal");
  std::filesystem::remove(folder_ + "/state.sqlite-shm");
  WriteFile(folder_ + "/tokens.json",
            json{{"tokens", {{{"hash", cvservice::Sha256Hex(token)}, {"email", kEmail}, {"expires", 4000000000}},
                             {{"hash", std::string(64, 'd')}, {"email", kEmail}, {"expires", 1000}}}}}
                .dump());
  TCatalogue migrated;
  std::string error;
  ASSERT_TRUE(migrated.Load(folder_, error)) << error;
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/tokens.json"));
  EXPECT_TRUE(std::filesystem::exists(folder_ + "/tokens.json.migrated"));
  EXPECT_FALSE(migrated.Store().FindToken(std::string(64, 'd'), error));  // expired
  runner_ = std::make_unique<TServiceRunner>(migrated);
  httplib::Client client("127.0.0.1", runner_->Port());
  EXPECT_EQ(SignIn(client, {{"email", kEmail}, {"token", token}, {"remember", true}}).status, 200);
  runner_.reset();
}

TEST_F(AccountServiceTest, DamagedTokenFileStopsTheLoad) {
  WriteFile(folder_ + "/tokens.json", "{\"tokens\": [");
  TCatalogue other;
  std::string error;
  EXPECT_FALSE(other.Load(folder_, error));
  EXPECT_NE(error.find("tokens.json"), std::string::npos);
}

TEST_F(AccountServiceTest, ProductListNeedsASessionAndShowsOwnedProductsInOrder) {
  auto res = client_->Get("/api/v1/products");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  EXPECT_EQ(json::parse(res->body)["error"], 5);

  const httplib::Headers auth = {{"Authorization", "Bearer " + Session()}};
  res = client_->Get("/api/v1/products", auth);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const json products = json::parse(res->body)["products"];
  // Kind, then group, then name; the unowned Belgian module and the withdrawn product are absent.
  std::vector<std::pair<int, int>> seen;
  for (const auto& p : products) seen.emplace_back(p["number"], p["kind"]);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{100, 0}, {1001, 1}, {200, 2}, {100, 99}}));
  EXPECT_EQ(products[0]["size"], 13 + 5);
  EXPECT_EQ(products[0]["latestVersion"], "5.2.0.0");
  EXPECT_EQ(products[1]["itemTitle"], "Netherlands");

  catalogue_.ExpireSessions();
  res = client_->Get("/api/v1/products", auth);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  EXPECT_EQ(json::parse(res->body)["error"], 5);
}

// The wizard shows names as people read them: letter case does not decide the order, so a
// client that sorts its own records (a backup's) comes to the same order.
// Qt offers brotli first; compressing a large list with it takes the server seconds.
TEST_F(AccountServiceTest, AnswersAreNeverCompressedWithBrotli) {
  client_->set_decompress(false);
  for (const char* offered : {"zstd, br, gzip, deflate", "br", "br;q=1.0, gzip;q=0.5"}) {
    SCOPED_TRACE(offered);
    auto res = client_->Get("/api/v1/products", {{"Authorization", "Bearer " + Session()}, {"Accept-Encoding", offered}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->get_header_value("Content-Encoding"), "br");
  }
}

TEST(AccountServiceOrder, DisplayNamesSortWithoutRegardToLetterCase) {
  const std::string folder = MakeTempFolder(QStringLiteral("order")).toStdString();
  WriteFile(folder + "/files/a.qmr2", "chart");
  json products = json::array();
  json owned = json::array();
  int number = 1500;
  for (const char* name : {"beta", "Alpha", "Gamma", "delta", "alpha"}) {
    products.push_back({{"number", number}, {"kind", 1}, {"displayName", name},
                        {"files", {{{"name", "a.qmr2"}, {"path", "a.qmr2"}}}}});
    owned.push_back({{"product", number++}});
  }
  WriteFile(folder + "/catalogue.json", json{{"products", products}}.dump());
  const std::string salt = cvservice::RandomHex(16);
  WriteFile(folder + "/accounts.json",
            json{{"accounts", {{{"email", kEmail}, {"salt", salt}, {"rounds", 1000},
                                {"hash", cvservice::HashPassword(kPassword, salt, 1000)}, {"products", owned}}}}}
                .dump());
  TCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.Load(folder, error)) << error;
  std::vector<std::string> names;
  for (const auto& p : catalogue.ProductList(kEmail)) names.push_back(p.displayName);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha", "beta", "delta", "Gamma"}));
}

TEST_F(AccountServiceTest, FileListForASelection) {
  const json items = Files({{{"product", 100}, {"mask", 1}, {"kind", 0}},
                            {{"product", 1001}, {"mask", 3}, {"kind", 1}},
                            {{"product", 1003}, {"mask", 1}, {"kind", 1}},
                            {{"product", 555}, {"mask", 1}, {"kind", 0}}});
  struct TExpect {
    int product, mask, status;
    std::size_t files;
  };
  // The program brings its companion; the chart entry yields both modules, one not owned.
  const TExpect expected[] = {{100, 1, 0, 2}, {100, 2, 0, 1}, {1001, 2, 1, 0}, {1001, 1, 0, 1}, {1003, 1, 2, 0}, {555, 1, 1, 0}};
  ASSERT_EQ(items.size(), std::size(expected));
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i]["product"], expected[i].product) << i;
    EXPECT_EQ(items[i]["mask"], expected[i].mask) << i;
    EXPECT_EQ(items[i]["status"], expected[i].status) << i;
    EXPECT_EQ(items[i]["files"].size(), expected[i].files) << i;
  }
  const json guide = items[0]["files"][1];
  EXPECT_EQ(guide["name"], "Guide.txt");
  EXPECT_EQ(guide["folder"], "Docs");
  EXPECT_EQ(guide["addon"], true);
  EXPECT_EQ(guide["size"], 5);
  EXPECT_EQ(guide["time"], 1700000000);
  EXPECT_EQ(guide["sha256"], cvservice::Sha256Hex("guide"));
  EXPECT_EQ(guide["url"], "files/addons/Guide.txt");
  EXPECT_EQ(items[0]["productCode"], "NAV");
  EXPECT_EQ(items[0]["installFolder"], "Navigator");
}

// A list is made once per account and selection and then sent as made: another account asking
// the same gets its own, and the same account another selection.
TEST_F(AccountServiceTest, FileListsAreKeptPerAccountAndSelection) {
  const json selection = {{{"product", 1001}, {"mask", 3}, {"kind", 1}}};
  const json mine = Files(selection);
  EXPECT_EQ(Files(selection), mine);
  const TAnswer other = SignIn(*client_, {{"email", kOtherEmail}, {"password", kPassword}});
  ASSERT_EQ(other.status, 200);
  const TAnswer theirs =
      Post(*client_, "/api/v1/files", json{{"selection", selection}}.dump(), other.body.value("session", ""));
  ASSERT_EQ(theirs.status, 200);
  ASSERT_EQ(mine.size(), 2u);
  ASSERT_EQ(theirs.body["items"].size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const int mask = mine[i]["mask"];
    EXPECT_EQ(mine[i]["status"], mask == 1 ? 0 : 1) << i;
    EXPECT_EQ(theirs.body["items"][i]["status"], mask == 2 ? 0 : 1) << i;
  }
  EXPECT_EQ(Files({{{"product", 1001}, {"mask", 1}, {"kind", 1}}}).size(), 1u);
}

TEST_F(AccountServiceTest, DownloadsWithByteRanges) {
  client_->set_bearer_token_auth(Session());
  const json big = Files({{{"product", 200}, {"mask", 1}}})[0]["files"][0];
  const std::string url = "/" + big["url"].get<std::string>();
  const std::string whole = Bytes(kBigSize, 3);

  auto res = client_->Get(url.c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(cvservice::Sha256Hex(res->body), big["sha256"]);

  struct TCase {
    std::string range;
    int status;
    std::size_t first, last;
  };
  const TCase cases[] = {
      {"bytes=1000-1999", 206, 1000, 1999},
      {"bytes=1000000-", 206, 1000000, kBigSize - 1},
      {"bytes=-10", 206, kBigSize - 10, kBigSize - 1},
      {"bytes=5-99999999", 206, 5, kBigSize - 1},
      {"bytes=1048576-", 416, 0, 0},
      {"bytes=2000000-3000000", 416, 0, 0},
      // Malformed: 416 with the size, as for a range past the end.
      {"bytes=abc", 416, 0, 0},
      {"bytes=5-3", 416, 0, 0},
      {"bytes=-0", 416, 0, 0},
      // Another unit or several ranges: the whole file.
      {"items=0-5", 200, 0, kBigSize - 1},
      {"bytes=0-1,5-6", 200, 0, kBigSize - 1},
  };
  for (const auto& c : cases) {
    res = client_->Get(url.c_str(), {{"Range", c.range}});
    ASSERT_TRUE(res) << c.range;
    EXPECT_EQ(res->status, c.status) << c.range;
    if (c.status == 206) {
      EXPECT_EQ(res->get_header_value("Content-Range"),
                "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" + std::to_string(kBigSize));
    } else if (c.status == 416) {
      EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */" + std::to_string(kBigSize)) << c.range;
      EXPECT_EQ(json::parse(res->body, nullptr, false).value("error", 0), 7) << c.range;
      continue;
    }
    EXPECT_TRUE(res->body == whole.substr(c.first, c.last - c.first + 1)) << c.range;
  }

  // HEAD tells the length and sends no body.
  res = client_->Head(url.c_str(), {{"Range", "bytes=10-"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 206);
  EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(kBigSize - 10));
  EXPECT_TRUE(res->body.empty());

  res = client_->Get("/files/data/empty.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_TRUE(res->body.empty());
}

// Through a kept-alive connection too, where the front answers a small file itself.
TEST_F(AccountServiceTest, HostilePathsAreRefused) {
  client_->set_bearer_token_auth(Session());
  ASSERT_EQ(::mkfifo((folder_ + "/files/data/pipe").c_str(), 0600), 0);
  for (const bool keepAlive : {false, true}) {
    client_->set_keep_alive(keepAlive);
    struct TCase {
      std::string path;
      int status, error;
    };
    const TCase cases[] = {
        {"/files/../secret.txt", 400, 6},
        {"/files/%2e%2e/secret.txt", 400, 6},
        {"/files/%2e%2e%2fsecret.txt", 400, 6},
        {"/files/data/../../secret.txt", 400, 6},
        {"/files//etc/passwd", 400, 6},
        {"/files/%2Fetc%2Fpasswd", 400, 6},
        {"/files/data/link.txt", 400, 6},
        {"/files/out/secret.txt", 400, 6},
        {"/files/./data/big.bin", 400, 6},
        {"/files/data/none.bin", 404, 7},
        {"/files/data/" + std::string(300, 'n') + ".bin", 404, 7},
        {"/files/data", 404, 7},
        {"/files/data/pipe", 404, 7},
    };
    for (const auto& c : cases) {
      auto res = client_->Get(c.path.c_str());
      ASSERT_TRUE(res) << c.path;
      EXPECT_EQ(res->status, c.status) << c.path;
      EXPECT_EQ(json::parse(res->body, nullptr, false).value("error", 0), c.error) << c.path;
      EXPECT_EQ(res->body.find("outside the files folder"), std::string::npos) << c.path;
    }
    // An encoded slash is a slash.
    auto res = client_->Get("/files/data%2Fempty.bin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
  }
}

// A file goes only to an account that owns an item listing it and still offered; the paths are
// predictable from any file list. Behind a web server the service only authorises and hands over.
TEST_F(AccountServiceTest, FilesOnlyForTheirOwners) {
  const std::string mine = Session();
  const std::string theirs = SignIn(*client_, {{"email", kOtherEmail}, {"password", kPassword}}).body.value("session", "");
  ASSERT_FALSE(theirs.empty());
  struct TCase {
    const char* path;
    std::string session;
    int status, error;
  };
  const TCase cases[] = {
      {"/files/charts/NL/NL_1.qmr2", "", 401, 5},
      {"/files/charts/NL/NL_1.qmr2", "0123", 401, 5},
      {"/files/charts/NL/NL_1.qmr2", mine, 200, 0},  // also in a withdrawn product
      {"/files/charts/NL/NL_1.qmr2", theirs, 403, 9},
      {"/files/charts/BE/BE_1.qmr2", mine, 403, 9},
      {"/files/charts/BE/BE_1.qmr2", theirs, 200, 0},
      {"/files/setups/DrvSetup", mine, 200, 0},  // a companion comes with its program
      {"/files/setups/DrvSetup", theirs, 403, 9},
      {"/files/charts/OLD/OLD_1.qmr2", mine, 404, 7},  // owned, but withdrawn
      {"/files/secret.txt", mine, 404, 7},
  };
  for (const bool handOver : {false, true}) {
    catalogue_.SetAccelRedirect(handOver ? "/protected/" : "");
    // A kept-alive connection's small files the front answers itself.
    for (const bool keepAlive : {false, true}) {
      client_->set_keep_alive(keepAlive);
      for (const auto& c : cases) {
        httplib::Headers headers;
        if (!c.session.empty()) headers.emplace("Authorization", "Bearer " + c.session);
        for (const char* method : {"GET", "HEAD"}) {
          auto res = std::string(method) == "GET" ? client_->Get(c.path, headers) : client_->Head(c.path, headers);
          ASSERT_TRUE(res) << c.path;
          EXPECT_EQ(res->status, c.status) << method << " " << c.path << " " << handOver;
          if (c.status != 200) {
            if (std::string(method) == "GET") {
              EXPECT_EQ(json::parse(res->body, nullptr, false).value("error", 0), c.error) << c.path;
            }
            EXPECT_FALSE(res->has_header("X-Accel-Redirect")) << c.path;
          } else if (handOver) {
            EXPECT_EQ(res->get_header_value("X-Accel-Redirect"), std::string("/protected") + (c.path + 6));
            EXPECT_TRUE(res->body.empty());
          } else if (std::string(method) == "GET") {
            EXPECT_EQ(res->body, ReadFile(folder_ + (c.path)));
          }
        }
      }
    }
  }
}

TEST_F(AccountServiceTest, ConnectionDroppedOnceInTheMiddleOfAFile) {
  client_->set_bearer_token_auth(Session());
  const std::string whole = Bytes(kBigSize, 3);
  catalogue_.DropConnectionOnce("data/big.bin", 300000);
  std::string received;
  auto res = client_->Get("/files/data/big.bin", [&](const char* data, size_t n) {
    received.append(data, n);
    return true;
  });
  EXPECT_FALSE(res);
  EXPECT_EQ(received, whole.substr(0, 300000));

  // The next attempt resumes where it stopped.
  res = client_->Get("/files/data/big.bin", {{"Range", "bytes=" + std::to_string(received.size()) + "-"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 206);
  EXPECT_EQ(received + res->body, whole);
}

TEST(AccountServiceControl, TestRoutesOnlyWhenAsked) {
  const std::string folder = MakeContent();
  TCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.Load(folder, error)) << error;
  {
    TServiceRunner runner(catalogue);
    httplib::Client client("127.0.0.1", runner.Port());
    EXPECT_EQ(Post(client, "/test/drop-once", R"({"path":"data/big.bin","after":10})").status, 404);
  }
  TServiceRunner runner(catalogue, nullptr, true);
  httplib::Client client("127.0.0.1", runner.Port());
  EXPECT_EQ(Post(client, "/test/drop-once", R"({"path":"data/big.bin","after":10})").status, 200);
  client.set_bearer_token_auth(SignIn(client, {{"email", kEmail}, {"password", kPassword}}).body.value("session", ""));
  std::string received;
  EXPECT_FALSE(client.Get("/files/data/big.bin", [&](const char* data, size_t n) {
    received.append(data, n);
    return true;
  }));
  EXPECT_EQ(received.size(), 10u);
}

TEST(AccountServiceLoad, BrokenCataloguesAreRefused) {
  struct TCase {
    const char* what;
    std::string catalogue;
  };
  const TCase cases[] = {
      {"not json", "{"},
      {"missing file", R"({"products":[{"number":1,"files":[{"name":"a","path":"none.bin"}]}]})"},
      {"path out of folder", R"({"products":[{"number":1,"files":[{"name":"a","path":"../accounts.json"}]}]})"},
      {"bad kind", R"({"products":[{"number":1,"kind":5}]})"},
      {"twice", R"({"products":[{"number":1},{"number":1}]})"},
      {"url without hash", R"({"products":[{"number":1,"files":[{"name":"a","url":"http://x/a","size":1,"time":1}]}]})"},
      {"wrong type", R"({"products":[{"number":"1"}]})"},
  };
  for (const auto& c : cases) {
    const std::string folder = MakeContent();
    WriteFile(folder + "/catalogue.json", c.catalogue);
    TCatalogue catalogue;
    std::string error;
    EXPECT_FALSE(catalogue.Load(folder, error)) << c.what;
    EXPECT_NE(error.find("catalogue.json"), std::string::npos) << c.what << ": " << error;
  }
}

// A file that changes while it is served: one that shrinks breaks the answer off (never padded,
// never a short answer that looks complete); one that is deleted is served as it was opened.
TEST_F(AccountServiceTest, FileChangedWhileServed) {
  client_->set_bearer_token_auth(Session());
  constexpr std::size_t kSize = 64 << 20;  // more than the connection buffers
  const std::string path = folder_ + "/files/data/changing.bin";
  for (const bool shrink : {true, false}) {
    WriteFile(path, Bytes(1 << 20, 5));
    std::filesystem::resize_file(path, kSize);
    std::size_t received = 0;
    auto res = client_->Get("/files/data/changing.bin", [&](const char*, size_t n) {
      if (received == 0) {
        if (shrink) std::filesystem::resize_file(path, 1 << 20);
        else std::filesystem::remove(path);
      }
      received += n;
      return true;
    });
    if (shrink) {
      EXPECT_FALSE(res);
      EXPECT_LT(received, kSize);
    } else {
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200);
      EXPECT_EQ(received, kSize);
    }
  }
}

// A small file the front keeps in memory is checked against the file on disk before each
// answer: one rewritten in place (same size), replaced, swapped for a link out of the folder or
// removed is never sent as it was.
TEST_F(AccountServiceTest, SmallFilesAreNeverSentStale) {
  const std::string path = folder_ + "/files/data/changing.bin";
  WriteFile(path, "first version");
  // Kept only once its times are old enough to tell a later change from them.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  client_->set_bearer_token_auth(Session());
  client_->set_keep_alive(true);
  auto get = [&] {
    auto res = client_->Get("/files/data/changing.bin");
    return res ? std::to_string(res->status) + " " + res->body : std::string("no answer");
  };
  EXPECT_EQ(get(), "200 first version");
  EXPECT_EQ(get(), "200 first version");
  {
    std::fstream in(path, std::ios::in | std::ios::out | std::ios::binary);
    in.write("FIRST", 5);
  }
  EXPECT_EQ(get(), "200 FIRST version");
  WriteFile(path + ".new", "other version");
  std::filesystem::rename(path + ".new", path);
  EXPECT_EQ(get(), "200 other version");
  std::filesystem::remove(path);
  std::filesystem::create_symlink(folder_ + "/secret.txt", path);
  const std::string refused = get();
  EXPECT_EQ(refused.compare(0, 4, "400 "), 0) << refused;
  EXPECT_EQ(refused.find("outside the files folder"), std::string::npos) << refused;
  std::filesystem::remove(path);
  EXPECT_EQ(get().compare(0, 4, "404 "), 0);
}

// Requests sent together on one connection are answered in their order, whether the front
// answers them itself or a worker runs them.
TEST_F(AccountServiceTest, PipelinedRequestsAreAnsweredInOrder) {
  const std::string auth = "Host: x\r\nAuthorization: Bearer " + Session() + "\r\n";
  const std::string guide = "GET /files/addons/Guide.txt HTTP/1.1\r\n" + auth + "\r\n";
  const std::string guideKept = "GET /files/addons/Guide.txt HTTP/1.1\r\n" + auth + "Connection: Keep-Alive\r\n\r\n";
  const std::string products = "GET /api/v1/products HTTP/1.1\r\n" + auth + "\r\n";
  const std::string last = "GET /files/setups/NavSetup HTTP/1.1\r\n" + auth + "Connection: close\r\n\r\n";
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(runner_->Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string requests = guide + guideKept + products + guide + last;
  ASSERT_EQ(::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
  std::string stream;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) stream.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  std::vector<std::string> answers;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t headEnd = stream.find("\r\n\r\n", at);
    const std::size_t length = stream.find("Content-Length: ", at);
    if (headEnd == std::string::npos || length == std::string::npos || length > headEnd) break;
    const std::size_t size = std::strtoull(stream.c_str() + length + 16, nullptr, 10);
    answers.push_back(stream.substr(at, 12) + " " + stream.substr(headEnd + 4, size));
    at = headEnd + 4 + size;
  }
  ASSERT_EQ(answers.size(), 5u) << stream;
  // Each file answer tells the downloader it may send requests so.
  std::size_t inOrder = 0;
  for (std::size_t at = 0; (at = stream.find("\r\nCorvane-Pipelining: in-order\r\n", at)) != std::string::npos; ++at) ++inOrder;
  EXPECT_EQ(inOrder, 4u);
  EXPECT_EQ(answers[0], "HTTP/1.1 200 guide");
  EXPECT_EQ(answers[1], "HTTP/1.1 200 guide");
  EXPECT_EQ(answers[2].rfind("HTTP/1.1 200 {\"products\":[", 0), 0u) << answers[2];
  EXPECT_EQ(answers[3], "HTTP/1.1 200 guide");
  EXPECT_EQ(answers[4], "HTTP/1.1 200 setup program");
}

// The last request a connection may make is answered whole even when the client has sent the
// next one behind it: closing with that one unread would reset the connection and drop what of
// the answer had not gone out yet.
TEST_F(AccountServiceTest, TheLastAnswerOfAConnectionIsNotCutShortByARequestBehindIt) {
  auto server = cvservice::MakeFrontServer();
  server->set_keep_alive_max_count(2);
  TServiceRunner runner(catalogue_, std::move(server));
  const std::string big = "GET /files/data/big.bin HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + Session() + "\r\n\r\n";
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(runner.Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string requests = big + big;
  ASSERT_EQ(::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
  // The third comes while the server is at the answers, and stays unread by it; the answers
  // pile up in the buffers before anything is read.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(::send(fd, big.data(), big.size(), MSG_NOSIGNAL), static_cast<ssize_t>(big.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string stream;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) stream.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  const std::string whole = Bytes(kBigSize, 3);
  std::size_t at = 0;
  for (int answer = 0; answer < 2; ++answer) {
    SCOPED_TRACE(answer);
    const std::size_t headEnd = stream.find("\r\n\r\n", at);
    ASSERT_NE(headEnd, std::string::npos) << stream.size();
    EXPECT_EQ(stream.compare(at, 15, "HTTP/1.1 200 OK"), 0);
    ASSERT_GE(stream.size(), headEnd + 4 + kBigSize) << "answer cut short";
    EXPECT_TRUE(stream.compare(headEnd + 4, kBigSize, whole) == 0);
    at = headEnd + 4 + kBigSize;
  }
  EXPECT_EQ(at, stream.size()) << "the third request gets no answer";
}

// Every request is logged once, whoever answered it, and no line is lost when the server stops.
TEST(AccountServiceFront, EveryRequestIsLoggedByTheStop) {
  const std::string folder = MakeContent();
  TCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.Load(folder, error)) << error;
  int log[2];
  ASSERT_EQ(::pipe(log), 0);
  {
    std::unique_ptr<httplib::Server> server = cvservice::MakeFrontServer();
    ASSERT_TRUE(cvservice::LogRequests(*server, log[1]));
    TServiceRunner runner(catalogue, std::move(server));
    httplib::Client client("127.0.0.1", runner.Port());
    client.set_keep_alive(true);
    client.set_bearer_token_auth(SignIn(client, {{"email", kEmail}, {"password", kPassword}}).body.value("session", ""));
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(client.Get("/files/addons/Guide.txt"));
    ASSERT_TRUE(client.Get("/files/a%0AGET%20/forged%20200"));
  }
  ::close(log[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(log[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(log[0]);
  std::map<std::string, int> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) ++lines[line];
  EXPECT_EQ(lines["POST /api/v1/signin 200"], 1) << text;
  EXPECT_EQ(lines["GET /files/addons/Guide.txt 200"], 50) << text;
  EXPECT_EQ(lines["GET /files/a?GET /forged 200 404"], 1) << text;
  EXPECT_EQ(lines.size(), 3u) << text;
}

// Downloads to more clients than a small server has threads, none of them reading, must not
// keep a sign-in waiting: held up, they would be dropped by the server before they are released.
TEST_F(AccountServiceTest, SignInWhileManyDownloadsAreUnderWay) {
  constexpr std::size_t kSize = 32 << 20;
  constexpr int kDownloads = 12;
  const std::string path = folder_ + "/files/data/large.bin";
  WriteFile(path, "");
  std::filesystem::resize_file(path, kSize);

  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  bool released = false;
  std::vector<std::size_t> received(kDownloads, 0);
  std::vector<int> statuses(kDownloads, 0);
  std::vector<std::thread> clients;
  const std::string session = Session();
  for (int i = 0; i < kDownloads; ++i) {
    clients.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", runner_->Port());
      client.set_bearer_token_auth(session);
      auto res = client.Get("/files/data/large.bin", [&](const char*, size_t n) {
        std::unique_lock lock(mutex);
        if (received[i] == 0) {
          ++started;
          changed.notify_all();
          changed.wait(lock, [&] { return released; });
        }
        received[i] += n;
        return true;
      });
      if (res) statuses[i] = res->status;
    });
  }
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return started == kDownloads; });
  }
  EXPECT_FALSE(Session().empty());
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  for (auto& client : clients) client.join();
  for (int i = 0; i < kDownloads; ++i) {
    EXPECT_EQ(statuses[i], 200) << i;
    EXPECT_EQ(received[i], kSize) << i;
  }
}

// A content folder whose accounts cannot be read stops the start with a text naming the file.
TEST(AccountServiceLoad, BrokenAccountsAreRefused) {
  const std::string salt(32, 'a');
  const std::string hash(64, 'b');
  struct TCase {
    const char* what;
    std::string accounts;  // empty: no file
  };
  const TCase cases[] = {
      {"missing", ""},
      {"not json", "{\"accounts\": ["},
      {"no list", "{}"},
      {"wrong type", R"({"accounts":[{"email":5,"salt":")" + salt + R"(","hash":")" + hash + R"("}]})"},
      {"hash not hex", R"({"accounts":[{"email":"a@b.c","salt":")" + salt + R"(","hash":"xyz"}]})"},
      {"short hash", R"({"accounts":[{"email":"a@b.c","salt":")" + salt + R"(","hash":"abcd"}]})"},
      {"no salt", R"({"accounts":[{"email":"a@b.c","salt":"","hash":")" + hash + R"("}]})"},
      {"rounds out of range", R"({"accounts":[{"email":"a@b.c","salt":")" + salt + R"(","hash":")" + hash +
                                  R"(","rounds":4294967297}]})"},
      {"twice in other case", R"({"accounts":[{"email":"a@b.c","salt":")" + salt + R"(","hash":")" + hash +
                                  R"("},{"email":"A@B.C","salt":")" + salt + R"(","hash":")" + hash + R"("}]})"},
  };
  for (const auto& c : cases) {
    const std::string folder = MakeContent();
    if (c.accounts.empty()) std::filesystem::remove(folder + "/accounts.json");
    else WriteFile(folder + "/accounts.json", c.accounts);
    TCatalogue catalogue;
    std::string error;
    EXPECT_FALSE(catalogue.Load(folder, error)) << c.what;
    EXPECT_NE(error.find("accounts.json"), std::string::npos) << c.what << ": " << error;
  }

  // The program says so and ends before it listens.
  const std::string folder = MakeContent();
  WriteFile(folder + "/accounts.json", "{");
  QProcess service;
  service.start(BinDir() + QStringLiteral("/deployer-service"), {QStringLiteral("--accounts"), QString::fromStdString(folder)});
  ASSERT_TRUE(service.waitForFinished(30000));
  EXPECT_EQ(service.exitCode(), 1);
  EXPECT_TRUE(service.readAllStandardOutput().isEmpty());
  EXPECT_TRUE(service.readAllStandardError().contains("accounts.json"));
}

// The update service on its own (no accounts) has the same limits: a body without a length is
// refused before it is read.
TEST(AccountServiceLoad, TheUpdateServiceAloneRefusesABodyWithoutALength) {
  QProcess service;
  service.start(BinDir() + QStringLiteral("/deployer-service"),
                {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--content"),
                 QString::fromStdString(MakeContent())});
  ASSERT_TRUE(service.waitForReadyRead(30000));
  const QUrl url(QString::fromUtf8(service.readLine()).trimmed());
  ASSERT_GT(url.port(), 0);
  const TAnswer a = RawExchange(url.port(), "POST /pus/pus.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
  EXPECT_EQ(a.status, 411);
  service.terminate();
  EXPECT_TRUE(service.waitForFinished(30000));
}

}  // namespace


namespace {

// A free port of 127.0.0.1 for a server that binds by itself.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

}  // namespace

// nginx in front, as docs/account-service.md shows it: the service authorises each file and
// hands the sending over; nginx streams the file (ranges included) from an internal location.
TEST_F(AccountServiceTest, FilesThroughNginxInFront) {
  const QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/bin"});
  if (nginx.isEmpty()) GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
  catalogue_.SetAccelRedirect("/protected-files/");
  const std::string prefix = MakeTempFolder(QStringLiteral("nginx")).toStdString();
  const int port = FreePort();
  ASSERT_GT(port, 0);
  const std::string service = "http://127.0.0.1:" + std::to_string(runner_->Port());
  // One process in the foreground, everything in the test's own folder.
  WriteFile(prefix + "/nginx.conf",
            "daemon off;\nmaster_process off;\npid " + prefix + "/nginx.pid;\nerror_log " + prefix +
                "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
                "  client_body_temp_path " + prefix + "/body;\n  proxy_temp_path " + prefix + "/proxy;\n"
                "  fastcgi_temp_path " + prefix + "/fastcgi;\n  uwsgi_temp_path " + prefix + "/uwsgi;\n"
                "  scgi_temp_path " + prefix + "/scgi;\n  default_type application/octet-stream;\n"
                "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n"
                "    location / { proxy_pass " + service + "; }\n"
                "    location /protected-files/ { internal; alias " + folder_ + "/files/; }\n  }\n}\n");
  QProcess process;
  process.start(nginx, {"-p", QString::fromStdString(prefix), "-c", QString::fromStdString(prefix + "/nginx.conf")});
  ASSERT_TRUE(process.waitForStarted());
  struct TStop {
    QProcess& p;
    ~TStop() {
      p.terminate();
      if (!p.waitForFinished(5000)) p.kill();
      p.waitForFinished();
    }
  } stop{process};
  httplib::Client client("127.0.0.1", port);
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) {
    if (client.Get("/none")) up = true;
    else std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(up) << ReadFile(prefix + "/error.log");

  const std::string session = SignIn(client, {{"email", kEmail}, {"password", kPassword}}).body.value("session", "");
  ASSERT_FALSE(session.empty());
  const httplib::Headers auth = {{"Authorization", "Bearer " + session}};
  auto res = client.Get("/files/charts/NL/NL_1.qmr2", auth);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "QMR2 chart");
  res = client.Get("/files/data/with%20space.txt", auth);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "spaced");
  res = client.Get("/files/data/big.bin", {{"Authorization", "Bearer " + session}, {"Range", "bytes=1000-1999"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 206);
  EXPECT_TRUE(res->body == Bytes(kBigSize, 3).substr(1000, 1000));

  // A foreign file, no session, and the internal location asked for directly.
  res = client.Get("/files/charts/BE/BE_1.qmr2", auth);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(json::parse(res->body, nullptr, false).value("error", 0), 9);
  res = client.Get("/files/charts/NL/NL_1.qmr2");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  res = client.Get("/protected-files/charts/NL/NL_1.qmr2", auth);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
}

}  // namespace cvtest
