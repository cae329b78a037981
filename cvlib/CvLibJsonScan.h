#pragma once

// Inside the support library only: a reader that walks a JSON text in place, value by value,
// for answers too large to be built into a QJsonDocument first (a file list of 20,000 files
// spent most of its time there). It takes what QJsonDocument takes (RFC 8259: UTF-8, escapes,
// numbers as doubles, nesting up to kMaxDepth) and refuses the rest; after the first fault
// every call fails and Ok() is false.

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

namespace cvlib::detail {

class JsonScan final {
 public:
  enum class Type { Bad, Null, Bool, Number, String, Object, Array };
  static constexpr int kMaxDepth = 1024;

  JsonScan(const char* data, std::size_t size) : fAt(data), fEnd(data + size) {}

  bool Ok() const { return fOk; }
  // The type of the value that comes next (whitespace skipped); Bad at the end or on a fault.
  Type Peek();

  // An object: BeginObject, then NextKey until it returns false (the object's end, or a fault).
  bool BeginObject();
  bool NextKey(std::string_view& key);
  // An array: BeginArray, then NextElement until it returns false.
  bool BeginArray();
  bool NextElement();

  bool ReadString(QString& out);
  bool ReadNumber(double& out);
  bool ReadBool(bool& out);
  bool ReadNull();
  // Any value, checked and passed over.
  bool Skip();
  // Nothing but whitespace is left.
  bool AtEnd();

 private:
  bool Fail() { return fOk = false; }
  // The start of the next member of the container that close ends: false at its end (the
  // close consumed) or on a fault; the comma before every member but the first.
  bool NextMember(char close);
  void SkipSpace();
  bool Literal(const char* word, std::size_t size);
  // The string at fAt: its bytes as they stand when it has no escape, else decoded into fKey.
  bool RawString(std::string_view& out);
  bool DecodeString(QString* text, std::string* utf8);
  bool SkipNumber(const char*& start);
  bool SkipValue(int depth);

  const char* fAt;
  const char* fEnd;
  bool fOk = true;
  int fDepth = 0;
  // Whether the container just begun has had a member yet (for the commas).
  bool fFirst = false;
  std::string fKey;
};

// Reads a whole text of the form {"items": [item, ...]} (other members passed over), handing
// the reader to scanItem at each item; false when the text is not of that form.
template <typename ScanItem>
bool ScanItemList(JsonScan& scan, ScanItem&& scanItem) {
  bool listed = false;
  if (!scan.BeginObject()) return false;
  std::string_view key;
  while (scan.NextKey(key)) {
    if (key != "items") {
      scan.Skip();
      continue;
    }
    if (listed || scan.Peek() != JsonScan::Type::Array) return false;
    listed = true;
    scan.BeginArray();
    while (scan.NextElement()) scanItem();
  }
  return scan.Ok() && scan.AtEnd() && listed;
}

}  // namespace cvlib::detail
