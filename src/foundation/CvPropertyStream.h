#pragma once

// A small binary stream of named properties, used to save and load objects such as the
// dynamic lists. Byte format: docs/property-stream.md. The writer and the reader consume
// exactly the bytes of what they write or read, so several objects can follow one another
// in one stream. Every problem (short data, unknown value type, a value of the wrong kind,
// a device that fails) raises EStreamError; the reader never reads past what the device holds.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

class QIODevice;

// The one-byte tag in front of every value.
enum TPropValueType : quint8 {
  pvListEnd = 0x00,
  pvListBegin = 0x01,
  pvInteger = 0x02,
  pvBinary = 0x03,
};

// Name of a value type for error texts ("integer", "list begin", ...).
QString PropValueTypeName(quint8 type);

class TPropertyWriter final {
 public:
  // The device must be open for writing; the writer does not own it.
  explicit TPropertyWriter(QIODevice& device);

  // The four bytes "CVPS" and the format version; first thing of an object's properties.
  void WriteSignature();
  // A property name: 1 to 255 bytes of UTF-8.
  void WritePropName(const QString& name);
  // Ends the properties of one object (a name of length 0).
  void WriteEndOfProperties();

  void WriteListBegin();
  void WriteListEnd();
  void WriteInteger(qint32 value);
  void WriteBinary(const void* data, qint64 size);
  void WriteBinary(const QByteArray& data) { WriteBinary(data.constData(), data.size()); }

  qint64 Position() const { return FPosition; }

 private:
  void WriteRaw(const void* data, qint64 size);

  QIODevice& FDevice;
  qint64 FPosition = 0;  // bytes written by this writer
};

class TPropertyReader final {
 public:
  // The device must be open for reading; the reader does not own it.
  explicit TPropertyReader(QIODevice& device);

  // Checks the four signature bytes and the format version.
  void ReadSignature();
  // The next property name; empty at the end of an object's properties.
  QString ReadPropName();

  // The type of the next value, without consuming it.
  TPropValueType NextValue();
  // True when the next value is the end of the current list (not consumed).
  bool EndOfList() { return NextValue() == pvListEnd; }

  void ReadListBegin();
  void ReadListEnd();
  qint32 ReadInteger();
  QByteArray ReadBinary();

  // Bytes of values consumed so far; a tag that NextValue only peeked at counts once consumed.
  qint64 Position() const { return FPosition; }

 private:
  void ReadRaw(void* data, qint64 size);
  quint8 ReadTag();
  void Expect(TPropValueType type);

  QIODevice& FDevice;
  qint64 FPosition = 0;
  std::optional<quint8> FPeeked;  // a value tag read by NextValue and not yet consumed
};
