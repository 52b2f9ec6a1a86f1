// The progress dialog: step and progress texts, a busy or percent bar, and a
// confirmation before the user cancels the setup.
#pragma once

#include <string>

#include "dialog_base.h"
#include "messages.h"

namespace zan {

// The percentage for `amount` of `total`: the ratio in single precision, times
// 100, truncated (29 of 100 gives 28). -1 when no percentage can be made.
int PercentOf(int amount, int total);

// The waiting text: "%SECONDS%" in `format` replaced by the seconds left.
std::wstring RetryWaitText(const std::wstring& format, int seconds);

class CProgressDlg : public DialogBase {
 public:
  explicit CProgressDlg(IDownloadCallback* callback) : callback_(callback) {}

  HWND Create() { return DialogBase::Create(kTemplate, nullptr); }
  void SetTexts(const std::wstring& progressText, const std::wstring& stepText);
  void SetConfirmTexts(const std::wstring& text, const std::wstring& caption);
  void EnableClose(bool enable);

  static const int kTemplate;

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnInitDialog();
  void OnPosition(int amount);
  void OnMode(bool busy);
  void OnCancel();
  void ShowPercent(int percent);
  // While a request waits to be tried again, the step text counts down the
  // seconds (UM_PROGRESS_WAITING, then a timer); 0 puts the step back.
  void OnWaiting(int seconds);
  void ShowWaiting();

  HWND bar_ = nullptr;
  HWND progressText_ = nullptr;
  HWND percentText_ = nullptr;
  HWND stepText_ = nullptr;
  std::wstring confirmText_;
  std::wstring confirmCaption_;
  const std::wstring percentFormat_ = L"(%d%%)";
  int total_ = 100;
  int lastPercent_ = 0;
  bool closeEnabled_ = true;
  std::wstring stepTextShown_;
  int waitSeconds_ = 0;
  IDownloadCallback* callback_;
};

// Forces a window to the foreground and keeps it topmost.
void BringToFront(HWND hwnd);

}  // namespace zan
