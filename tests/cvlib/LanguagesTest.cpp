#include "StoreFixture.h"

#include <QCoreApplication>
#include <QDir>

#include <vector>

namespace {

class LanguagesTest : public StoreFixture {
 protected:
  void TearDown() override {
    SetCurrentLanguage(1);
    StoreFixture::TearDown();
  }
};

TEST_F(LanguagesTest, AllEightLanguagesWithTheirOwnNames) {
  const TLanguageSet available = GetAvailableLanguages();
  const char* const names[] = {"English", "Nederlands", "Deutsch", "Fran\xC3\xA7" "ais",
                               "Espa\xC3\xB1ol", "Italiano", "Dansk", "Svenska"};
  for (int n = 1; n <= 8; ++n) {
    EXPECT_TRUE(InLanguages(n, available)) << n;
    EXPECT_EQ(LanguageToStrLocal(n), QString::fromUtf8(names[n - 1]));
  }
  for (int n : {-1, 0, 9, 31, 32, 100}) {
    EXPECT_FALSE(InLanguages(n, available)) << n;
    EXPECT_FALSE(InLanguages(n, ~TLanguageSet{0})) << n;
    EXPECT_EQ(LanguageToStrLocal(n), "") << n;
  }
  EXPECT_FALSE(InLanguages(3, available & ~(TLanguageSet{1} << 3)));
  EXPECT_TRUE(InLanguages(4, available & ~(TLanguageSet{1} << 3)));

  SetCurrentLanguage(5);
  SetCurrentLanguage(0);  // outside 1..8: ignored
  SetCurrentLanguage(9);
  EXPECT_EQ(GetCurrentLanguage(), 5);
}

TEST_F(LanguagesTest, RegWriteLanguageKeepsTheCurrentLanguageInTheProgramSettings) {
  EXPECT_EQ(RegReadLanguage(), 0);
  SetCurrentLanguage(7);
  ASSERT_EQ(RegWriteLanguage(), 0);
  EXPECT_EQ(GetAppReg().ReadInteger(rrSettings, "Settings", "Language", 0), 7);
  EXPECT_EQ(RegReadLanguage(), 7);

  // Something else in the value is no language of ours: as if none were kept.
  GetAppReg().WriteInteger(rrSettings, "Settings", "Language", 42);
  EXPECT_EQ(RegReadLanguage(), 0);
  GetAppReg().WriteString(rrSettings, "Settings", "Language", "3");
  EXPECT_EQ(RegReadLanguage(), 3);
}

TEST_F(LanguagesTest, InitApplicationAsksOnlyOnAFirstStart) {
  std::vector<int> offered;
  auto chooseGerman = [&](int& language) {
    offered.push_back(language);
    language = 3;
    return true;
  };
  ASSERT_TRUE(InitApplication("Deployer", chooseGerman));
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0], cvlib::SystemLocaleLanguage());  // preselected: the system's, or none
  EXPECT_EQ(GetCurrentLanguage(), 3);
  EXPECT_EQ(RegReadLanguage(), 3);
  EXPECT_EQ(QCoreApplication::applicationName(), "Deployer");

  // The next start takes the kept language and does not ask.
  SetCurrentLanguage(1);
  EXPECT_TRUE(InitApplication("Deployer", chooseGerman));
  EXPECT_EQ(offered.size(), 1u);
  EXPECT_EQ(GetCurrentLanguage(), 3);
}

TEST_F(LanguagesTest, InitApplicationIsFalseWhenTheChoiceIsCancelled) {
  struct Case {
    const char* what;
    bool answer;
    int chosen;
  };
  const Case cases[] = {{"cancelled", false, 4}, {"no language of ours", true, 9}, {"none", true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int calls = 0;
    EXPECT_FALSE(InitApplication("Deployer", [&](int& language) {
      ++calls;
      language = c.chosen;
      return c.answer;
    }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(GetCurrentLanguage(), 1);
    EXPECT_EQ(RegReadLanguage(), 0);  // nothing kept: the next start asks again
  }

  // Without a chooser a first start goes on in English and keeps nothing.
  EXPECT_TRUE(InitApplication("Deployer", nullptr));
  EXPECT_EQ(GetCurrentLanguage(), 1);
  EXPECT_EQ(RegReadLanguage(), 0);
}

TEST_F(LanguagesTest, InitApplicationGoesOnWhenTheStoreCannotBeUsed) {
  QDir().mkpath(TAppReg::RootFileName(rrSettings));  // a folder in the store's place
  int calls = 0;
  EXPECT_TRUE(InitApplication("Deployer", [&](int& language) {
    ++calls;
    language = 2;
    return true;
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(GetCurrentLanguage(), 2);
  EXPECT_NE(RegWriteLanguage(), 0);
}

}  // namespace
