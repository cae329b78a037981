#pragma once

// Answers every message box of the test on its own and records what was asked.
// Header only: include it from tests that link the foundation.

#include "CvMsgBoxPresenter.h"

#include <QList>
#include <QStringList>

namespace cvtest {

class BoxRecorder {
 public:
  explicit BoxRecorder(int answer = mrOk) : answer_(answer) {
    previous_ = SetMsgBoxPresenter([this](const TMsgBoxRequest& r) {
      boxes.push_back(r);
      texts.push_back(r.text);
      return answer_;
    });
  }
  ~BoxRecorder() { SetMsgBoxPresenter(previous_); }
  BoxRecorder(const BoxRecorder&) = delete;
  BoxRecorder& operator=(const BoxRecorder&) = delete;

  void Answer(int answer) { answer_ = answer; }
  void Clear() {
    boxes.clear();
    texts.clear();
  }

  QList<TMsgBoxRequest> boxes;
  QStringList texts;

 private:
  int answer_;
  TMsgBoxPresenter previous_;
};

}  // namespace cvtest
