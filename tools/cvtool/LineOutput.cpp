#include "LineOutput.h"

#include <QByteArray>

QString EscapeForLine(const QString& text) {
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
