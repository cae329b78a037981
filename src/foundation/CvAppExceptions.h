#pragma once

// The application's exception handler: an exception that reaches the event loop is written
// to the exception log and shown to the user through MsgBox; the program goes on instead
// of ending silently.

#include <QCoreApplication>
#include <QString>

#include <exception>

// What the handler reports of an exception: its class (demangled) and its message.
struct TExceptionInfo {
  QString className;
  QString message;
};

// Describes an exception; for one not derived from std::exception the message is empty.
TExceptionInfo DescribeException(const std::exception_ptr& exception);

// Logs and shows the exception being handled. Call it from a catch (...) block, as the
// notify override of the application class does. An exception raised while a box is shown
// for an earlier one is logged but not shown again.
void HandleEventLoopException();

// The core application with the handler in place, for cvtool and the engine's tests; the
// GUI application does the same in its QApplication subclass.
class TCvCoreApplication final : public QCoreApplication {
 public:
  TCvCoreApplication(int& argc, char** argv) : QCoreApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};
