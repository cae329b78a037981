#include "CvAppExceptions.h"

#include "CvLib.h"
#include "CvMsgBoxPresenter.h"

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include <cxxabi.h>

namespace {

QString Demangle(const char* name) {
  if (!name) return QStringLiteral("unknown exception");
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  return QString::fromUtf8(status == 0 && plain ? plain.get() : name);
}

thread_local int showing = 0;

}  // namespace

TExceptionInfo DescribeException(const std::exception_ptr& exception) {
  TExceptionInfo info;
  if (!exception) return info;
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    info.className = Demangle(typeid(e).name());
    info.message = QString::fromUtf8(e.what());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    info.className = Demangle(type ? type->name() : nullptr);
  }
  return info;
}

void HandleEventLoopException() {
  const TExceptionInfo info = DescribeException(std::current_exception());
  ReportException(info.className, info.message);
  if (showing > 0) return;
  ++showing;
  try {
    MsgBox(info.message.isEmpty() ? info.className : info.message, mtError, mbOKOnly);
  } catch (...) {
    // The box itself failed: log that too, but show nothing more.
    const TExceptionInfo inner = DescribeException(std::current_exception());
    ReportException(inner.className, inner.message);
  }
  --showing;
}

bool TCvCoreApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QCoreApplication::notify(receiver, event);
  } catch (...) {
    HandleEventLoopException();
    return false;
  }
}
