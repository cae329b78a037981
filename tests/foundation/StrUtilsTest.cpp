#include "CvErrors.h"
#include "CvStrUtils.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <random>

namespace {

// Sets a locale as the default for one test and restores the previous one afterwards.
class LocaleScope {
 public:
  explicit LocaleScope(const QLocale& locale) { QLocale::setDefault(locale); }
  ~LocaleScope() { QLocale::setDefault(previous_); }

 private:
  QLocale previous_;
};

TEST(TokenizerTest, ParseInteger) {
  struct Case {
    const char* text;
    bool hex;
    bool ok;
    int value;
    const char* rest;  // what the cursor points at afterwards
  };
  const Case cases[] = {
      {"$1F", true, true, 31, ""},
      {"$1f;", true, true, 31, ";"},
      {"$1F", false, false, 0, "$1F"},
      {"-$1F", true, true, -31, ""},
      {"$FFFFFFFF", true, true, -1, ""},
      {"$100000000", true, false, 0, "$100000000"},
      {"$1G", true, false, 0, "$1G"},  // read as one token, then not hexadecimal
      {"$", true, false, 0, "$"},
      {"-12abc", false, true, -12, "abc"},
      {"+7.", false, true, 7, "."},
      {"007", false, true, 7, ""},
      {"+", false, false, 0, "+"},
      {"-", false, false, 0, "-"},
      {" 5", false, false, 0, " 5"},
      {"", false, false, 0, ""},
      {"2147483647", false, true, 2147483647, ""},
      {"-2147483648", false, true, INT32_MIN, ""},
      {"2147483648", false, false, 0, "2147483648"},
      {"99999999999999999999999", false, false, 0, "99999999999999999999999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    int value = 12345;
    EXPECT_EQ(ParseInteger(p, c.hex, value), c.ok);
    EXPECT_STREQ(p, c.rest);
    EXPECT_EQ(value, c.ok ? c.value : 12345);
  }
  const char* none = nullptr;
  int value = 0;
  EXPECT_FALSE(ParseInteger(none, true, value));
}

TEST(TokenizerTest, ReadUntilAndSkipBlanks) {
  struct Case {
    const char* text;
    const char* delimiters;
    bool ok;
    const char* read;
    const char* rest;
  };
  const Case cases[] = {
      {"abc,def", ",;", true, "abc", ",def"},
      {"abc;def", ",;", true, "abc", ";def"},
      {",def", ",", false, "", ",def"},
      {"abc", ",", true, "abc", ""},
      {"a b", "", true, "a b", ""},
      {"a b", nullptr, true, "a b", ""},
      {"", ",", false, "", ""},
      {"gr\xC3\xB6\xC3\x9F" "e=1", "=", true, "gr\xC3\xB6\xC3\x9F" "e", "=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    QString read = QStringLiteral("old");
    EXPECT_EQ(ReadUntil(p, read, c.delimiters), c.ok);
    EXPECT_EQ(read, QString::fromUtf8(c.read));
    EXPECT_STREQ(p, c.rest);
  }

  const char* p = "\x01\t\r\n x";
  EXPECT_TRUE(SkipBlanks(p));
  EXPECT_STREQ(p, "x");
  EXPECT_FALSE(SkipBlanks(p));
  const char* high = "\xC3\xA9";  // bytes above 127 are text, not blanks
  EXPECT_FALSE(SkipBlanks(high));

  EXPECT_TRUE(CharInSet(',', ",;"));
  EXPECT_FALSE(CharInSet('\0', ",;"));
  EXPECT_FALSE(CharInSet('a', nullptr));
  EXPECT_TRUE(CharIsAlphaNum('z') && CharIsAlphaNum('Z') && CharIsAlphaNum('0'));
  EXPECT_FALSE(CharIsAlphaNum('_') || CharIsAlphaNum('\xC3') || CharIsDigit('a'));
}

TEST(VersionTest, StrToVersion) {
  struct Case {
    const char* text;
    TVersion version;
  };
  const Case valid[] = {
      {"5", MakeVersion(5, 0, 0, 0)},
      {" 5 . 2.1", MakeVersion(5, 2, 1, 0)},
      {"\t1.\t2", MakeVersion(1, 2, 0, 0)},
      {"1.2.3.4", MakeVersion(1, 2, 3, 4)},
      {"1.2.3.4.5", MakeVersion(1, 2, 3, 4)},
      {"1.2.3.4 anything", MakeVersion(1, 2, 3, 4)},
      {"+1.-0", MakeVersion(1, 0, 0, 0)},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"010.0", MakeVersion(10, 0, 0, 0)},
  };
  for (const Case& c : valid) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(StrToVersion(QString::fromUtf8(c.text)), c.version);
    TVersion version = 0;
    EXPECT_TRUE(TryStrToVersion(QString::fromUtf8(c.text), version));
    EXPECT_EQ(version, c.version);
  }

  const char* invalid[] = {"",    " ",    "1.2 ", "1..2", "256",  "1.256", "-1",     "5.",
                           ".5",  "1,2",  "5x",   "$10",  "1.2.3.4294967296", "99999999999",
                           "1 2", "\xC2\xA0" "1"};
  for (const char* text : invalid) {
    SCOPED_TRACE(text);
    try {
      StrToVersion(QString::fromUtf8(text));
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "StrToVersion: Invalid version number.");
    }
    TVersion version = 0x0A0B0C0D;
    EXPECT_FALSE(TryStrToVersion(QString::fromUtf8(text), version));
    EXPECT_EQ(version, 0x0A0B0C0Du);  // left alone
  }
  for (const char* head : {"1.2", "1.2.3.4"}) {
    const QString withZero = QLatin1String(head) + QChar(0) + QStringLiteral("x");
    EXPECT_THROW(StrToVersion(withZero), EConvertError);
    TVersion version = 0;
    EXPECT_FALSE(TryStrToVersion(withZero, version));
  }

