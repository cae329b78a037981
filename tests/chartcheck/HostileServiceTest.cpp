// The engine against a service that misbehaves: answers outside the protocol, redirects,
// silence, dead tokens, lists it was not asked for, and objects deleted with events waiting.
#include "EngineFixture.h"

#include "CvLibChartCheckTesting.h"

#include <QFile>

#include <functional>
#include <mutex>

#include <sys/stat.h>

using namespace cvtest;
using nlohmann::json;

namespace {

// A bare server whose every route answers as the test says.
class RawServer {
 public:
  std::function<void(const httplib::Request&, httplib::Response&)> answer;
  std::atomic<int> requests{0};

  RawServer() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      ++requests;
      if (answer) answer(req, res);
    };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    server_.set_keep_alive_max_count(1);  // stopping then waits for no idle connection
    port = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ~RawServer() {
    server_.stop();
    thread_.join();
  }
  QString URL() const { return QStringLiteral("http://127.0.0.1:%1/").arg(port); }

  int port = 0;

 private:
  httplib::Server server_;
  std::thread thread_;
};

void Catalogue(FakeService& s) {
  s.products = json::array({{{"number", 100}, {"kind", 0}, {"moduleMask", 1}, {"displayName", "Navigator"}},
                            {{"number", 1001}, {"kind", 1}, {"moduleMask", 1}, {"displayName", "North Sea"}}});
  s.items = json::array({
      {{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"status", 0},
       {"files", json::array({s.AddFile("setup.bin", "setup")})}},
      {{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"moduleCode", "A"}, {"status", 0},
       {"files", json::array({s.AddFile("a.qmr2", "chart")})}},
  });
}

}  // namespace

TEST_F(EngineTest, SignInAnswersOutsideTheProtocolAreErrorsAndLeakNothing) {
  RawServer raw, elsewhere;
  check->SetServiceURL(raw.URL());
  const std::string elsewhereURL = elsewhere.URL().toStdString();
  struct Case {
    const char* what;
    std::function<void(httplib::Response&)> answer;
    int error;  // -1: any error
  } cases[] = {
      {"html page", [](httplib::Response& r) { r.set_content("<html>maintenance</html>", "text/html"); },
       cvlib::ceChkBadAnswer},
      {"error body with 200", [](httplib::Response& r) { r.set_content(R"({"error": 5})", "application/json"); },
       cvlib::ceChkBadAnswer},
      {"session that adds a header",
       [](httplib::Response& r) { r.set_content(R"({"session": "s\r\nX-Evil: 1"})", "application/json"); },
       cvlib::ceChkBadAnswer},
      {"token with a line break",
       [](httplib::Response& r) { r.set_content(R"({"session": "s", "token": "t\nx"})", "application/json"); },
       cvlib::ceChkBadAnswer},
      {"redirect to another host",
       [&](httplib::Response& r) {
         r.status = 307;
         r.set_header("Location", elsewhereURL + "api/v1/signin");
       },
       -1},
      {"huge answer",
       [](httplib::Response& r) { r.set_content(std::string(40 * 1024 * 1024, ' ') + "{}", "application/json"); },
       -1},
      {"answer dripping in",
       [](httplib::Response& r) {
         r.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink& sink) {
           std::this_thread::sleep_for(std::chrono::milliseconds(100));
           return sink.write(" ", 1);
         });
       },
       cvlib::ceChkNetwork},
      {"silence", [](httplib::Response&) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); },
       cvlib::ceChkNetwork},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    raw.answer = [&c](const httplib::Request&, httplib::Response& res) { c.answer(res); };
    cvlib::testing::SetRequestTimeout(std::string(c.what) == "silence" || std::string(c.what) == "answer dripping in" ? 300 : 60000);
    const int error = SignInAndList(QStringLiteral("anna@example.com;secret"), true);
    if (c.error < 0) EXPECT_NE(error, 0);
    else EXPECT_EQ(error, c.error);
    EXPECT_EQ(elsewhere.requests, 0) << "the password went to another host";
    EXPECT_TRUE(GetAppReg().ReadString(rrSettings, QStringLiteral("Account"), QStringLiteral("Token")).isEmpty());
    // Not signed in after any of them.
    EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkNotSignedIn);
  }
  cvlib::testing::SetRequestTimeout(60000);
}

