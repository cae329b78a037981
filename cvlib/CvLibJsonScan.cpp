#include "CvLibJsonScan.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace cvlib::detail {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One UTF-8 sequence at p (its first byte at least 0x80): the code point and its length, or
// 0 for an invalid, overlong or surrogate sequence or one cut by the end.
int Utf8Char(const unsigned char* p, const unsigned char* end, char32_t& cp) {
  const unsigned char b = p[0];
  int length = 0;
  char32_t min = 0;
  if (b >= 0xC2 && b <= 0xDF) length = 2, cp = b & 0x1F, min = 0x80;
  else if (b >= 0xE0 && b <= 0xEF) length = 3, cp = b & 0x0F, min = 0x800;
  else if (b >= 0xF0 && b <= 0xF4) length = 4, cp = b & 0x07, min = 0x10000;
  else return 0;
  if (end - p < length) return 0;
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(QString& out, char32_t cp) {
  if (cp < 0x10000) {
    out += QChar(static_cast<char16_t>(cp));
  } else {
    out += QChar(QChar::highSurrogate(cp));
    out += QChar(QChar::lowSurrogate(cp));
  }
}

}  // namespace

void JsonScan::SkipSpace() {
  while (fAt < fEnd && (*fAt == ' ' || *fAt == '\n' || *fAt == '\r' || *fAt == '\t')) ++fAt;
}

JsonScan::Type JsonScan::Peek() {
  if (!fOk) return Type::Bad;
  SkipSpace();
  if (fAt == fEnd) return Type::Bad;
  switch (*fAt) {
    case '{': return Type::Object;
    case '[': return Type::Array;
    case '"': return Type::String;
    case 't':
    case 'f': return Type::Bool;
    case 'n': return Type::Null;
    default: return (*fAt == '-' || (*fAt >= '0' && *fAt <= '9')) ? Type::Number : Type::Bad;
  }
}

bool JsonScan::BeginObject() {
  if (Peek() != Type::Object || ++fDepth > kMaxDepth) return Fail();
  ++fAt;
  fFirst = true;
  return true;
}

bool JsonScan::BeginArray() {
  if (Peek() != Type::Array || ++fDepth > kMaxDepth) return Fail();
  ++fAt;
  fFirst = true;
  return true;
}

bool JsonScan::NextMember(char close) {
  if (!fOk) return false;
  const bool first = fFirst;
  fFirst = false;
  SkipSpace();
  if (fAt == fEnd) return Fail();
  if (*fAt == close) {
    ++fAt;
    --fDepth;
    return false;
  }
  if (!first) {
    if (*fAt != ',') return Fail();
    ++fAt;
    SkipSpace();
    if (fAt < fEnd && *fAt == close) return Fail();  // no comma before the end
  }
  return true;
}

bool JsonScan::NextElement() { return NextMember(']'); }

bool JsonScan::NextKey(std::string_view& key) {
  if (!NextMember('}')) return false;
  if (fAt == fEnd || *fAt != '"' || !RawString(key)) return Fail();
  SkipSpace();
  if (fAt == fEnd || *fAt != ':') return Fail();
  ++fAt;
  return true;
}

bool JsonScan::RawString(std::string_view& out) {
  const char* start = fAt + 1;
  const char* p = start;
  while (p < fEnd) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      out = std::string_view(start, static_cast<std::size_t>(p - start));
      fAt = p + 1;
      return true;
    }
    if (c == '\\' || c < 0x20 || c >= 0x80) break;
    ++p;
  }
  fKey.clear();
  if (!DecodeString(nullptr, &fKey)) return false;
  out = fKey;
  return true;
}

