#include "CvMsgBoxPresenter.h"

#include "CvLanguage.h"

#include <cstdio>
#include <utility>

namespace {

int ConsoleAnswer(const TMsgBoxRequest& request) {
  std::fprintf(stderr, "%s: %s\n", qPrintable(request.caption), qPrintable(request.text));
  return MsgButtonResult(MsgCancelButton(request.buttons));
}

TMsgBoxPresenter& Presenter() {
  static TMsgBoxPresenter presenter = ConsoleAnswer;
  return presenter;
}

}  // namespace

TMsgBoxPresenter SetMsgBoxPresenter(TMsgBoxPresenter presenter) {
  if (!presenter) presenter = ConsoleAnswer;
  return std::exchange(Presenter(), std::move(presenter));
}

QString MsgKindCaption(TMsgDlgType kind) {
  switch (kind) {
    case mtWarning: return LangText(ctCaptionWarning);
    case mtError: return LangText(ctCaptionError);
    case mtInformation: return LangText(ctCaptionInformation);
    case mtConfirmation: return LangText(ctCaptionConfirm);
    case mtCustom: break;
  }
  return {};
}

int MsgBox(const QString& text, TMsgDlgType kind, TMsgDlgButtons buttons) {
  return MsgBoxCaption(QString(), text, kind, buttons);
}

int MsgBoxCaption(const QString& caption, const QString& text, TMsgDlgType kind,
                  TMsgDlgButtons buttons) {
  TMsgBoxRequest request;
  request.caption = (caption.isEmpty() && kind != mtCustom) ? MsgKindCaption(kind) : caption;
  request.text = text;
  request.kind = kind;
  request.buttons = buttons;
  // Copied so that a presenter may replace itself while it runs.
  const TMsgBoxPresenter presenter = Presenter();
  return presenter(request);
}

int MsgButtonResult(TMsgDlgBtn button) {
  switch (button) {
    case mbYes: return mrYes;
    case mbNo: return mrNo;
    case mbOK: return mrOk;
    case mbCancel: return mrCancel;
    case mbAbort: return mrAbort;
    case mbRetry: return mrRetry;
    case mbIgnore: return mrIgnore;
    case mbAll: return mrAll;
    case mbNoToAll: return mrNoToAll;
    case mbYesToAll: return mrYesToAll;
    case mbHelp: return mrNone;
  }
  return mrNone;
}

TMsgDlgBtn MsgDefaultButton(TMsgDlgButtons buttons) {
  if (buttons & MsgButton(mbOK)) return mbOK;
  if (buttons & MsgButton(mbYes)) return mbYes;
  return mbRetry;
}

TMsgDlgBtn MsgCancelButton(TMsgDlgButtons buttons) {
  if (buttons & MsgButton(mbCancel)) return mbCancel;
  if (buttons & MsgButton(mbNo)) return mbNo;
  return mbOK;
}