TEST_F(EngineTest, ARefusedRememberedTokenIsForgottenWithItsAddress) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(QStringLiteral("anna@example.com;secret"), true), 0);
  service.SetToken("renewed-elsewhere");
  EXPECT_EQ(SignInAndList(QString(), true), 4);
  // Nothing is shown as remembered that could not sign in.
  QString email;
  EXPECT_FALSE(check->RememberedEmail(email));
  EXPECT_EQ(SignInAndList(QString(), true), cvlib::ceChkNoRemembered);
  // A wrong password, or another address, says nothing about the token.
  ASSERT_EQ(SignInAndList(QStringLiteral("anna@example.com;secret"), true), 0);
  EXPECT_EQ(SignInAndList(QStringLiteral("anna@example.com;wrong"), true), 4);
  check->SignInEmail(QStringLiteral("other@example.com"), true);
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkNoRemembered);
  EXPECT_EQ(SignInAndList(QString(), true), 0);
}

TEST_F(EngineTest, TheRememberedSignInIsAnAddressWithItsTokenOrNothing) {
  Catalogue(service);
  auto stored = [](const char* value) {
    return GetAppReg().ReadString(rrSettings, QStringLiteral("Account"), QString::fromLatin1(value));
  };
  QString email;
  // An address without a token (an older version's) is not reported, and SignInPassword has none.
  GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Email"), QStringLiteral("anna@example.com"));
  EXPECT_FALSE(check->RememberedEmail(email));
  EXPECT_EQ(check->SignInPassword(QStringLiteral("secret"), true), cvlib::ceChkNoRemembered);

  ASSERT_EQ(SignInAndList(QStringLiteral("anna@example.com;secret"), true), 0);
  const QString token = stored("Token");
  // The stored address in another letter case is still the stored one: its token signs in.
  check->SignInEmail(QStringLiteral("Anna@Example.com"), true);
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), 0);
  EXPECT_FALSE(service.lastSignIn.contains("password"));
  // Another address has no token: nothing is sent, the stored pair stays.
  const int signIns = service.signIns;
  check->SignInEmail(QStringLiteral("other@example.com"), true);
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkNoRemembered);
  EXPECT_EQ(service.signIns, signIns);
  EXPECT_TRUE(check->RememberedEmail(email));

  // A one-off sign-in with a password leaves the stored sign-in alone; it still works after.
  const QString storedToken = stored("Token");
  check->SignInOnce(QStringLiteral("anna@example.com;secret"));
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), 0);
  EXPECT_EQ(stored("Email"), "anna@example.com");
  EXPECT_EQ(stored("Token"), storedToken);
  EXPECT_EQ(SignInAndList(QString(), true), 0);
  EXPECT_EQ(check->SignInOnce(QString()), cvlib::ceChkBadArgument);
}

