#include "CvPUSClient.h"

#include "CvErrors.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "CvPUSTransport.h"
#include "CvStreams.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Shared with the server: every byte of the form is XORed with it.
constexpr std::uint8_t kScrambleKey = 0x5A;

constexpr char kDefaultURL[] = "https://pus.corvane.com/pus/pus.php";

constexpr int kWriteBufferSize = 8192;

// Longest line, and longest history text, taken from an answer: a server that never ends
// its line must not fill the memory.
constexpr qsizetype kMaxLineSize = 1024 * 1024;
constexpr qsizetype kMaxHistorySize = 64 * 1024 * 1024;

// Keep the user agent stable ("Deployer 1"): the server side identifies this client by it.
QByteArray UserAgent() {
  const TProgInfo info = GetProgInfo();
  return info.Name.toUtf8() + ' ' + QByteArray::number(info.Version >> 24);
}

// A decimal int32 with an optional sign and nothing else around it.
bool ParseDecimal(const QByteArray& line, std::int32_t& value) {
  qsizetype i = 0;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  if (i == line.size()) return false;
  long long v = 0;
  for (; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    v = v * 10 + (line[i] - '0');
    if (v > 2147483648LL) return false;
  }
  v = negative ? -v : v;
  if (v > 2147483647LL) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

// "YYYY-MM-DD" with an optional " hh:mm" and ":ss", as the server writes its dates, in days
// since 1899-12-30 with the time of day as fraction.
bool ParseDateTime(const QByteArray& text, double& dateTime) {
  qsizetype pos = 0;
  const auto digits = [&](int maxDigits, int& value) {
    const qsizetype start = pos;
    value = 0;
    while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9')
      value = value * 10 + (text[pos++] - '0');
    return pos > start;
  };
  const auto take = [&](char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  };
  int year = 0, month = 0, day = 0;
  if (!digits(4, year) || !take('-') || !digits(2, month) || !take('-') || !digits(2, day))
    return false;
  const QDate date(year, month, day);
  if (!date.isValid() || year < 1) return false;
  int hour = 0, minute = 0, second = 0;
  if (pos < text.size()) {
    if (!take(' ') || !digits(2, hour) || !take(':') || !digits(2, minute)) return false;
    if (take(':') && !digits(2, second)) return false;
    if (pos < text.size() || hour > 23 || minute > 59 || second > 59) return false;
  }
  static const qint64 kEpoch = QDate(1899, 12, 30).toJulianDay();
  const double days = static_cast<double>(date.toJulianDay() - kEpoch);
  const double fraction = (hour * 3600 + minute * 60 + second) / 86400.0;
  // Before the epoch the fraction counts away from zero, as the date-time encoding has it.
  dateTime = days < 0 ? days - fraction : days + fraction;
  return true;
}

// Readers of the lines of a version record, one field each; false for a malformed line.
bool ReadGuid(const QByteArray& line, TPUSVersionInfo& version) {
  return TryStrToGUID(QString::fromLatin1(line), version.Guid);
}

bool ReadProductVersion(const QByteArray& line, TPUSVersionInfo& version) {
  return TryStrToVersion(QString::fromLatin1(line), version.ProductVersion);
}

template <double TPUSVersionInfo::*Field>
bool ReadDate(const QByteArray& line, TPUSVersionInfo& version) {
  return ParseDateTime(line, version.*Field);
}

template <std::int32_t TPUSVersionInfo::*Field>
bool ReadNumber(const QByteArray& line, TPUSVersionInfo& version) {
  return ParseDecimal(line, version.*Field);
}

template <QString TPUSVersionInfo::*Field>
bool ReadText(const QByteArray& line, TPUSVersionInfo& version) {
  version.*Field = QString::fromUtf8(line);
  return true;
}

// A name from the answer must name a file inside the download folder and nothing else.
bool IsPlainFileName(const QString& name) {
  return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
         !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
         !name.contains(QChar(u'\0'));
}

}  // namespace

QString DefaultPUSURL() {
  QString url = qEnvironmentVariable("CORVANE_PUS_URL");
  if (url.isEmpty()) url = GetAppReg().ReadString(rrSettings, "Servers", "UpdateServer", "");
  return url.isEmpty() ? QString::fromLatin1(kDefaultURL) : url;
}

