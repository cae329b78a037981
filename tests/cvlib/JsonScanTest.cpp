// The in-place JSON reader against QJsonDocument on damaged texts: whatever the reader takes,
// QJsonDocument takes too, with the same values, so that no answer or index it reads can mean
// something else than the JSON says. The reader is the stricter of the two (Qt lets raw control
// characters in strings, unknown escapes and numbers such as ".1" or "0." through).
#include "CvLibJsonScan.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using cvlib::detail::JsonScan;

// The value at the reader's position, or false when the reader refuses it.
bool Walk(JsonScan& scan, QJsonValue& out) {
  switch (scan.Peek()) {
    case JsonScan::Type::Null:
      out = QJsonValue::Null;
      return scan.ReadNull();
    case JsonScan::Type::Bool: {
      bool b = false;
      if (!scan.ReadBool(b)) return false;
      out = b;
      return true;
    }
    case JsonScan::Type::Number: {
      double d = 0;
      if (!scan.ReadNumber(d)) return false;
      out = d;
      return true;
    }
    case JsonScan::Type::String: {
      QString s;
      if (!scan.ReadString(s)) return false;
      out = s;
      return true;
    }
    case JsonScan::Type::Object: {
      QJsonObject o;
      if (!scan.BeginObject()) return false;
      std::string_view key;
      while (scan.NextKey(key)) {
        const QString name = QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
        QJsonValue v;
        if (!Walk(scan, v)) return false;
        o.insert(name, v);
      }
      out = o;
      return scan.Ok();
    }
    case JsonScan::Type::Array: {
      QJsonArray a;
      if (!scan.BeginArray()) return false;
      while (scan.NextElement()) {
        QJsonValue v;
        if (!Walk(scan, v)) return false;
        a.append(v);
      }
      out = a;
      return scan.Ok();
    }
    default:
      return false;
  }
}

// Numbers by value (QJsonDocument keeps whole numbers as integers, the reader as doubles).
bool Same(const QJsonValue& a, const QJsonValue& b) {
  if (a.isDouble() && b.isDouble()) {
    const double x = a.toDouble(), y = b.toDouble();
    return x == y && std::signbit(x) == std::signbit(y);
  }
  if (a.type() != b.type()) return false;
  if (a.isObject()) {
    const QJsonObject x = a.toObject(), y = b.toObject();
    if (x.keys() != y.keys()) return false;
    for (auto it = x.begin(); it != x.end(); ++it)
      if (!Same(it.value(), y.value(it.key()))) return false;
    return true;
  }
  if (a.isArray()) {
    const QJsonArray x = a.toArray(), y = b.toArray();
    if (x.size() != y.size()) return false;
    for (qsizetype i = 0; i < x.size(); ++i)
      if (!Same(x.at(i), y.at(i))) return false;
    return true;
  }
  return a == b;
}

struct Outcome {
  bool scanTook = false;
  bool qtTook = false;
  bool same = false;
};

Outcome Compare(const std::string& text) {
  Outcome r;
  JsonScan scan(text.data(), text.size());
  QJsonValue mine;
  const JsonScan::Type top = scan.Peek();
  r.scanTook = (top == JsonScan::Type::Object || top == JsonScan::Type::Array) && Walk(scan, mine) &&
               scan.AtEnd() && scan.Ok();
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  r.qtTook = error.error == QJsonParseError::NoError && (doc.isObject() || doc.isArray());
  if (r.scanTook && r.qtTook)
    r.same = Same(mine, doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array()));
  return r;
}

const std::vector<std::string> kSeeds = {
    R"({"items":[{"product":2001,"mask":1,"productCode":"QMR2","files":[{"name":"a b.qmr2","folder":"BX/A",)"
    R"("size":"4096","time":1700000000,"addon":false,"sha256":"00ff"}]}],"n":-0.5e+3,"z":null,"t":true})",
    R"([1, 2.5, -0, 1e308, 123456789012345678901234, "\u00e9\ud83d\ude00\n\t\"\\\/", [], {}, [[{"a":[]}]]])",
    "{\"caf\xc3\xa9\": \"\xe2\x82\xac \xf0\x9f\x98\x80\", \"k\": \"\\u0041\", \"d\": {\"d\": {\"d\": [false]}}}",
    R"( { "a" : 1 , "a" : 2 , "b" : [ 0.1 , 1E2 , -1e-2 ] } )",
};

// Bytes a damage may bring in: JSON's own, escapes, digits, and bytes that are not UTF-8.
const std::string kAlphabet = "{}[]:,\"\\/ \t\n0123456789-+.eEtrufalsn\x80\xc3\xa9\xed\xa0\xff\x01";

}  // namespace

TEST(JsonScanTest, TheSeedsReadAsQtReadsThem) {
  for (const std::string& seed : kSeeds) {
    const Outcome r = Compare(seed);
    EXPECT_TRUE(r.scanTook && r.qtTook && r.same) << seed;
  }
}

TEST(JsonScanTest, WhatTheReaderTakesOfADamagedTextQtTakesAlike) {
  std::mt19937 random(20261210);
  int taken = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string text = kSeeds[round % kSeeds.size()];
    const int damages = 1 + static_cast<int>(random() % 3);
    for (int d = 0; d < damages && !text.empty(); ++d) {
      const size_t at = random() % text.size();
      const char c = kAlphabet[random() % kAlphabet.size()];
      switch (random() % 5) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(at, 1, c); break;
        case 2: text[at] = c; break;
        case 3: text.resize(at); break;
        default: text.insert(at, text.substr(at, random() % 12)); break;
      }
    }
    const Outcome r = Compare(text);
    if (r.scanTook) {
      ++taken;
      EXPECT_TRUE(r.qtTook) << "taken by the reader only: " << text;
      EXPECT_TRUE(r.same) << "read otherwise than Qt reads it: " << text;
    }
  }
  // The damages leave enough texts whole for the comparison to mean something.
  EXPECT_GT(taken, 1000);
}