// The string at fAt (its opening quote) into text (UTF-16) or utf8; fAt goes past its end.
bool JsonScan::DecodeString(QString* text, std::string* utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(fAt + 1);
  const auto* end = reinterpret_cast<const unsigned char*>(fEnd);
  while (p < end) {
    const unsigned char c = *p;
    if (c == '"') {
      fAt = reinterpret_cast<const char*>(p + 1);
      return true;
    }
    if (c < 0x20) return Fail();
    if (c < 0x80 && c != '\\') {
      if (text) *text += QLatin1Char(static_cast<char>(c));
      else *utf8 += static_cast<char>(c);
      ++p;
      continue;
    }
    char32_t cp = 0;
    if (c >= 0x80) {
      const int length = Utf8Char(p, end, cp);
      if (length == 0) return Fail();
      p += length;
      if (text) AppendUtf16(*text, cp);
      else AppendUtf8(*utf8, cp);
      continue;
    }
    if (end - p < 2) return Fail();
    const char e = static_cast<char>(p[1]);
    p += 2;
    switch (e) {
      case '"': cp = '"'; break;
      case '\\': cp = '\\'; break;
      case '/': cp = '/'; break;
      case 'b': cp = '\b'; break;
      case 'f': cp = '\f'; break;
      case 'n': cp = '\n'; break;
      case 'r': cp = '\r'; break;
      case 't': cp = '\t'; break;
      case 'u': {
        if (end - p < 4) return Fail();
        for (int i = 0; i < 4; ++i) {
          const int h = HexValue(static_cast<char>(p[i]));
          if (h < 0) return Fail();
          cp = cp << 4 | static_cast<char32_t>(h);
        }
        p += 4;
        // A pair of escapes makes one character; a lone half stays as it is, as
        // QJsonDocument keeps it (and the name checks refuse it).
        if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
          char32_t low = 0;
          bool hex = true;
          for (int i = 2; i < 6 && hex; ++i) {
            const int h = HexValue(static_cast<char>(p[i]));
            hex = h >= 0;
            low = low << 4 | static_cast<char32_t>(h < 0 ? 0 : h);
          }
          if (hex && low >= 0xDC00 && low <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            p += 6;
          }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) {
          if (text) *text += QChar(static_cast<char16_t>(cp));
          else return Fail();  // keys are compared as UTF-8: a lone half matches none
          continue;
        }
        break;
      }
      default:
        return Fail();
    }
    if (text) AppendUtf16(*text, cp);
    else AppendUtf8(*utf8, cp);
  }
  return Fail();
}

bool JsonScan::ReadString(QString& out) {
  if (Peek() != Type::String) return Fail();
  const char* start = fAt + 1;
  const char* p = start;
  while (p < fEnd) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      out = QString::fromLatin1(start, static_cast<qsizetype>(p - start));
      fAt = p + 1;
      return true;
    }
    if (c == '\\' || c < 0x20 || c >= 0x80) break;
    ++p;
  }
  out.clear();
  return DecodeString(&out, nullptr);
}

bool JsonScan::SkipNumber(const char*& start) {
  start = fAt;
  const char* p = fAt;
  auto digits = [&] {
    const char* from = p;
    while (p < fEnd && *p >= '0' && *p <= '9') ++p;
    return p > from;
  };
  if (p < fEnd && *p == '-') ++p;
  if (p < fEnd && *p == '0') ++p;
  else if (!digits()) return Fail();
  if (p < fEnd && *p == '.') {
    ++p;
    if (!digits()) return Fail();
  }
  if (p < fEnd && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < fEnd && (*p == '+' || *p == '-')) ++p;
    if (!digits()) return Fail();
  }
  fAt = p;
  return true;
}

bool JsonScan::ReadNumber(double& out) {
  if (Peek() != Type::Number) return Fail();
  const char* start = nullptr;
  if (!SkipNumber(start)) return false;
  const auto [end, ec] = std::from_chars(start, fAt, out);
  // Beyond a double's range is refused, as QJsonDocument does.
  if (ec != std::errc() || end != fAt || !std::isfinite(out)) return Fail();
  return true;
}

bool JsonScan::Literal(const char* word, std::size_t size) {
  if (static_cast<std::size_t>(fEnd - fAt) < size || std::memcmp(fAt, word, size) != 0) return Fail();
  fAt += size;
  return true;
}

bool JsonScan::ReadBool(bool& out) {
  if (Peek() != Type::Bool) return Fail();
  out = *fAt == 't';
  return out ? Literal("true", 4) : Literal("false", 5);
}

bool JsonScan::ReadNull() {
  if (Peek() != Type::Null) return Fail();
  return Literal("null", 4);
}

bool JsonScan::SkipValue(int depth) {
  switch (Peek()) {
    case Type::Null: return ReadNull();
    case Type::Bool: {
      bool b = false;
      return ReadBool(b);
    }
    case Type::Number: {
      double d = 0;
      return ReadNumber(d);
    }
    case Type::String: {
      QString s;
      return ReadString(s);
    }
    case Type::Object: {
      if (depth > kMaxDepth || !BeginObject()) return Fail();
      std::string_view key;
      while (NextKey(key))
        if (!SkipValue(depth + 1)) return false;
      return fOk;
    }
    case Type::Array: {
      if (depth > kMaxDepth || !BeginArray()) return Fail();
      while (NextElement())
        if (!SkipValue(depth + 1)) return false;
      return fOk;
    }
    case Type::Bad: break;
  }
  return Fail();
}

bool JsonScan::Skip() { return SkipValue(fDepth); }

bool JsonScan::AtEnd() {
  if (!fOk) return false;
  SkipSpace();
  return fAt == fEnd || Fail();
}

}  // namespace cvlib::detail