TEST_F(EngineTest, TheSettingsThatHoldTheTokenAreTheUsersAlone) {
  Catalogue(service);
  const QByteArray path = QFile::encodeName(TAppReg::RootFileName(rrSettings));
  auto mode = [&](const QByteArray& file) {
    struct stat st {};
    return ::stat(file.constData(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  ASSERT_EQ(SignInAndList(QStringLiteral("anna@example.com;secret"), true), 0);
  EXPECT_EQ(mode(path), 0600u);
  // One an older version left readable by all is mended when it is next opened.
  GetAppReg().CloseConnections();
  ASSERT_EQ(::chmod(path.constData(), 0644), 0);
  ::chmod((path + "-wal").constData(), 0644);
  ASSERT_EQ(SignInAndList(QString(), true), 0);
  EXPECT_EQ(mode(path), 0600u);
  if (QFile::exists(QString::fromLocal8Bit(path + "-wal"))) {
    EXPECT_EQ(mode(path + "-wal"), 0600u);
  }
}

TEST_F(EngineTest, InconsistentListsAreRefusedWhole) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  const json nav = service.items[0];
  const json chart = service.items[1];
  json unasked = chart;
  unasked["product"] = 4242;
  json noModuleCode = chart;
  noModuleCode.erase("moduleCode");
  json noProductCode = chart;
  noProductCode["productCode"] = "";
  struct Case {
    const char* what;
    json items;
  } cases[] = {
      {"same item twice", json::array({nav, nav})},
      {"item of a product not asked for", json::array({nav, unasked})},
      {"chart set without module code", json::array({nav, noModuleCode})},
      {"chart set without product code", json::array({nav, noProductCode})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(FileList({{100, 1}, {1001, 1}}), 0);
    ASSERT_EQ(check->ItemCount(), 2);
    service.rawFileList = json{{"items", c.items}}.dump();
    EXPECT_EQ(FileList({{100, 1}, {1001, 1}}), cvlib::ceChkBadAnswer);
    EXPECT_EQ(check->ItemCount(), 0);  // a failed list leaves no items
    service.rawFileList.clear();
  }

  // The session ends between the lists (the account signed in elsewhere): the service's 5.
  auto other = NewCheck();
  other->SignIn(QStringLiteral("anna@example.com;secret"), false);
  other->RequestProducts();
  ASSERT_TRUE(recorder.WaitDone(recorder.DoneCount() + 1));
  ASSERT_EQ(other->LastError(), 0);
  EXPECT_EQ(FileList({{100, 1}}), 5);
  EXPECT_EQ(check->ItemCount(), 0);
  other.reset();
  ASSERT_EQ(SignInAndList(), 0);

  // A product list with one record twice keeps the list before it.
  ASSERT_EQ(check->ProductCount(), 2);
  service.products.push_back(service.products[0]);
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkBadAnswer);
  EXPECT_EQ(check->ProductCount(), 2);
}

TEST_F(EngineTest, EventsOfADeletedObjectNeverReachItsSuccessor) {
  // The wizard frees the object with its failed start's event still queued, then starts anew.
  EXPECT_EQ(check->RequestProducts(), cvlib::ceChkNotSignedIn);
  check = NewCheck();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_TRUE(recorder.events.empty());
  // The successor's own events still come.
  EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkNotSignedIn);
}

TEST_F(EngineTest, AnObjectThatOutlivesItsEnvironmentPostsNothing) {
  struct Closer {
    std::unique_ptr<TNavEnv>* env;
    static void Callback(void* data, const TNavEvent&) { static_cast<Closer*>(data)->env->reset(); }
  } closer{&env};
  env->EventSource().Subscribe(&Closer::Callback, &closer);
  EXPECT_EQ(check->RequestProducts(), cvlib::ceChkNotSignedIn);
  for (int i = 0; i < 20 && env; ++i) QCoreApplication::processEvents();
  ASSERT_EQ(env, nullptr);
  // Starts that fail at once would post; deleting would withdraw: neither may touch the source.
  EXPECT_EQ(check->RequestProducts(), cvlib::ceChkNotSignedIn);
  check.reset();
}

TEST_F(EngineTest, AnAnswerWithoutTokenLeavesNoOlderSignInStored) {
  RawServer raw;
  raw.answer = [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.path == "/api/v1/signin" ? R"({"session": "s1"})" : R"({"products": []})",
                    "application/json");
  };
  check->SetServiceURL(raw.URL());
  GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Email"), QStringLiteral("a@x"));
  GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Token"), QStringLiteral("ta"));
  ASSERT_EQ(SignInAndList(QStringLiteral("b@x;pw"), true), 0);
  QString email;
  EXPECT_FALSE(check->RememberedEmail(email));
  EXPECT_FALSE(GetAppReg().ValueExists(rrSettings, QStringLiteral("Account"), QStringLiteral("Email")));
  EXPECT_FALSE(GetAppReg().ValueExists(rrSettings, QStringLiteral("Account"), QStringLiteral("Token")));
}

TEST_F(EngineTest, WrongTypesAbsurdNumbersAndForeignURLsAreMalformed) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  struct Case {
    const char* field;
    json value;
  } productCases[] = {
      {"number", "100"}, {"number", 1e300}, {"number", 1.5}, {"moduleMask", -1e12},
      {"size", -1},      {"size", 1e20},    {"checked", 1},  {"displayName", 7},
      {"latestVersion", "1.2.3.4.5"},     {"latestVersion", "1.256"},
  };
  const json products = service.products;
  for (const Case& c : productCases) {
    SCOPED_TRACE(std::string(c.field) + " = " + c.value.dump());
    service.products = products;
    service.products[1][c.field] = c.value;
    EXPECT_EQ(Run([&] { return check->RequestProducts(); }), cvlib::ceChkBadAnswer);
    EXPECT_EQ(check->ProductCount(), 2);  // the list before stays
  }
  service.products = products;

  const char* urls[] = {"file:///etc/passwd", "ftp://127.0.0.1/x", "data:,abc", "http://"};
  for (const char* url : urls) {
    SCOPED_TRACE(url);
    json item = service.items[0];
    item["files"][0]["url"] = url;
    service.rawFileList = json{{"items", json::array({item})}}.dump();
    EXPECT_EQ(FileList({{100, 1}}), cvlib::ceChkBadAnswer);
  }
  // Absolute web addresses elsewhere (a content network) are fine.
  json item = service.items[0];
  item["files"][0]["url"] = "https://cdn.example.com/setup.bin";
  service.rawFileList = json{{"items", json::array({item})}}.dump();
  EXPECT_EQ(FileList({{100, 1}}), 0);
}