  // Packed versions compare component by component.
  EXPECT_LT(StrToVersion("1.255.255.255"), StrToVersion("2.0"));
  EXPECT_LT(StrToVersion("127.0"), StrToVersion("128.0"));
}

TEST(VersionTest, VersionToStr) {
  const TVersion v = MakeVersion(5, 2, 1, 0);
  EXPECT_EQ(VersionToStr(v, 4), "5.2.1.0");
  EXPECT_EQ(VersionToStr(v, 2), "5.2");
  EXPECT_EQ(VersionToStr(v, 0), "");
  EXPECT_EQ(VersionToStr(0xFFFEFDFCu), "255.254.253.252");
  EXPECT_EQ(VersionToStr(v, 9), "5.2.1.0");
  EXPECT_EQ(VersionToStr(v, -1), "");
}

TEST(GuidTest, TextConversion) {
  TGUID guid;
  ASSERT_TRUE(TryStrToGUID("{01234567-89AB-cdef-0123-456789ABCDEF}", guid));
  EXPECT_EQ(guid.D1, 0x01234567u);
  EXPECT_EQ(guid.D2, 0x89ABu);
  EXPECT_EQ(guid.D3, 0xCDEFu);
  const std::uint8_t d4[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(std::memcmp(guid.D4, d4, 8), 0);
  EXPECT_EQ(GUIDToString(guid), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(StrToGUID(GUIDToString(guid)), guid);

  EXPECT_TRUE(TryStrToGUID("", guid));
  EXPECT_TRUE(guid.IsNull());
  EXPECT_EQ(GUIDToString(guid), "{00000000-0000-0000-0000-000000000000}");

  const QString invalid[] = {
      "abc",
      "01234567-89AB-CDEF-0123-456789ABCDEF",    // no braces
      "{01234567-89AB-CDEF-0123-456789ABCDEF",   // no closing brace
      "{01234567-89AB-CDEF-0123456789ABCDEF0}",  // dash missing
      "{0123456-789AB-CDEF-0123-456789ABCDEF}",  // dash moved
      "{01234567-89AB-CDEF-0123-456789ABCDEG}",  // not hexadecimal
      "{01234567-89AB-CDEF-0123-456789ABCDEF} ",
      " {01234567-89AB-CDEF-0123-456789ABCDEF}",
      "{+1234567-89AB-CDEF-0123-456789ABCDEF}",
      QStringLiteral("{01234567-89AB-CDEF-0123-456789ABCDE") + QChar(0xFF10) + "}",  // fullwidth 0
  };
  guid = StrToGUID("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  for (const QString& text : invalid) {
    SCOPED_TRACE(text.toStdString());
    TGUID out = guid;
    EXPECT_FALSE(TryStrToGUID(text, out));
    EXPECT_EQ(out, guid);
    try {
      StrToGUID(text);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "StrToGUID: Cannot convert string to GUID");
    }
  }
}

TEST(SizeTextTest, PointDecimalSeparator) {
  LocaleScope scope(QLocale::c());
  constexpr std::int64_t KiB = 1024, GiB = KiB * KiB * KiB, TiB = GiB * KiB;
  const unsigned pages = suKB | suMB | suGB;  // 14
  struct Case {
    unsigned units;
    int decimals;
    bool minimum;
    std::int64_t size;
    const char* text;
  };
  const Case cases[] = {
      {pages, 1, false, 500, "0.5 KB"},
      {pages, 1, false, 1536, "1.5 KB"},
      {pages, 1, false, 5 * GiB, "5.0 GB"},
      {pages, 1, false, 2 * TiB, "2048.0 GB"},
      {pages, 1, false, KiB * KiB - 1, "1024.0 KB"},  // rounding does not move the unit
      {pages, 1, false, 1, "0.0 KB"},
      {pages, 1, true, 1, "0.1 KB"},
      {pages, 2, true, 1, "0.01 KB"},
      {pages, 1, true, 0, "0.0 KB"},
      {0, 1, false, 1023, "1023 bytes"},
      {0, 1, false, 1024, "1.0 KB"},
      {0, 1, false, TiB, "1.0 TB"},
      {0, 1, false, -5, "-5 bytes"},
      {0, 1, false, INT64_MAX, "8388608.0 TB"},
      {suAll, 2, false, 1536, "1.50 KB"},
      {0xFFE0, 1, false, 1024, "1.0 KB"},  // no known unit: all of them
      {suBytes, 1, false, TiB, "1099511627776 bytes"},
      {suKB, 0, false, TiB, "1073741824 KB"},
      {suTB, 0, false, 1, "0 TB"},
      {suTB, 0, true, 1, "1 TB"},
      {suBytes | suGB, 1, false, 1023, "1023 bytes"},
      {suBytes | suGB, 1, false, 2047, "0.0 GB"},
      {suBytes | suGB, 1, false, 1536 * KiB * KiB, "1.5 GB"},
      {suMB, -3, false, 3 * KiB * KiB, "3 MB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SizeToStr(c.units, c.decimals, c.minimum, c.size), c.text);
  }
  EXPECT_EQ(_SizeToStr2(1536, 15, 1, false), "1.5 KB");
}

TEST(SizeTextTest, FollowsTheDefaultLocaleWithoutGrouping) {
  LocaleScope scope(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(SizeToStr(14, 1, false, 1536), "1,5 KB");
  EXPECT_EQ(SizeToStr(14, 1, false, std::int64_t{2} << 40), "2048,0 GB");
  EXPECT_EQ(SizeToStr(0, 1, false, 123456), "120,6 KB");
  EXPECT_EQ(SizeToStr(suBytes, 1, false, 123456), "123456 bytes");
}

TEST(FileNameTest, ReplacesWhatSomeFileSystemRejects) {
  struct Case {
    QString name;
    QString result;
  };
  const Case cases[] = {
      {"Chart Set North Sea", "Chart Set North Sea"},
      {"a/b", "a_b"},
      {"\\/:*?\"<>|", "_________"},
      {"a\tb\nc", "a_b_c"},
      {QStringLiteral("a") + QChar(0) + "b", "a_b"},
      {QStringLiteral("x") + QChar(0x7F) + QChar(0x85), "x__"},
      {"name.", "name"},
      {"name. . ", "name"},
      {"  name  ", "name"},
      {"..a", "..a"},
      {".", "_"},
      {"..", "_"},
      {"", "_"},
      {"   ", "_"},
      {"../..", ".._"},
      {"CON", "CON_"},
      {"con.txt", "con_.txt"},
      {"Nul .x", "Nul_ .x"},
      {"COM1", "COM1_"},
      {"lpt9.tar.gz", "lpt9_.tar.gz"},
      {QStringLiteral("COM") + QChar(0x00B9), QStringLiteral("COM") + QChar(0x00B9) + "_"},
      {"CONOUT$", "CONOUT$_"},
      {"COM10", "COM10"},
      {"CONSOLE", "CONSOLE"},
      {"AUXILIARY.txt", "AUXILIARY.txt"},
      {"x.CON", "x.CON"},
      {QString::fromUtf8("Øresund – Kattegat 🌊"), QString::fromUtf8("Øresund – Kattegat 🌊")},
      {QString(QChar(0xD800)) + "a", "_a"},  // unpaired surrogate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    EXPECT_EQ(FileNameReplaceInvalidChars(c.name), c.result);
  }

  // Long names are cut on a character boundary, short enough for every file system.
  const QString longName = QString(300, QChar(0x00E9));
  const QString cut = FileNameReplaceInvalidChars(longName);
  EXPECT_LE(cut.toUtf8().size(), 255);
  EXPECT_EQ(cut, QString(125, QChar(0x00E9)));
  EXPECT_EQ(FileNameReplaceInvalidChars(QString(249, 'a') + " .b"), QString(249, 'a'));
}

TEST(FileNameTest, RandomNamesAlwaysGiveOneUsableName) {
  const char16_t alphabet[] = {'a', 'C', 'O', 'N', 'l', 'p', 't', '1', '.', ' ', '/', '\\',
                               ':', '*', 0,   '\t', 0xE9, 0xD83C, 0xDF0A, 0x2028};
  std::mt19937 random(4711);
  for (int round = 0; round < 5000; ++round) {
    QString name;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) name += QChar(alphabet[random() % std::size(alphabet)]);
    const QString result = FileNameReplaceInvalidChars(name);
    SCOPED_TRACE(name.toStdString());
    ASSERT_FALSE(result.isEmpty());
    ASSERT_NE(result, ".");
    ASSERT_NE(result, "..");
    ASSERT_FALSE(result.contains('/') || result.contains('\\') || result.contains(QChar(0)));
    ASSERT_FALSE(result.endsWith('.') || result.endsWith(' '));
    ASSERT_EQ(FileNameReplaceInvalidChars(result), result);  // clean names stay as they are
  }
}

TEST(TimeTest, UnixTimeToDateTime) {
  EXPECT_DOUBLE_EQ(UnixTimeToDateTime(0), 25569.0);  // 1970-01-01 00:00
  EXPECT_DOUBLE_EQ(UnixTimeToDateTime(86400 + 43200), 25570.5);
  EXPECT_DOUBLE_EQ(UnixTimeToDateTime(-86400), 25568.0);
  EXPECT_DOUBLE_EQ(UnixTimeToDateTime(951782400), 36585.0);  // 2000-02-29
  EXPECT_DOUBLE_EQ(UnixTimeToDateTime(INT32_MAX), 25569.0 + INT32_MAX / 86400.0);
}

TEST(LocaleTest, InitLocaleKeepsStoredNumbersWithAPoint) {
  LocaleScope scope(QLocale::c());
  InitLocale();
  EXPECT_EQ(QLocale(), QLocale::system());
  EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
}

}  // namespace
