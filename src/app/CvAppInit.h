#pragma once

// Application start-up: the application object with the exception handler, the language
// question of a first start, and the road from process entry to the wizard's message loop.

#include <QApplication>

#include <atomic>
#include <functional>
#include <thread>

class TFormWizardInstall;

// Reads the system's font configuration on a worker from the moment it is made. The first text
// of a window needs it, and reading it is the largest single part of the way to page 0; made
// before the application object, it overlaps with the loading of Qt's platform.
class TFontConfigLoad {
 public:
  TFontConfigLoad();
  // Returns once the configuration has been read.
  void WaitForFontConfig() const { done_.wait(false); }

 private:
  std::atomic<bool> done_{false};
  std::jthread thread_;  // after done_: started after it is made, joined before it goes
};

// The GUI application: an exception that reaches the event loop is logged and shown. The font
// configuration is read beside the construction of the application object.
class TCvApplication final : public TFontConfigLoad, public QApplication {
 public:
  TCvApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};

// The choose-language callback of InitApplication: the language chooser, modal, with the
// passed language preselected. True with the chosen language in `language` on OK.
bool ChooseLanguage(int& language);

// Everything after the application object exists: InitApplication (a cancelled language
// question ends the program silently), the title, the locale, the message boxes, the wizard
// as the main window and the message loop. shown, when given, is called once the wizard
// shows page 0, before the loop; it returns true to end the program there (a timing run).
int RunDeployer(const std::function<bool(TFormWizardInstall&)>& shown = {});
