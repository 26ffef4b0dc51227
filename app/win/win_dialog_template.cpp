#include "app/win/win_dialog_template.h"

namespace lumavix {
namespace {

void PushDword(std::vector<WORD>& out, DWORD v) {
  out.push_back(LOWORD(v));
  out.push_back(HIWORD(v));
}

void PushString(std::vector<WORD>& out, std::wstring_view s) {
  for (wchar_t c : s) out.push_back(static_cast<WORD>(c));
  out.push_back(0);
}

}  // namespace

DialogTemplate::DialogTemplate(DWORD style, DWORD exStyle, short widthDlu, short heightDlu,
                               std::wstring_view title, std::wstring_view fontFamily,
                               WORD fontPoints) {
  // DLGTEMPLATE: style, extended style, no items, place and size; then no
  // menu, the standard dialog class, the title and, with DS_SETFONT, the
  // font. std::vector's storage is aligned beyond the DWORD the system needs.
  const bool font = !fontFamily.empty();
  PushDword(words_, style | (font ? DS_SETFONT : 0));
  PushDword(words_, exStyle);
  words_.push_back(0);  // cdit
  words_.push_back(0);  // x
  words_.push_back(0);  // y
  words_.push_back(static_cast<WORD>(widthDlu));
  words_.push_back(static_cast<WORD>(heightDlu));
  words_.push_back(0);  // menu
  words_.push_back(0);  // class
  PushString(words_, title);
  if (font) {
    words_.push_back(fontPoints);
    PushString(words_, fontFamily);
  }
}

}  // namespace lumavix
