// Result codes to messages, in the current language, and the box ShowError asks for.
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "CvPUSClient.h"

#include <gtest/gtest.h>

namespace {

struct LanguageGuard {
  int saved = GetCurrentLanguage();
  ~LanguageGuard() { SetCurrentLanguage(saved); }
};

}  // namespace

TEST(PusMessages, EnglishTexts) {
  LanguageGuard guard;
  SetCurrentLanguage(1);
  EXPECT_EQ(PUSErrorText(404),
            "The Program Update Server could not process the request:\r\n\r\n404: Not Found\r\n\r\n"
            "Please try again later or contact Corvane Software if the problem persists.");
  struct Case {
    int result;
    const char* contains;
  };
  for (const Case& c : {
           Case{450, "request:\r\n\r\nUnknown\r\n\r\n"},
           Case{505, "505: HTTP Version Not Supported"},
           Case{407, "Proxy authentication required, please contact your network administrator. "
                     "Errorcode: 407\r\n"},
           Case{503, "overloaded by other request. Errorcode: 503\r\n"},
           Case{-1, "internal error. Errorcode: -1\r\n"},
           Case{-1000, "internal error. Errorcode: -1000\r\n"},
           Case{-4, "internal error. Errorcode: -4\r\n"},
           Case{-101, "Could not connect to the Program Update Server. Errorcode: -101\r\n"},
           Case{-2000, "Could not connect to the Program Update Server. Errorcode: -2000\r\n"},
           Case{-2001, "A Windows Socket API Error occured: \r\n\r\n10061\r\n\r\n"},
           Case{-1002, "Could not write the file \"/dl/setup.bin\". \r\n"},
           // No message of their own: a generic one that names the number.
           Case{-1001, "Errorcode: -1001\r\n"},
           Case{42, "unknown error. Errorcode: 42\r\n"},
           Case{-5, "unknown error. Errorcode: -5\r\n"},
       }) {
    EXPECT_TRUE(PUSErrorText(c.result, 10061, "/dl/setup.bin").contains(c.contains))
        << c.result << ": " << qPrintable(PUSErrorText(c.result, 10061, "/dl/setup.bin"));
  }
  EXPECT_EQ(PUSErrorText(0), "");
}

TEST(PusMessages, LanguagesFallBackToEnglishWhereATableHasNoEntry) {
  LanguageGuard guard;
  SetCurrentLanguage(7);  // Danish
  EXPECT_TRUE(PUSErrorText(404).startsWith("The Program Update Server could not process"));
  EXPECT_TRUE(PUSErrorText(-2000).startsWith("Der kunne ikke oprettes forbindelse"));
  EXPECT_TRUE(PUSErrorText(-2000).contains("Fejlkode: -2000"));
  SetCurrentLanguage(3);  // German
  EXPECT_TRUE(PUSErrorText(404).contains("konnte die Anfrage nicht bearbeiten:\r\n\r\n404: Not Found"));
  SetCurrentLanguage(5);  // Spanish: only English entries
  EXPECT_TRUE(PUSErrorText(-2001, 10054).startsWith("A Windows Socket API Error occured"));
}

TEST(PusMessages, ShowErrorAsksForAWarningWithOK) {
  LanguageGuard guard;
  SetCurrentLanguage(1);
  QList<TMsgBoxRequest> boxes;
  const TMsgBoxPresenter old = SetMsgBoxPresenter([&boxes](const TMsgBoxRequest& r) {
    boxes << r;
    return int(mrOk);
  });
  TPUSClient client;
  client.SetURL("ftp://nowhere/pus/pus.php");
  client.OnCommandDone = [](TPUSClient* sender, TPUSCommand, int) {
    sender->ShowError("Corvane Software Installer");
  };
  client.RequestVersion(TGUID{});
  SetMsgBoxPresenter(old);
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0].caption, "Corvane Software Installer");
  EXPECT_EQ(boxes[0].kind, mtWarning);
  EXPECT_EQ(boxes[0].buttons, mbOKOnly);
  EXPECT_EQ(boxes[0].text, PUSErrorText(-100));
}
