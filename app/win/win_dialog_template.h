// In-memory dialog templates: the frame of a dialog (style, size in dialog
// units, title, font) with no controls; the windows create their controls
// themselves, in pixels, when the dialog starts (WM_INITDIALOG).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string_view>
#include <vector>

namespace lumavix {

class DialogTemplate {
 public:
  DialogTemplate(DWORD style, DWORD exStyle, short widthDlu, short heightDlu,
                 std::wstring_view title, std::wstring_view fontFamily, WORD fontPoints);

  // Valid while this object lives; DWORD-aligned as the system wants it.
  [[nodiscard]] const DLGTEMPLATE* get() const {
    return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
  }
  [[nodiscard]] std::size_t bytes() const { return words_.size() * sizeof(WORD); }

 private:
  std::vector<WORD> words_;
};

}  // namespace lumavix