QByteArray PUSCommandCode(TPUSCommand command) {
  switch (command) {
    case pcReqVersion: return QByteArrayLiteral("vi2");
    case pcReqHistory: return QByteArrayLiteral("vh");
    case pcReqUpdateFile: return QByteArrayLiteral("uf");
    case pcNone: break;
  }
  return {};
}

QString PUSCommandName(TPUSCommand command) {
  switch (command) {
    case pcReqVersion: return QStringLiteral("pcReqVersion");
    case pcReqHistory: return QStringLiteral("pcReqHistory");
    case pcReqUpdateFile: return QStringLiteral("pcReqUpdateFile");
    case pcNone: break;
  }
  return QStringLiteral("pcNone");
}

QByteArray PUSScrambleForm(const QByteArray& form) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  QByteArray hex;
  hex.reserve(form.size() * 2);
  for (const char c : form) {
    const auto v = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) ^ kScrambleKey);
    if (v >= 16) hex.append(kHex[v >> 4]);
    hex.append(kHex[v & 15]);
  }
  QByteArray body = QByteArrayLiteral("d=");
  // Percent-encoding leaves letters and digits alone, so hexadecimal text passes unchanged.
  for (const char c : hex) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      body.append(c);
    } else {
      const auto u = static_cast<std::uint8_t>(c);
      body.append('%').append(kHex[u >> 4]).append(kHex[u & 15]);
    }
  }
  return body;
}

TPUSClient::TPUSClient(QObject* owner)
    : QObject(owner), fTransport(std::make_unique<TPUSTransport>()) {
  fTransport->SetUserAgent(UserAgent());
  fTransport->OnData = [this](const char* data, qint64 length) { DataArrived(data, length); };
  fTransport->OnDone = [this](int error) { TransportDone(error); };
  SetURL(DefaultPUSURL());
  fSendStream.open(QIODevice::ReadWrite);
  fTransport->SetBodySource(&fSendStream);
}

TPUSClient::~TPUSClient() {
  *fAlive = false;
  fTransport->OnData = nullptr;
  fTransport->OnDone = nullptr;
  fTransport->Abort();
  CloseFile();  // the part already written stays on disk
}

QString TPUSClient::URL() const { return fTransport->URL(); }
void TPUSClient::SetURL(const QString& url) { fTransport->SetURL(url); }

void TPUSClient::SetDownloadFolder(const QString& folder) {
  fDownloadFolder = folder;
  if (!fDownloadFolder.endsWith(QLatin1Char('/'))) fDownloadFolder += QLatin1Char('/');
}

void TPUSClient::BeginCommand(TPUSCommand command) {
  fCommand = command;
  fLine.clear();
  fForm.clear();
  fSocketError = 0;
  AddParam("c", PUSCommandCode(command));
}

void TPUSClient::AddParam(const QByteArray& name, const QByteArray& value) {
  if (!fForm.isEmpty()) fForm.append('&');
  fForm.append(name).append('=').append(value);
}

int TPUSClient::Send() {
  SetState(psStatus);
  try {
    fSendStream.buffer() = PUSScrambleForm(fForm);
    fSendStream.seek(0);
    fTransport->SetContentType(QByteArrayLiteral("application/x-www-form-urlencoded"));
    switch (fTransport->Post()) {
      case TPostResult::prStarted: return 0;
      case TPostResult::prBusy: return prBusy;
      case TPostResult::prNothingToPost: return prNothingToPost;
      case TPostResult::prOverflow: return prOverflow;
      case TPostResult::prRefused: return prRefused;
      case TPostResult::prNoNetwork: break;  // a start that failed
    }
  } catch (...) {
  }
  return prStartFailed;
}

