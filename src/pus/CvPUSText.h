#pragma once

// Text conversions the update-server client needs: GUIDs in registry form, packed versions and
// the date-times of the version answer.
// TODO(lead): switch to TGUID, GUIDToString, TryStrToGUID, StrToVersion and VersionToStr of
// CvStrUtils once they are merged, and remove this file pair.

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace cvpus {

// A 16-byte GUID, laid out as the registry form reads: Data1-Data2-Data3-Data4[0..1]-Data4[2..7].
struct TGUID {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::uint8_t D4[8] = {};

  friend bool operator==(const TGUID& a, const TGUID& b) = default;
};

// The braced upper-case form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, 38 characters.
QString GUIDToString(const TGUID& guid);

// The braced form in either case; an empty text gives the zero GUID. False when it does not read.
bool TryStrToGUID(const QString& text, TGUID& guid);

// Dotted decimal "major[.minor[.release[.build]]]" packed into one byte each, major on top.
// Blanks around numbers and dots are allowed; text after a fourth component is ignored.
bool TryStrToVersion(const QByteArray& text, std::uint32_t& version);

// The first count components (0..4) of a packed version, joined by ".".
QString VersionToStr(std::uint32_t version, int count = 4);

// "YYYY-MM-DD" with an optional " hh:mm:ss" (seconds may be left out) as a local date-time, in
// days since 1899-12-30 with the time of day as fraction.
bool TryStrToDateTime(const QByteArray& text, double& dateTime);

}  // namespace cvpus
