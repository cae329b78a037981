#pragma once

// The one road for every message box. Engine and windows call MsgBox / MsgBoxCaption; what
// reaches the user depends on the presenter installed: the real modal box (src/ui), a console
// printer (cvtool) or a recorder that answers on its own (tests, unattended runs).

#include <QString>

#include <cstdint>
#include <functional>

enum TMsgDlgType : std::uint8_t {
  mtWarning = 0,
  mtError = 1,
  mtInformation = 2,
  mtConfirmation = 3,
  mtCustom = 4,
};

// Buttons are bits of a set, numbered as below.
enum TMsgDlgBtn : int {
  mbYes = 0,
  mbNo = 1,
  mbOK = 2,
  mbCancel = 3,
  mbAbort = 4,
  mbRetry = 5,
  mbIgnore = 6,
  mbAll = 7,
  mbNoToAll = 8,
  mbYesToAll = 9,
  mbHelp = 10,
};
using TMsgDlgButtons = std::uint32_t;
constexpr TMsgDlgButtons MsgButton(TMsgDlgBtn b) { return TMsgDlgButtons{1} << b; }
constexpr TMsgDlgButtons mbOKOnly = MsgButton(mbOK);                   // value 4
constexpr TMsgDlgButtons mbYesNo = MsgButton(mbYes) | MsgButton(mbNo);  // value 3

enum TModalResult : int {
  mrNone = 0,
  mrOk = 1,
  mrCancel = 2,
  mrAbort = 3,
  mrRetry = 4,
  mrIgnore = 5,
  mrYes = 6,
  mrNo = 7,
  mrAll = 8,
  mrNoToAll = 9,
  mrYesToAll = 10,
};

// One box as asked for. Caption is the caption the box shows: the caller's when given or the
// kind is custom, else the kind's caption in the current language.
struct TMsgBoxRequest {
  QString caption;
  QString text;
  TMsgDlgType kind = mtInformation;
  TMsgDlgButtons buttons = mbOKOnly;
};

using TMsgBoxPresenter = std::function<int(const TMsgBoxRequest&)>;

// Installs a presenter and returns the one it replaces. An empty presenter restores the
// default, which writes the box to stderr and answers with the box's cancel button.
TMsgBoxPresenter SetMsgBoxPresenter(TMsgBoxPresenter presenter);

int MsgBox(const QString& text, TMsgDlgType kind, TMsgDlgButtons buttons);
int MsgBoxCaption(const QString& caption, const QString& text, TMsgDlgType kind,
                  TMsgDlgButtons buttons);

// The kind's own caption in the current language (empty for custom).
QString MsgKindCaption(TMsgDlgType kind);

// Result of a button; the button that Enter and Escape press for a set.
int MsgButtonResult(TMsgDlgBtn button);
TMsgDlgBtn MsgDefaultButton(TMsgDlgButtons buttons);
TMsgDlgBtn MsgCancelButton(TMsgDlgButtons buttons);
