#include "LineOutput.h"

#include <QByteArray>

#include <algorithm>

QString EscapeForLine(const QString& text) {
  // Most texts have nothing to escape: they are shared, not copied character by character.
  if (std::none_of(text.begin(), text.end(), [](QChar ch) {
        return ch == u'\\' || ch == u'\t' || ch == u'\n' || ch == u'\r';
      }))
    return text;
  QString out;
  out.reserve(text.size());
  for (QChar ch : text) {
    switch (ch.unicode()) {
      case '\\': out += QLatin1String("\\\\"); break;
      case '\t': out += QLatin1String("\\t"); break;
      case '\n': out += QLatin1String("\\n"); break;
      case '\r': out += QLatin1String("\\r"); break;
      default: out += ch; break;
    }
  }
  return out;
}

void WriteLine(std::FILE* to, const QString& line) {
  const QByteArray bytes = line.toUtf8() + '\n';
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}
