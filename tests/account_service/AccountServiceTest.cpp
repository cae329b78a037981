#include "AccountCrypto.h"
#include "ServiceFixture.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
  WriteFile(folder + "/files/data/big.bin", Bytes(kBigSize, 3));
  WriteFile(folder + "/files/data/empty.bin", "");
  WriteFile(folder + "/secret.txt", "outside the files folder");
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
         {"files", {file("NL_1.qmr2", "", "charts/NL/NL_1.qmr2", false)}}},
        {{"number", 200}, {"kind", 2}, {"displayName", "Big"},
         {"files", {file("big.bin", "", "data/big.bin", false), file("empty.bin", "", "data/empty.bin", false)}}}}}};
  WriteFile(folder + "/catalogue.json", catalogue.dump());
  const std::string salt = cvservice::RandomHex(16);
  const json accounts = {
      {"accounts",
       {{{"email", kEmail}, {"salt", salt}, {"rounds", 1000},
         {"hash", cvservice::HashPassword(kPassword, salt, 1000)},
         {"products", {{{"product", 100}, {"mask", 1}}, {{"product", 1001}, {"mask", 1}},
                       {{"product", 1003}, {"mask", -1}}, {{"product", 200}, {"mask", -1}}}}}}}};
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
}

TEST_F(AccountServiceTest, RememberedSignIn) {
  const TAnswer first = SignIn(*client_, {{"email", kEmail}, {"password", kPassword}, {"remember", true}});
  ASSERT_EQ(first.status, 200);
  const std::string token = first.body.value("token", "");
  ASSERT_EQ(token.size(), 64u);
  // Only a hash of the token is kept on disk.
  const std::string stored = ReadFile(folder_ + "/tokens.json");
  EXPECT_EQ(stored.find(token), std::string::npos);
  EXPECT_NE(stored.find(cvservice::Sha256Hex(token)), std::string::npos);

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
  EXPECT_EQ(ReadFile(folder_ + "/tokens.json").find(cvservice::Sha256Hex(token)), std::string::npos);
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

TEST_F(AccountServiceTest, DownloadsWithByteRanges) {
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
  };
  for (const auto& c : cases) {
    res = client_->Get(url.c_str(), {{"Range", c.range}});
    ASSERT_TRUE(res) << c.range;
    EXPECT_EQ(res->status, c.status) << c.range;
    if (c.status == 206) {
      EXPECT_EQ(res->get_header_value("Content-Range"),
                "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" + std::to_string(kBigSize));
      EXPECT_EQ(res->body, whole.substr(c.first, c.last - c.first + 1)) << c.range;
    } else {
      EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */" + std::to_string(kBigSize));
      EXPECT_EQ(json::parse(res->body, nullptr, false).value("error", 0), 7);
    }
  }

  res = client_->Get("/files/data/empty.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_TRUE(res->body.empty());
}

TEST_F(AccountServiceTest, HostilePathsAreRefused) {
  std::filesystem::create_symlink(folder_ + "/secret.txt", folder_ + "/files/data/link.txt");
  for (const char* path : {"/files/../secret.txt", "/files/%2e%2e/secret.txt", "/files/data/../../secret.txt",
                           "/files//etc/passwd", "/files/data/link.txt", "/files/./data/big.bin"}) {
    auto res = client_->Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 400) << path;
    EXPECT_EQ(res->body.find("outside the files folder"), std::string::npos) << path;
  }
  auto res = client_->Get("/files/data/none.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  EXPECT_EQ(json::parse(res->body)["error"], 7);
}

TEST_F(AccountServiceTest, ConnectionDroppedOnceInTheMiddleOfAFile) {
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

}  // namespace
}  // namespace cvtest