TEST_F(EngineTest, TheSessionStaysWithTheServiceFilesComeWithoutIt) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  RawServer cdn, hop;
  std::mutex mutex;
  std::vector<std::string> authorizations;  // what reached the other hosts
  auto record = [&](const httplib::Request& req) {
    std::lock_guard lock(mutex);
    authorizations.push_back(req.get_header_value("Authorization"));
  };
  cdn.answer = [&](const httplib::Request& req, httplib::Response& res) {
    record(req);
    res.set_content("setup", "application/octet-stream");
  };
  const std::string cdnFile = cdn.URL().toStdString() + "setup.bin";
  hop.answer = [&](const httplib::Request& req, httplib::Response& res) {
    record(req);
    res.status = 302;
    res.set_header("Location", cdnFile);
  };
  const QString folder = MakeTempFolder(QStringLiteral("origin"));
  for (const std::string& url : {cdnFile, hop.URL().toStdString() + "moved/setup.bin"}) {
    SCOPED_TRACE(url);
    json item = service.items[0];
    item["files"][0]["url"] = url;
    service.rawFileList = json{{"items", json::array({item})}}.dump();
    ASSERT_EQ(FileList({{100, 1}}), 0);
    QFile::remove(folder + "/setup.bin");
    EXPECT_EQ(Run([&] { return check->StartDownload(check->Item(0), 0, folder); }), 0);
    EXPECT_TRUE(QFile::exists(folder + "/setup.bin"));
  }
  ASSERT_FALSE(authorizations.empty());
  for (const std::string& a : authorizations) EXPECT_EQ(a, "") << "the session went to another host";

  // Under an https service a plain http file is refused before anything is fetched.
  const size_t before = authorizations.size();
  check->SetServiceURL(QStringLiteral("https://127.0.0.1:%1/").arg(service.port));
  EXPECT_EQ(Run([&] { return check->StartDownload(check->Item(0), 0, folder); }), cvlib::ceChkBadAnswer);
  EXPECT_EQ(authorizations.size(), before);
}

