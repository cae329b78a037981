// cvtool reg: the settings store on the command line, for product setups, support staff and
// other software. Exit codes: 0 done, 1 the value or key is missing or the store cannot be
// read or written, 2 the command line was wrong (arguments, root, type, a value that does not
// fit its type, a malformed key), told in one line on stderr. ROOT: 1 program settings,
// 2 software registry, 3 installed products; KEY: names separated by '\', "" for the root key.
#include "Args.h"
#include "Commands.h"

#include "CvLib.h"
#include "LineOutput.h"

#include <cmath>
#include <cstdio>

namespace {

using cvtool::kExitFailed;
using cvtool::kExitOK;
using cvtool::kExitUsage;
constexpr int kExitMissing = kExitFailed;

const QString kWho = QStringLiteral("cvtool reg");

void Out(const QString& line) { WriteLine(stdout, line); }

int Fail(const QString& message, int code = kExitUsage) { return cvtool::Fail(kWho, message, code); }

// A store error as one line: the library's text and what it was about. A malformed key is the
// command line's fault; a store that cannot be used is the operation's.
int StoreFail(int error, int root, const QString& key) {
  if (error == cvlib::ceStoreBadKey) return Fail(QStringLiteral("%1 (key '%2')").arg(ErrorToStr(error), key));
  return Fail(QStringLiteral("%1 (%2)").arg(ErrorToStr(error), TAppReg::RootFileName(root)), kExitFailed);
}

int Get(int root, const QString& key, const QString& name) {
  TRegValue value;
  const int error = GetAppReg().ReadValue(root, key, name, value);
  if (error == cvlib::ceStoreNoValue)
    return Fail(QStringLiteral("no value '%1' in key '%2'").arg(name, key), kExitMissing);
  if (error) return StoreFail(error, root, key);
  Out(cvlib::RegValueToText(value));
  return kExitOK;
}

int Set(int root, const QString& key, const QString& name, const QString& type,
        const QString& text) {
  TAppReg& reg = GetAppReg();
  int error = 0;
  if (type == QLatin1String("string")) {
    error = reg.WriteString(root, key, name, text);
  } else if (type == QLatin1String("int")) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok) return Fail(QStringLiteral("'%1' is not an integer").arg(text));
    error = reg.WriteInteger(root, key, name, value);
  } else if (type == QLatin1String("bool")) {
    if (text != QLatin1String("true") && text != QLatin1String("false"))
      return Fail(QStringLiteral("'%1' is not a bool (true or false)").arg(text));
    error = reg.WriteBool(root, key, name, text == QLatin1String("true"));
  } else if (type == QLatin1String("float")) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value)) return Fail(QStringLiteral("'%1' is not a number").arg(text));
    error = reg.WriteFloat(root, key, name, value);
  } else {
    return Fail(QStringLiteral("unknown type '%1' (string, int, bool or float)").arg(type));
  }
  return error ? StoreFail(error, root, key) : kExitOK;
}

int Keys(int root, const QString& key) {
  QStringList names;
  if (const int error = GetAppReg().GetKeyNames(root, key, names)) return StoreFail(error, root, key);
  for (const QString& name : names) Out(name);
  return kExitOK;
}

int Values(int root, const QString& key) {
  QList<TRegValue> values;
  if (const int error = GetAppReg().GetValues(root, key, values)) return StoreFail(error, root, key);
  for (const TRegValue& v : values)
    Out(v.name + QLatin1Char('\t') + cvlib::RegTypeName(v.type) + QLatin1Char('\t') +
        EscapeForLine(cvlib::RegValueToText(v)));
  return kExitOK;
}

int Delete(int root, const QString& key) {
  const int error = GetAppReg().DeleteKey(root, key);
  if (error == cvlib::ceStoreNoKey)
    return Fail(QStringLiteral("no key '%1'").arg(key), kExitMissing);
  return error ? StoreFail(error, root, key) : kExitOK;
}

struct Form {
  const char* name;
  int argCount;  // with the sub-command itself
  const char* usage;
  const char* what;
};

const Form kForms[] = {
    {"get", 4, "cvtool reg get ROOT KEY NAME", "Prints the value NAME of KEY as text."},
    {"set", 6, "cvtool reg set ROOT KEY NAME string|int|bool|float VALUE",
     "Writes the value NAME of KEY (made when missing); bool is true or false."},
    {"keys", 3, "cvtool reg keys ROOT KEY", "Lists the sub-keys of KEY, one a line."},
    {"values", 3, "cvtool reg values ROOT KEY",
     "Lists the values of KEY, one a line: name, type and value, separated by tabs."},
    {"delete", 3, "cvtool reg delete ROOT KEY", "Deletes KEY with everything below it."},
};

const QString kRootsHelp = QStringLiteral(
    "ROOT: 1 program settings, 2 software registry, 3 installed products.\n"
    "KEY: names separated by '\\', \"\" for the root key.\n"
    "In printed texts a backslash, tab and line break are written \\\\, \\t, \\n, \\r.\n"
    "Put -- before a key, name or value that starts with '-'.\n");

QString Help(const Form* form) {
  QString text;
  if (form) {
    text = QStringLiteral("usage: %1\n\n%2\n\n").arg(QLatin1String(form->usage), QLatin1String(form->what));
  } else {
    text = QStringLiteral("usage:\n");
    for (const Form& f : kForms) text += QStringLiteral("  %1\n").arg(QLatin1String(f.usage));
    text += QStringLiteral("\nThe settings store on the command line.\n\n");
  }
  return text + kRootsHelp + QStringLiteral("\n") + cvtool::ExitCodesHelp() +
         QStringLiteral("A missing value or key gives 1.\n");
}

}  // namespace

int RegCommand(const QStringList& arguments) {
  cvtool::TArgs parsed(kWho);
  const auto result = parsed.Parse(arguments);
  const QStringList& args = parsed.Positional();
  const QString sub = args.value(0);
  const Form* form = nullptr;
  for (const Form& f : kForms)
    if (sub == QLatin1String(f.name)) form = &f;
  if (result != cvtool::TArgs::kRun) return parsed.Finish(result, Help(form));
  if (!form) {
    return parsed.Usage(sub.isEmpty() ? QStringLiteral("unknown sub-command '' (get, set, keys, values, delete)")
                                      : QStringLiteral("unknown sub-command '%1' (get, set, keys, values, delete)").arg(sub));
  }
  if (args.size() != form->argCount)
    return parsed.Usage(QStringLiteral("wrong number of arguments; usage: %1").arg(QLatin1String(form->usage)));

  bool ok = false;
  const int root = args[1].toInt(&ok);
  if (!ok || TAppReg::RootFileName(root).isEmpty())
    return parsed.Usage(QStringLiteral("unknown root '%1' (1, 2 or 3)").arg(args[1]));
  const QString& key = args[2];

  if (sub == QLatin1String("get")) return Get(root, key, args[3]);
  if (sub == QLatin1String("set")) return Set(root, key, args[3], args[4], args[5]);
  if (sub == QLatin1String("keys")) return Keys(root, key);
  if (sub == QLatin1String("values")) return Values(root, key);
  return Delete(root, key);
}