void TPUSClient::StartCommand(TPUSCommand command, const TGUIDsArray& guids) {
  // A request while the transport still runs (or owes the completion notice of) another one
  // is refused without touching that one: its state, answer and result stay as they are.
  if (fTransport->IsBusy()) {
    const int running = fLastResult;
    fLastResult = prBusy;
    const auto alive = fAlive;
    FireDone(command, prBusy);
    if (*alive) fLastResult = running;
    return;
  }
  fGUIDs = guids;
  fCounter = 0;
  fVersion = TPUSVersionInfo{};
  fHistory.clear();
  fFileName.clear();
  fSignatureName.clear();
  fNameRefused = false;
  fFileSize = 0;
  fBytesWritten = 0;
  BeginCommand(command);
  if (command == pcReqHistory) {
    AddParam("g", GUIDToString(guids.front()).toLatin1());
  } else {
    AddParam("gc", QByteArray::number(static_cast<qint64>(guids.size())));
    for (size_t i = 0; i < guids.size(); ++i)
      AddParam("g" + QByteArray::number(static_cast<qint64>(i)),
               GUIDToString(guids[i]).toLatin1());
  }
  fLastResult = Send();
  if (fLastResult != 0) {
    // No completion notice follows a refused request, so the client is idle again at once.
    fCommand = pcNone;
    FireDone(command, fLastResult);
  }
}

void TPUSClient::RequestVersion(const TGUIDsArray& guids) { StartCommand(pcReqVersion, guids); }
void TPUSClient::RequestHistory(const TGUID& guid) { StartCommand(pcReqHistory, TGUIDsArray{guid}); }
void TPUSClient::RequestUpdateFile(const TGUIDsArray& guids) {
  StartCommand(pcReqUpdateFile, guids);
}

void TPUSClient::SetState(TParseState state) {
  fState = state;
  fLine.clear();
}

void TPUSClient::FireDone(TPUSCommand command, int result) {
  if (OnCommandDone) OnCommandDone(this, command, result);
}

void TPUSClient::FinishCommand(int result) {
  fIgnoreNextCompletion = true;
  fTransport->Abort();
  fLastResult = result;
  CloseFile();
  FireDone(fCommand, result);
}

bool TPUSClient::CloseFile() {
  if (!fFile) return true;
  bool closed = true;
  try {
    fFile->Close();
  } catch (const EStreamError&) {
    closed = false;
  }
  fFile.reset();
  return closed;
}

TGUID TPUSClient::CurrentGUID() const {
  if (fCounter >= 1 && static_cast<size_t>(fCounter) <= fGUIDs.size())
    return fGUIDs[static_cast<size_t>(fCounter - 1)];
  return TGUID{};
}

void TPUSClient::TransportDone(int error) {
  const TPUSCommand command = fCommand;
  fCommand = pcNone;
  if (fIgnoreNextCompletion) {
    fIgnoreNextCompletion = false;
    return;
  }
  if (error == teHostNotFound || error == teTryAgain || error == teNoAddress ||
      error == teHostUnreachable) {
    fLastResult = prHostNotFound;
  } else if (error >= 10000) {
    fLastResult = prSocketError;
    fSocketError = static_cast<std::uint16_t>(error);
  } else if (!CheckComplete(command)) {
    fLastResult = prMalformed;
  }
  // A file that stopped short stays on disk, but not open.
  CloseFile();
  FireDone(command, fLastResult);
}

bool TPUSClient::TakeSignedFile() {
  const QString signature = fSignatureName;
  fSignatureName.clear();
  if (!signature.isEmpty() && signature == fFileName + QLatin1String(".sig")) return true;
  if (fFileName.endsWith(QLatin1String(".sig"))) fSignatureName = fFileName;
  return false;
}

bool TPUSClient::CheckComplete(TPUSCommand command) const {
  if (fLastResult != 0) return true;  // already failed: that result stands
  // A last file named "*.sig" that no file followed was a product's file of its own.
  if (fLine.isEmpty() && fState == psFileName && !fSignatureName.isEmpty() &&
      static_cast<size_t>(fCounter) == fGUIDs.size())
    return true;
  if (!fLine.isEmpty() || fState != psEnd) return false;
  if (command == pcReqVersion || command == pcReqUpdateFile)
    return static_cast<size_t>(fCounter) == fGUIDs.size();
  return command == pcReqHistory;
}

void TPUSClient::DataArrived(const char* data, qint64 length) {
  // An answer of 400 or more is reported by its status; its body is not read.
  const int status = fTransport->StatusCode();
  if (status >= 400) {
    fLastResult = status;
    return;
  }
  const char* p = data;
  const char* end = data + length;
  switch (fCommand) {
    case pcReqVersion: ParseVersion(p, end); break;
    case pcReqHistory: ParseHistory(p, end); break;
    case pcReqUpdateFile: ParseUpdateFile(p, end); break;
    case pcNone: break;
  }
}

