#pragma once

// Client of the Program Update Server: one command at a time as a scrambled form posted to
// "/pus/pus.php", the answer parsed byte by byte while it streams in, results through events.

#include "CvStrUtils.h"

#include <QBuffer>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TBufferedFileStream;
class TPUSTransport;

using TGUIDsArray = std::vector<TGUID>;

enum TPUSCommand : std::uint8_t {
  pcNone = 0,
  pcReqVersion,
  pcReqHistory,
  pcReqUpdateFile,
};

// Result codes besides 0 (success), server status lines and HTTP statuses.
enum : int {
  prMalformed = -1,         // answer malformed or incomplete
  prRefused = -100,         // transport refused the request
  prBusy = -101,            // transport busy with another request
  prNothingToPost = -102,
  prOverflow = -103,
  prEmptyStatus = -1000,    // first line of the answer empty
  prStartFailed = -1001,    // any other failure while starting
  prWriteFailed = -1002,    // a downloaded file could not be created or written
  prHostNotFound = -2000,   // name not found, or host unreachable
  prSocketError = -2001,    // any other socket error; number in SocketError
};

struct TPUSVersionInfo {
  TGUID Guid;
  TVersion ProductVersion = 0;
  double Date1 = 0;                  // days since 1899-12-30, time of day as fraction
  double Date2 = 0;
  std::int32_t Number1 = 0;
  QString Text1;
  QString Text2;
  std::int32_t Number2 = 0;
  QString Text3;
  QString Text4;
};

class TPUSClient;
using TCmdDoneEvent = std::function<void(TPUSClient* Sender, TPUSCommand aCommand, int aCommandResult)>;
using TReqVersionEvent = std::function<void(TPUSClient* Sender, int aIndex, int aCount,
                                            const TPUSVersionInfo& aVersionInfo)>;
using TReqHistoryEvent = std::function<void(TPUSClient* Sender, const QString& aHistory)>;
using TReqUpdateFileEvent =
    std::function<void(TPUSClient* Sender, int aFileProgress, int aFileSize, int aFileIndex,
                       int aFileCount, const TGUID& aGUID, const QString& aFileName)>;

// The update server's endpoint: $CORVANE_PUS_URL, else the settings value "UpdateServer" of
// key "Servers" (root 1), else the built-in one. Empty values count as missing.
QString DefaultPUSURL();

// Wire code of a command ("vi2", "vh", "uf"); empty for pcNone.
QByteArray PUSCommandCode(TPUSCommand command);
// Name of a command as code writes it ("pcReqVersion", ...).
QString PUSCommandName(TPUSCommand command);

// The request body for a plain form: "d=" and the form scrambled into hexadecimal text.
QByteArray PUSScrambleForm(const QByteArray& form);

// The message for a result in the current language; socketError and path are inserted where
// the message has them (-2001, -1002). Empty only for 0.
QString PUSErrorText(int result, int socketError = 0, const QString& path = QString());
// The message of -1002 when the server sent a file name that may not be written (a folder part,
// "..", control characters): no access rights are at fault.
QString PUSRefusedNameText(const QString& name);

class TPUSClient final : public QObject {
  Q_OBJECT

 public:
  explicit TPUSClient(QObject* owner = nullptr);
  ~TPUSClient() override;

  QString URL() const;
  void SetURL(const QString& url);
  QString DownloadFolder() const { return fDownloadFolder; }
  void SetDownloadFolder(const QString& folder);

  void RequestVersion(const TGUIDsArray& guids);
  void RequestVersion(const TGUID& guid) { RequestVersion(TGUIDsArray{guid}); }
  void RequestHistory(const TGUID& guid);
  void RequestUpdateFile(const TGUIDsArray& guids);
  void RequestUpdateFile(const TGUID& guid) { RequestUpdateFile(TGUIDsArray{guid}); }

  bool IsBusy() const { return fCommand != pcNone; }
  TPUSCommand Command() const { return fCommand; }
  int LastResult() const { return fLastResult; }
  std::uint16_t SocketError() const { return fSocketError; }
  // The transport, for settings the client leaves alone (tests set its limits).
  TPUSTransport& Transport() { return *fTransport; }

  QString GetErrorText(int result) const;
  // A warning box with OK and GetErrorText(LastResult).
  void ShowError(const QString& caption) const;

  TCmdDoneEvent OnCommandDone;
  TReqVersionEvent OnRequestVersion;
  TReqHistoryEvent OnRequestHistory;
  TReqUpdateFileEvent OnRequestUpdateFile;

 private:
  enum TParseState : std::uint8_t {
    psStatus,
    // version answer
    psGuid, psVersion, psDate1, psDate2, psText2, psNumber1, psText1, psText3, psText4,
    psNumber2, psAfterRecord,
    // history answer
    psHistoryText, psAfterText,
    // file answer
    psFileName, psFileSize, psFileData,
    psEnd,
  };

  void BeginCommand(TPUSCommand command);
  void AddParam(const QByteArray& name, const QByteArray& value);
  int Send();
  void StartCommand(TPUSCommand command, const TGUIDsArray& guids);
  void SetState(TParseState state);
  void FinishCommand(int result);
  void FireDone(TPUSCommand command, int result);
  void DataArrived(const char* data, qint64 length);
  void TransportDone(int error);
  // Appends the bytes up to the next LF to the line; true when the line is complete. A line
  // over 1 MiB ends the command (-1) and gives false.
  bool TakeLine(const char*& p, const char* end);
  // Takes the status line and, when it says success, goes on with next. False while the line
  // is incomplete or when the status ended the command.
  bool TakeStatusLine(const char*& p, const char* end, TParseState next);
  void ParseVersion(const char* p, const char* end);
  void ParseHistory(const char* p, const char* end);
  void ParseUpdateFile(const char* p, const char* end);
  bool VersionLine();
  // A file "<name>.sig" directly followed by "<name>" is that file's detached signature and
  // shares its product's place: true when the file just named is the one a signature before
  // it signs (it does not count again). Remembers a "*.sig" name for the next file.
  bool TakeSignedFile();
  bool CheckComplete(TPUSCommand command) const;
  // Closes the download file, if one is open; false when its last bytes did not reach the disk.
  bool CloseFile();
  QString CurrentPath() const { return fDownloadFolder + fFileName; }
  TGUID CurrentGUID() const;

  TPUSCommand fCommand = pcNone;
  QByteArray fLine;
  QString fDownloadFolder;
  std::unique_ptr<TPUSTransport> fTransport;
  QByteArray fForm;
  QBuffer fSendStream;
  bool fIgnoreNextCompletion = false;
  TParseState fState = psStatus;
  TGUIDsArray fGUIDs;
  int fLastResult = 0;
  std::uint16_t fSocketError = 0;
  int fCounter = 0;
  QString fFileName;
  QString fSignatureName;  // the last file, when it may be the signature of the next one
  bool fNameRefused = false;  // the -1002 of this command is a name the server may not send
  std::int32_t fFileSize = 0;
  std::int32_t fBytesWritten = 0;
  std::unique_ptr<TBufferedFileStream> fFile;
  TPUSVersionInfo fVersion;
  QString fHistory;
  // Cleared by the destructor, so that a parser can tell when an event handler freed us.
  std::shared_ptr<bool> fAlive = std::make_shared<bool>(true);
};
