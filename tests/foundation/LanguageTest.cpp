#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"

#include <gtest/gtest.h>

namespace {

class LanguageTest : public ::testing::Test {
 protected:
  void TearDown() override { SetCurrentLanguage(lgEnglish); }
};

const TLangText kEnglishDutchOnly = {"Hello", "Hallo", "", "", "", "", "", ""};

TEST_F(LanguageTest, FallsBackToEnglishForAnEmptyEntry) {
  SetCurrentLanguage(lgDutch);
  EXPECT_EQ(LangText(kEnglishDutchOnly), "Hallo");
  SetCurrentLanguage(lgGerman);
  EXPECT_EQ(LangText(kEnglishDutchOnly), "Hello");

  SetCurrentLanguage(lgFrench);
  EXPECT_EQ(LangText(ctNewFolder), "New folder");  // no French entry
  EXPECT_EQ(LangText(ctBtnCancel), "Annuler");

  EXPECT_EQ(LangTextIn(ctBtnCancel, 0), "Cancel");
  EXPECT_EQ(LangTextIn(ctBtnCancel, 9), "Cancel");
  EXPECT_EQ(LangTextIn(ctBtnCancel, lgSwedish), "Avbryt");
}

TEST_F(LanguageTest, LanguageNumbersAndCodes) {
  struct Case {
    int windowsId;
    int language;
    const char* setup;
    const char* history;
  };
  const Case cases[] = {
      {0x0409, lgEnglish, "en", "EN"}, {0x0413, lgDutch, "nl", "NL"},   {0x0407, lgGerman, "de", "DE"},
      {0x040C, lgFrench, "fr", "FR"},  {0x0C0A, lgSpanish, "en", "SP"}, {0x0410, lgItalian, "en", "IT"},
      {0x0406, lgDanish, "en", "DK"},  {0x041D, lgSwedish, "en", "SW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windowsId);
    EXPECT_EQ(LanguageFromWindowsId(c.windowsId), c.language);
    EXPECT_EQ(SetupLanguageCode(c.language), c.setup);
    EXPECT_EQ(HistoryLanguageCode(c.language), c.history);
  }
  EXPECT_EQ(LanguageFromWindowsId(0x0411), lgNone);  // Japanese
  EXPECT_EQ(LanguageFromWindowsId(0x0413 | 0xFC00), lgDutch);
  EXPECT_EQ(HistoryLanguageCode(0), "");
}

TEST_F(LanguageTest, EveryCommonTextHasItsLanguages) {
  // Tables that carry all eight languages; the folder texts leave out the ones named.
  const TLangText* full[] = {&ctBtnYes,        &ctBtnNo,          &ctBtnOK,
                             &ctBtnCancel,     &ctBtnAbort,       &ctBtnRetry,
                             &ctBtnIgnore,     &ctBtnAll,         &ctBtnNoToAll,
                             &ctBtnYesToAll,   &ctBtnHelp,        &ctBtnClose,
                             &ctCaptionWarning, &ctCaptionError, &ctCaptionInformation,
                             &ctCaptionConfirm, &ctFolderNotFound};
  for (const TLangText* t : full)
    for (const char* entry : *t) EXPECT_TRUE(entry && *entry) << (*t)[0];
  for (const TLangText* t : {&ctSelectDestinationFolder, &ctSelectSourceFolder}) {
    EXPECT_STREQ((*t)[lgSpanish - 1], "");
    EXPECT_STRNE((*t)[lgFrench - 1], "");
  }
  for (const TLangText* t : {&ctNewFolder, &ctCannotCreateFolderHere, &ctCannotRenameFolder,
                             &ctFolderNameExists, &ctFolderNameInvalid}) {
    EXPECT_STREQ((*t)[lgFrench - 1], "");
    EXPECT_STREQ((*t)[lgSpanish - 1], "");
    EXPECT_STRNE((*t)[lgSwedish - 1], "");
  }
  EXPECT_TRUE(LangText(ctFolderNameInvalid)
                  .endsWith("\r\n\r\n\\    /   :   *   ?   \"   <   >   |"));
}

TEST_F(LanguageTest, MessageBoxCaptionFollowsKindAndLanguage) {
  TMsgBoxRequest seen;
  const TMsgBoxPresenter previous = SetMsgBoxPresenter([&](const TMsgBoxRequest& r) {
    seen = r;
    return int(mrYes);
  });
  SetCurrentLanguage(lgGerman);
  EXPECT_EQ(MsgBox("text", mtWarning, mbOKOnly), mrYes);
  EXPECT_EQ(seen.caption, "Warnung");
  MsgBoxCaption("Corvane Software Installer", "t", mtError, mbYesNo);
  EXPECT_EQ(seen.caption, "Corvane Software Installer");
  EXPECT_EQ(seen.buttons, 3u);
  MsgBoxCaption("", "t", mtCustom, mbOKOnly);
  EXPECT_EQ(seen.caption, "");
  SetMsgBoxPresenter(previous);

  EXPECT_EQ(MsgDefaultButton(mbYesNo), mbYes);
  EXPECT_EQ(MsgButtonResult(MsgCancelButton(mbYesNo)), mrNo);
  EXPECT_EQ(MsgButtonResult(MsgCancelButton(mbOKOnly)), mrOk);
  EXPECT_EQ(MsgDefaultButton(MsgButton(mbAbort) | MsgButton(mbRetry)), mbRetry);
}

}  // namespace
