#include "CvPropertyStream.h"

#include "CvErrors.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <limits>

namespace {

constexpr char kSignature[4] = {'C', 'V', 'P', 'S'};
constexpr quint8 kFormatVersion = 1;

// Large binary values are read in steps, so a corrupt length on a sequential device costs
// no more memory than the data actually present.
constexpr qint64 kReadStep = 1 << 20;

[[noreturn]] void StreamError(const QString& text) {
  throw EStreamError(QStringLiteral("Property stream: ") + text);
}

}  // namespace

QString PropValueTypeName(quint8 type) {
  switch (type) {
    case pvListEnd:
      return QStringLiteral("list end");
    case pvListBegin:
      return QStringLiteral("list begin");
    case pvInteger:
      return QStringLiteral("integer");
    case pvBinary:
      return QStringLiteral("binary");
  }
  return QStringLiteral("value type 0x%1").arg(type, 2, 16, QLatin1Char('0'));
}

// ---------------------------------------------------------------------------------------------

TPropertyWriter::TPropertyWriter(QIODevice& device) : FDevice(device) {}

void TPropertyWriter::WriteRaw(const void* data, qint64 size) {
  if (size == 0) return;
  const qint64 written = FDevice.write(static_cast<const char*>(data), size);
  if (written != size) {
    StreamError(QStringLiteral("write error (%1).").arg(FDevice.errorString()));
  }
  FPosition += size;
}

void TPropertyWriter::WriteSignature() {
  WriteRaw(kSignature, sizeof kSignature);
  WriteRaw(&kFormatVersion, 1);
}

void TPropertyWriter::WritePropName(const QString& name) {
  const QByteArray bytes = name.toUtf8();
  if (bytes.isEmpty() || bytes.size() > 255) {
    StreamError(QStringLiteral("a property name must have 1 to 255 bytes (\"%1\").").arg(name));
  }
  const quint8 length = static_cast<quint8>(bytes.size());
  WriteRaw(&length, 1);
  WriteRaw(bytes.constData(), bytes.size());
}

void TPropertyWriter::WriteEndOfProperties() {
  const quint8 zero = 0;
  WriteRaw(&zero, 1);
}

void TPropertyWriter::WriteListBegin() {
  const quint8 tag = pvListBegin;
  WriteRaw(&tag, 1);
}

void TPropertyWriter::WriteListEnd() {
  const quint8 tag = pvListEnd;
  WriteRaw(&tag, 1);
}

void TPropertyWriter::WriteInteger(qint32 value) {
  char bytes[5];
  bytes[0] = static_cast<char>(pvInteger);
  qToLittleEndian<qint32>(value, bytes + 1);
  WriteRaw(bytes, sizeof bytes);
}

void TPropertyWriter::WriteBinary(const void* data, qint64 size) {
  if (size < 0 || size > std::numeric_limits<qint32>::max()) {
    StreamError(QStringLiteral("binary value of %1 bytes is too large.").arg(size));
  }
  char head[5];
  head[0] = static_cast<char>(pvBinary);
  qToLittleEndian<quint32>(static_cast<quint32>(size), head + 1);
  WriteRaw(head, sizeof head);
  WriteRaw(data, size);
}

// ---------------------------------------------------------------------------------------------

TPropertyReader::TPropertyReader(QIODevice& device) : FDevice(device) {}

void TPropertyReader::ReadRaw(void* data, qint64 size) {
  char* out = static_cast<char*>(data);
  qint64 done = 0;
  while (done < size) {
    const qint64 got = FDevice.read(out + done, size - done);
    if (got <= 0) StreamError(QStringLiteral("unexpected end of data."));
    done += got;
  }
  FPosition += size;
}

void TPropertyReader::ReadSignature() {
  char bytes[sizeof kSignature + 1];
  ReadRaw(bytes, sizeof bytes);
  if (!std::equal(bytes, bytes + sizeof kSignature, kSignature)) {
    StreamError(QStringLiteral("signature missing, the data is no property stream."));
  }
  if (static_cast<quint8>(bytes[sizeof kSignature]) != kFormatVersion) {
    StreamError(QStringLiteral("format version %1 is not supported.").arg(static_cast<quint8>(bytes[4])));
  }
}

QString TPropertyReader::ReadPropName() {
  if (FPeeked) StreamError(QStringLiteral("property name expected, found a value."));
  quint8 length = 0;
  ReadRaw(&length, 1);
  if (length == 0) return QString();
  QByteArray bytes(length, Qt::Uninitialized);
  ReadRaw(bytes.data(), length);
  return QString::fromUtf8(bytes);
}

TPropValueType TPropertyReader::NextValue() {
  if (!FPeeked) {
    quint8 tag = 0;
    ReadRaw(&tag, 1);
    --FPosition;  // counted when consumed
    if (tag > pvBinary) StreamError(QStringLiteral("invalid %1.").arg(PropValueTypeName(tag)));
    FPeeked = tag;
  }
  return static_cast<TPropValueType>(*FPeeked);
}

quint8 TPropertyReader::ReadTag() {
  const quint8 tag = NextValue();
  FPeeked.reset();
  ++FPosition;
  return tag;
}

void TPropertyReader::Expect(TPropValueType type) {
  const quint8 tag = ReadTag();
  if (tag != type) {
    StreamError(QStringLiteral("%1 expected, found %2.").arg(PropValueTypeName(type), PropValueTypeName(tag)));
  }
}

void TPropertyReader::ReadListBegin() { Expect(pvListBegin); }

void TPropertyReader::ReadListEnd() { Expect(pvListEnd); }

qint32 TPropertyReader::ReadInteger() {
  Expect(pvInteger);
  char bytes[4];
  ReadRaw(bytes, sizeof bytes);
  return qFromLittleEndian<qint32>(bytes);
}

QByteArray TPropertyReader::ReadBinary() {
  Expect(pvBinary);
  char head[4];
  ReadRaw(head, sizeof head);
  const quint32 size = qFromLittleEndian<quint32>(head);
  if (size > static_cast<quint32>(std::numeric_limits<qint32>::max())) {
    StreamError(QStringLiteral("binary value of %1 bytes is too large.").arg(size));
  }
  if (!FDevice.isSequential() && size > FDevice.bytesAvailable()) {
    StreamError(QStringLiteral("unexpected end of data."));
  }
  QByteArray data;
  qint64 done = 0;
  while (done < size) {
    const qint64 step = std::min<qint64>(kReadStep, size - done);
    data.resize(done + step);
    ReadRaw(data.data() + done, step);
    done += step;
  }
  return data;
}