TEST_F(EngineTest, FilesThatLandOnOnePathRefuseTheLaterItem) {
  service.products = json::array({{{"number", 100}, {"kind", 0}, {"moduleMask", 1}, {"displayName", "Navigator"}},
                                  {{"number", 200}, {"kind", 0}, {"moduleMask", 1}, {"displayName", "Planner"}},
                                  {{"number", 1001}, {"kind", 1}, {"moduleMask", 1}, {"displayName", "North Sea"}},
                                  {{"number", 1001}, {"kind", 1}, {"moduleMask", 2}, {"displayName", "North Sea"}}});
  const json setup = service.AddFile("setup.bin", "setup");
  const json chart = service.AddFile("a.qmr2", "chart");
  const json readmeA = service.AddFile("readme.txt", "r", 1700000000, "a", true);
  const json readmeB = service.AddFile("readme.txt", "r", 1700000000, "b", true);
  auto program = [](int number, json files) {
    return json{{"product", number}, {"mask", 1}, {"productCode", "P" + std::to_string(number)}, {"files", files}};
  };
  auto chartSet = [](int mask, const std::string& module, json files) {
    return json{{"product", 1001}, {"mask", mask}, {"productCode", "NS"}, {"moduleCode", module}, {"files", files}};
  };
  ASSERT_EQ(SignInAndList(), 0);
  struct Case {
    const char* what;
    json items;
    std::vector<int> status;  // of each item after the list
  } cases[] = {
      {"two programs with one setup name", json::array({program(100, {setup}), program(200, {setup})}), {0, 3}},
      {"one add-on name in two folders", json::array({program(100, {setup, readmeA, readmeB})}), {3}},
      {"one name twice in an item", json::array({chartSet(1, "A", {chart, chart})}), {3}},
      {"module codes differing in case", json::array({chartSet(1, "A", {chart}), chartSet(2, "a", {chart})}), {0, 3}},
      {"no clash", json::array({program(100, {setup, readmeA}), chartSet(1, "A", {chart}), chartSet(2, "B", {chart})}),
       {0, 0, 0}},
  };
  const QString folder = MakeTempFolder(QStringLiteral("clash"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    service.rawFileList = json{{"items", c.items}}.dump();
    ASSERT_EQ(FileList({{100, 1}, {200, 1}, {1001, 1}, {1001, 2}}), 0);
    ASSERT_EQ(check->ItemCount(), static_cast<int>(c.status.size()));
    for (size_t i = 0; i < c.status.size(); ++i) EXPECT_EQ(check->Item(static_cast<int>(i))->Status(), c.status[i]);
    for (size_t i = 0; i < c.status.size(); ++i) {
      if (c.status[i] == cvlib::itemNameClash) {
        EXPECT_EQ(Run([&] { return check->StartDownload(check->Item(static_cast<int>(i)), 0, folder); }),
                  cvlib::ceChkNameClash);
      }
    }
  }
}

// The file list is read from the answer's text as it streams past: it must take exactly what a
// JSON reader takes, and a list that is not JSON is malformed whatever its first items say.
TEST_F(EngineTest, AFileListIsReadAsJsonReadsItAndRefusedWhenItIsNoJson) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  const std::string sha = service.items[0]["files"][0]["sha256"];
  const std::string file = R"({"name":"setup.bin","size":5,"time":1700000000,"sha256":")" + sha + R"(","url":"files/setup.bin"})";
  const std::string good = R"({"items":[{"product":100,"mask":1,"productCode":"NAV","files":[)" + file + "]}]}";
  ASSERT_EQ((service.rawFileList = good, FileList({{100, 1}})), 0);

  // Every text cut short, and texts that only look like JSON.
  std::vector<std::string> malformed;
  for (size_t n = 1; n < good.size(); ++n) malformed.push_back(good.substr(0, n));
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"]}]}", "],}]}"},             {"]}]}", "]},]}"},              {"\"mask\":1", "\"mask\" 1"},
           {"\"mask\":1", "\"mask\":01"}, {"\"mask\":1", "\"mask\":1."},  {"\"mask\":1", "\"mask\":+1"},
           {"\"mask\":1", "\"mask\":1e999"}, {"\"mask\":1", "'mask':1"}, {"\"mask\":1", "\"mask\":NaN"},
           {"\"mask\":1", "\"mask\":tru"}, {"\"NAV\"", "\"N\tAV\""},      {"\"NAV\"", "\"N\\xAV\""},
           {"\"NAV\"", "\"N\\u12\""},     {"\"NAV\"", "\"N\xC0\xAF\""},  {"\"NAV\"", "\"N\xED\xA0\x80\""},
           {"\"NAV\"", "\"N\xE2\x82\""},  {"\"NAV\"", "\"NAV"},          {"{\"items\"", "[{\"items\""},
           {"\"productCode\"", "\"x\":" + std::string(2000, '[') + std::string(2000, ']') + ",\"productCode\""}}) {
    malformed.push_back(replaced(from, to));
  }
  malformed.push_back(good + "x");
  malformed.push_back(good + good);
  malformed.push_back("[" + good + "]");
  malformed.push_back(R"({"items":{}})");
  malformed.push_back(R"({"items":[1]})");
  malformed.push_back(R"({"items":[{"product":100,"mask":1,"files":[1]}]})");
  malformed.push_back(R"({"items":[{"product":100,"mask":1,"files":{}}]})");
  malformed.push_back(R"({"other":[]})");
  for (const std::string& text : malformed) {
    SCOPED_TRACE(text);
    service.rawFileList = text;
    EXPECT_EQ(FileList({{100, 1}}), cvlib::ceChkBadAnswer);
    EXPECT_EQ(check->ItemCount(), 0);
  }

  // What JSON allows: any order and spacing, fields the engine does not know, escapes, UTF-8,
  // numbers written as doubles.
  service.rawFileList = " \r\n{\"extra\": {\"a\": [1, -2.5e3, null, true, {\"b\": \"\\\"\"}]},\n \"items\" : [ {\n"
                        "  \"files\" : [ {\"url\": \"files\\/setup.bin\", \"sha256\": \"" + sha + "\",\n"
                        "    \"time\": 1.7e9, \"size\": 5.0, \"name\": \"s\\u00e9tup\\ud83d\\ude00\\u0041.bin\","
                        "    \"addon\": false, \"folder\": null, \"new\": [[], {}]} ],\n"
                        "  \"moduleName\": \"K\xC3\xA4rt \xE2\x82\xAC\", \"product\": 100, \"mask\": 1, \"productCode\": \"NAV\"\n"
                        "} ] }\t";
  ASSERT_EQ(FileList({{100, 1}}), 0);
  ASSERT_EQ(check->ItemCount(), 1);
  const cvlib::InstallItem* item = check->Item(0);
  EXPECT_EQ(item->FileName(0), QString::fromUtf8("s\xC3\xA9tup\xF0\x9F\x98\x80" "A.bin"));
  EXPECT_EQ(item->ModuleName(), QString::fromUtf8("K\xC3\xA4rt \xE2\x82\xAC"));
  EXPECT_EQ(item->FileTime(0), 1700000000);
  EXPECT_EQ(item->FileSize(0), 5);
  EXPECT_TRUE(item->FileFolder(0).isEmpty());

  // Half a surrogate pair is JSON, but no name: the name checks refuse it.
  service.rawFileList = good.substr(0, good.find("setup.bin")) + "x\\ud800.bin" + good.substr(good.find("setup.bin") + 9);
  EXPECT_EQ(FileList({{100, 1}}), cvlib::ceChkUnsafeName);
}

