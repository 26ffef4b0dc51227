// The confirmation before an update (template 140): a caption-less popup
// with the warning icon, the bold heading, the warning about unplugging,
// Cancel and OK (the default). Both buttons, Esc and Return end it; only OK
// confirms.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "app/core/texts.h"

namespace lumavix {

class WinConfirmDialog {
 public:
  WinConfirmDialog() = default;
  ~WinConfirmDialog();
  WinConfirmDialog(const WinConfirmDialog&) = delete;
  WinConfirmDialog& operator=(const WinConfirmDialog&) = delete;

  void SetTexts(UiLanguage lang, const std::u16string& toolModelName);

  // Runs the dialog over `owner` until it ends; true when OK ended it.
  [[nodiscard]] bool Run(HINSTANCE instance, HWND owner);
  // Makes the dialog without running it (hidden, modeless): for tests.
  [[nodiscard]] HWND CreateHidden(HINSTANCE instance, HWND owner);
  // Ends an open dialog as cancelled; nothing when none is open.
  void End();

  [[nodiscard]] HWND hwnd() const { return hwnd_; }
  [[nodiscard]] bool open() const { return hwnd_ != nullptr; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void CreateControls();
  void Finish(INT_PTR result);

  HWND hwnd_ = nullptr;
  bool modal_ = false;
  HFONT headingFont_ = nullptr;
  HICON icon_ = nullptr;
  std::wstring heading_, warning_, cancel_, ok_;
};

}  // namespace lumavix