bool TPUSClient::TakeLine(const char*& p, const char* end) {
  const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
  if (fLine.size() + ((lf ? lf : end) - p) > kMaxLineSize) {
    p = end;
    FinishCommand(prMalformed);
    return false;
  }
  if (!lf) {
    fLine.append(p, end - p);
    p = end;
    return false;
  }
  fLine.append(p, lf - p);
  p = lf + 1;
  return true;
}

bool TPUSClient::TakeStatusLine(const char*& p, const char* end, TParseState next) {
  if (!TakeLine(p, end)) return false;
  std::int32_t status = 0;
  if (fLine.isEmpty()) {
    FinishCommand(prEmptyStatus);
    return false;
  }
  if (!ParseDecimal(fLine, status)) {
    FinishCommand(prMalformed);
    return false;
  }
  if (status != 0) {
    FinishCommand(status);
    return false;
  }
  fCounter = 0;
  SetState(next);
  return true;
}

void TPUSClient::ParseVersion(const char* p, const char* end) {
  const auto alive = fAlive;
  while (p < end) {
    switch (fState) {
      case psStatus:
        if (!TakeStatusLine(p, end, psGuid)) return;
        break;
      case psAfterRecord: {
        // The record is reported once the byte after it has arrived: only then is it known
        // whether the answer ends or another record follows.
        const char c = *p++;
        if (static_cast<std::uint8_t>(c) == 0xFF) {
          SetState(psEnd);
        } else {
          SetState(psGuid);
          fLine.append(c);
        }
        if (OnRequestVersion)
          OnRequestVersion(this, fCounter, static_cast<int>(fGUIDs.size()), fVersion);
        if (!*alive) return;
        break;
      }
      case psEnd:
        FinishCommand(prMalformed);
        return;
      default:
        if (!TakeLine(p, end)) return;
        if (!VersionLine()) return;
        break;
    }
  }
}

bool TPUSClient::VersionLine() {
  using TRead = bool (*)(const QByteArray& line, TPUSVersionInfo& version);
  struct TField {
    TParseState State;
    TRead Read;
  };
  // The lines of a record in the order the server writes them.
  static constexpr TField kFields[] = {
      {psGuid, ReadGuid},
      {psVersion, ReadProductVersion},
      {psDate1, ReadDate<&TPUSVersionInfo::Date1>},
      {psDate2, ReadDate<&TPUSVersionInfo::Date2>},
      {psText2, ReadText<&TPUSVersionInfo::Text2>},
      {psNumber1, ReadNumber<&TPUSVersionInfo::Number1>},
      {psText1, ReadText<&TPUSVersionInfo::Text1>},
      {psText3, ReadText<&TPUSVersionInfo::Text3>},
      {psText4, ReadText<&TPUSVersionInfo::Text4>},
      {psNumber2, ReadNumber<&TPUSVersionInfo::Number2>},
  };
  const auto* field = std::find_if(std::begin(kFields), std::end(kFields),
                                   [this](const TField& f) { return f.State == fState; });
  if (field == std::end(kFields)) {
    FinishCommand(prMalformed);
    return false;
  }
  if (field == std::begin(kFields)) {  // a new record
    // One more than asked for: the owner's index would point past its own list.
    if (static_cast<size_t>(fCounter) >= fGUIDs.size()) {
      FinishCommand(prMalformed);
      return false;
    }
    ++fCounter;
    fVersion = TPUSVersionInfo{};
  }
  const bool ok = field->Read(fLine, fVersion);
  const auto* next = field + 1;
  SetState(next == std::end(kFields) ? psAfterRecord : next->State);
  if (!ok) FinishCommand(prMalformed);
  return ok;
}

