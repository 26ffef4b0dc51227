// Where each status presentation puts its status line, Update button and
// link, at 96 dpi, as the window's template lays them out: what the core's
// frames say (tests/app) and what the Qt window shows once scaled
// (tests/qtapp). Written out here, not taken from the code, so that a moved
// control shows as a failure.
#pragma once

#include "app/core/device_watch.h"
#include "app/core/texts.h"

namespace lumavix::test {

// The simulated cameras of the status presentations, without the speed keys
// (a file of version 0x0105 for the first Q product id beside them).
struct PresentationCase {
  Presentation presentation;
  const char* profile;
};
inline constexpr PresentationCase kPresentations[] = {
    {Presentation::NoCamera, "none"},
    // A camera of the alternative Q hardware refuses the file.
    {Presentation::NotThisProduct, "q,fw=0104,pid=0E5A"},
    {Presentation::UpdateAvailable, "q,fw=0104"},
    {Presentation::UpToDate, "q,fw=0105"},
    // Listed, then every transfer fails: a camera that does not answer.
    {Presentation::Unreadable, "q,unplug-after=1"},
};

inline PixelRect NotThisProductLink(UiLanguage lang) {
  switch (lang) {
    case UiLanguage::French:
    case UiLanguage::Japanese:
      return {130, 80, 380, 30};
    case UiLanguage::Dutch:
      return {120, 60, 380, 30};
    default:
      return {130, 60, 380, 30};
  }
}

inline PixelRect StatusPlace(Presentation p, UiLanguage lang) {
  switch (p) {
    case Presentation::NotThisProduct:
      if (lang == UiLanguage::English) return {25, 20, 380, 70};
      if (lang == UiLanguage::Dutch) return {25, 20, 380, 80};
      return {25, 20, 400, 80};
    case Presentation::UpdateAvailable:
    case Presentation::Interrupted:
    case Presentation::InterruptedUnidentified:
    case Presentation::Confirmed:
      return {20, 15, 410, 70};
    case Presentation::UpToDate:
      return {50, 30, 340, 70};
    case Presentation::NoCamera:
    case Presentation::CameraBusy:
    case Presentation::Unreadable:
      return {50, 45, 340, 70};
  }
  return {};
}

// The Update button stays at its template place: (76, 36), 70 x 10 dialog
// units, 2 x 2.5 pixels each.
inline constexpr PixelRect kUpdateButtonPlace = {152, 90, 140, 25};

}  // namespace lumavix::test
