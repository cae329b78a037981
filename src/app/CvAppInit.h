#pragma once

// Application start-up: the application object with the exception handler, the language
// question of a first start, and the road from process entry to the wizard's message loop.

#include <QApplication>

#include <functional>

class TFormWizardInstall;

// The GUI application: an exception that reaches the event loop is logged and shown.
class TCvApplication final : public QApplication {
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