void TPUSClient::ParseHistory(const char* p, const char* end) {
  while (p < end) {
    switch (fState) {
      case psStatus:
        if (!TakeStatusLine(p, end, psHistoryText)) return;
        break;
      case psHistoryText: {
        const auto* ff = static_cast<const char*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
        if (fLine.size() + ((ff ? ff : end) - p) > kMaxHistorySize) {
          FinishCommand(prMalformed);
          return;
        }
        if (!ff) {
          fLine.append(p, end - p);
          return;
        }
        fLine.append(p, ff - p);
        fHistory = QString::fromUtf8(fLine);
        SetState(psAfterText);
        p = ff;
        break;
      }
      case psAfterText:
        if (static_cast<std::uint8_t>(*p++) != 0xFF) {
          FinishCommand(prMalformed);
          return;
        }
        SetState(psEnd);
        if (OnRequestHistory) {
          const auto alive = fAlive;
          OnRequestHistory(this, fHistory);
          if (!*alive) return;
        }
        break;
      case psEnd:
      default:
        FinishCommand(prMalformed);
        return;
    }
  }
}

void TPUSClient::ParseUpdateFile(const char* p, const char* end) {
  const auto alive = fAlive;
  const int count = static_cast<int>(fGUIDs.size());
  while (p < end) {
    switch (fState) {
      case psStatus:
        if (!TakeStatusLine(p, end, psFileName)) return;
        break;
      case psFileName:
        if (!TakeLine(p, end)) return;
        fFileName = QString::fromUtf8(fLine);
        if (!TakeSignedFile()) ++fCounter;
        if (fCounter > count) {  // more files than products asked for
          FinishCommand(prMalformed);
          return;
        }
        // The name comes from outside: it may only name a file in the download folder.
        if (!IsPlainFileName(fFileName)) {
          fNameRefused = true;
          FinishCommand(prWriteFailed);
          return;
        }
        SetState(psFileSize);
        break;
      case psFileSize: {
        if (!TakeLine(p, end)) return;
        std::int32_t size = 0;
        if (!ParseDecimal(fLine, size)) {
          FinishCommand(prMalformed);
          return;
        }
        fBytesWritten = 0;
        if (size < 1) {
          fFileSize = size;
          SetState(psFileName);
          if (OnRequestUpdateFile)
            OnRequestUpdateFile(this, 0, size, fCounter, count, CurrentGUID(), CurrentPath());
          if (!*alive) return;
        } else {
          fFileSize = size;
          SetState(psFileData);
        }
        break;
      }
      case psFileData: {
        const qint64 k = std::min<qint64>(end - p, fFileSize - fBytesWritten);
        try {
          if (!fFile) {
            // A link under the name is replaced like a file: opening through it would write
            // wherever it points, outside the download folder.
            const QString path = CurrentPath();
            if (QFileInfo(path).isSymLink() && !QFile::remove(path)) {
              FinishCommand(prWriteFailed);
              return;
            }
            fFile = std::make_unique<TBufferedFileStream>(path, kWriteBufferSize, fmCreate);
          }
          fFile->Write(p, k);
        } catch (const EStreamError&) {
          FinishCommand(prWriteFailed);
          return;
        }
        p += k;
        fBytesWritten += static_cast<std::int32_t>(k);
        if (fBytesWritten == fFileSize) {
          // Closing syncs the file: an installer must be on disk before anyone starts it.
          if (!CloseFile()) {
            FinishCommand(prWriteFailed);
            return;
          }
          fBytesWritten = 0;
          SetState(fCounter < count || !fSignatureName.isEmpty() ? psFileName : psEnd);
          if (OnRequestUpdateFile)
            OnRequestUpdateFile(this, fFileSize, fFileSize, fCounter, count, CurrentGUID(),
                                CurrentPath());
        } else if (OnRequestUpdateFile) {
          OnRequestUpdateFile(this, fBytesWritten, fFileSize, fCounter, count, CurrentGUID(),
                              CurrentPath());
        }
        if (!*alive) return;
        break;
      }
      case psEnd:
      default:
        FinishCommand(prMalformed);
        return;
    }
  }
}

QString TPUSClient::GetErrorText(int result) const {
  if (result == prWriteFailed && fNameRefused) return PUSRefusedNameText(fFileName);
  return PUSErrorText(result, fSocketError, CurrentPath());
}

void TPUSClient::ShowError(const QString& caption) const {
  MsgBoxCaption(caption, GetErrorText(fLastResult), mtWarning, mbOKOnly);
}