// A list is believed only under the vendor's signature: one item unsigned, signed by another
// key, or changed after signing (a file's hash, size or name, the setup's version, the
// install folder) refuses the whole list; what a signature leaves out (times, URLs, display
// names) may differ.
TEST_F(EngineTest, AFileListIsRefusedUnlessEveryItemIsSignedByTheVendor) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  const std::string otherSha(64, 'a');
  struct Case {
    const char* what;
    std::function<void(json&)> change;  // applied to the first item
    int error;
  } cases[] = {
      {"signed", [](json&) {}, 0},
      {"no signature", [](json& i) { i["signature"] = ""; }, cvlib::ceChkUnsigned},
      {"signature no base64", [](json& i) { i["signature"] = "not base64!"; }, cvlib::ceChkUnsigned},
      {"another vendor's key", [](json& i) { SignItemJson(i, TSigningKey::Foreign); }, cvlib::ceChkUnsigned},
      {"hash changed", [&](json& i) { SignItemJson(i); i["files"][0]["sha256"] = otherSha; }, cvlib::ceChkUnsigned},
      {"size changed", [](json& i) { SignItemJson(i); i["files"][0]["size"] = 6; }, cvlib::ceChkUnsigned},
      {"name changed", [](json& i) { SignItemJson(i); i["files"][0]["name"] = "setup2.bin"; }, cvlib::ceChkUnsigned},
      {"version changed", [](json& i) { i["version"] = "1.0.0.0"; SignItemJson(i); i["version"] = "9.0.0.0"; },
       cvlib::ceChkUnsigned},
      {"install folder changed", [](json& i) { SignItemJson(i); i["installFolder"] = "Other"; }, cvlib::ceChkUnsigned},
      {"a file added", [&](json& i) { SignItemJson(i); i["files"].push_back(service.AddFile("x.bin", "x")); },
       cvlib::ceChkUnsigned},
      {"time, url and names not covered",
       [](json& i) { SignItemJson(i); i["files"][0]["time"] = 1; i["productName"] = "Other"; }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    json items = service.items;
    c.change(items[0]);
    service.rawFileList = json{{"items", items}}.dump();
    EXPECT_EQ(FileList({{100, 1}, {1001, 1}}), c.error);
    EXPECT_EQ(check->ItemCount(), c.error ? 0 : 2);
  }
}

// The hash a download is checked against is the signed one: a service that signs one content
// and sends another gets the file refused, nothing lands.
TEST_F(EngineTest, ADownloadIsCheckedAgainstTheSignedHash) {
  Catalogue(service);
  ASSERT_EQ(SignInAndList(), 0);
  ASSERT_EQ(FileList({{100, 1}}), 0);
  service.AddFile("setup.bin", "SETUP");  // same size, other bytes
  const QString folder = MakeTempFolder(QStringLiteral("signedhash"));
  EXPECT_EQ(Run([&] { return check->StartDownload(check->Item(0), 0, folder); }), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(folder + "/setup.bin"));
}
