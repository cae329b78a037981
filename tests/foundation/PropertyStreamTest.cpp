#include "CvErrors.h"
#include "CvPropertyStream.h"

#include <QBuffer>

#include <algorithm>
#include <cstring>
#include <utility>

#include <gtest/gtest.h>

#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

// A device of unknown size, as a socket or pipe is: it hands out its bytes once.
class TSequentialDevice final : public QIODevice {
 public:
  explicit TSequentialDevice(QByteArray bytes) : FBytes(std::move(bytes)) { open(QIODevice::ReadOnly); }
  bool isSequential() const override { return true; }

 protected:
  qint64 readData(char* data, qint64 maxSize) override {
    const qint64 n = std::min<qint64>(maxSize, FBytes.size() - FOffset);
    std::memcpy(data, FBytes.constData() + FOffset, n);
    FOffset += n;
    return n;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  QByteArray FBytes;
  qint64 FOffset = 0;
};

template <class F>
QString StreamErrorOf(F f) {
  try {
    f();
  } catch (const EStreamError& e) {
    return e.Message();
  }
  return QStringLiteral("<none>");
}

TEST(PropertyStreamTest, ValuesRoundTripAndPeekingConsumesNothing) {
  QByteArray bytes;
  {
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    TPropertyWriter writer(out);
    writer.WriteSignature();
    writer.WritePropName(QStringLiteral("Größe"));
    writer.WriteListBegin();
    writer.WriteInteger(-1);
    writer.WriteBinary(QByteArray("\0ab", 3));
    writer.WriteBinary(QByteArray());
    writer.WriteListEnd();
    writer.WritePropName(QString(255, QLatin1Char('n')));
    writer.WriteInteger(0x12345678);
    writer.WriteEndOfProperties();
    EXPECT_EQ(writer.Position(), bytes.size());
  }

  QBuffer in(&bytes);
  in.open(QIODevice::ReadOnly);
  TPropertyReader reader(in);
  reader.ReadSignature();
  EXPECT_EQ(reader.ReadPropName(), QStringLiteral("Größe"));
  EXPECT_EQ(reader.NextValue(), pvListBegin);
  EXPECT_EQ(reader.NextValue(), pvListBegin);
  reader.ReadListBegin();
  EXPECT_FALSE(reader.EndOfList());
  const qint64 beforeInteger = reader.Position();
  EXPECT_EQ(reader.ReadInteger(), -1);
  EXPECT_EQ(reader.Position(), beforeInteger + 5);
  EXPECT_EQ(reader.ReadBinary(), QByteArray("\0ab", 3));
  EXPECT_EQ(reader.ReadBinary(), QByteArray());
  EXPECT_TRUE(reader.EndOfList());
  reader.ReadListEnd();
  EXPECT_EQ(reader.ReadPropName(), QString(255, QLatin1Char('n')));
  EXPECT_EQ(reader.ReadInteger(), 0x12345678);
  EXPECT_EQ(reader.ReadPropName(), QString());
  EXPECT_EQ(reader.Position(), bytes.size());
  EXPECT_TRUE(in.atEnd());
}

TEST(PropertyStreamTest, WrongKindsAndCorruptDataRaise) {
  const auto reading = [](const QByteArray& bytes, auto read) {
    return StreamErrorOf([&] {
      QBuffer in;
      in.setData(bytes);
      in.open(QIODevice::ReadOnly);
      TPropertyReader reader(in);
      read(reader);
    });
  };
  EXPECT_EQ(reading(QByteArray("\x03\x00\x00\x00\x00", 5), [](TPropertyReader& r) { r.ReadInteger(); }),
            "Property stream: integer expected, found binary.");
  EXPECT_EQ(reading(QByteArray("\x07", 1), [](TPropertyReader& r) { r.NextValue(); }),
            "Property stream: invalid value type 0x07.");
  EXPECT_EQ(reading(QByteArray("\x02\x01\x02", 3), [](TPropertyReader& r) { r.ReadInteger(); }),
            "Property stream: unexpected end of data.");
  EXPECT_EQ(reading(QByteArray("\x05Ite", 4), [](TPropertyReader& r) { r.ReadPropName(); }),
            "Property stream: unexpected end of data.");
  EXPECT_EQ(reading(QByteArray("CVPT\x01", 5), [](TPropertyReader& r) { r.ReadSignature(); }),
            "Property stream: signature missing, the data is no property stream.");
  EXPECT_EQ(reading(QByteArray("\x02", 1), [](TPropertyReader& r) {
              r.NextValue();
              r.ReadPropName();
            }),
            "Property stream: property name expected, found a value.");
  EXPECT_EQ(reading(QByteArray("\x03\xFF\xFF\xFF\xFF", 5), [](TPropertyReader& r) { r.ReadBinary(); }),
            "Property stream: binary value of 4294967295 bytes is too large.");

  // A binary value that claims far more than a sequential device delivers: an error, read
  // in steps rather than allocated up front.
  TSequentialDevice sequential(QByteArray("\x03\xF0\xFF\xFF\x7F" "abc", 8));
  TPropertyReader reader(sequential);
  EXPECT_EQ(StreamErrorOf([&] { reader.ReadBinary(); }), "Property stream: unexpected end of data.");
}

TEST(PropertyStreamTest, WriterRejectsBadNamesAndFailingDevices) {
  QByteArray bytes;
  QBuffer out(&bytes);
  out.open(QIODevice::WriteOnly);
  TPropertyWriter writer(out);
  EXPECT_NE(StreamErrorOf([&] { writer.WritePropName(QString()); }), "<none>");
  EXPECT_NE(StreamErrorOf([&] { writer.WritePropName(QString(128, QChar(0x00E9))); }), "<none>");  // 256 bytes
  EXPECT_TRUE(bytes.isEmpty());

  QBuffer readOnly;
  readOnly.open(QIODevice::ReadOnly);
  TPropertyWriter failing(readOnly);
  EXPECT_TRUE(StreamErrorOf([&] { failing.WriteInteger(1); }).startsWith("Property stream: write error"));
}

}  // namespace
