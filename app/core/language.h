// Which of the six languages the programs speak: the user's choice read
// from the locale (or, on Windows, the display language), and the
// process-wide language the texts use when none is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumavix {

// The languages of the texts. The numeric values are the row order of the
// text tables.
enum class UiLanguage : std::uint8_t {
  English = 0,
  French = 1,
  German = 2,
  Japanese = 3,
  Italian = 4,
  Dutch = 5,
};
inline constexpr std::size_t kLanguageCount = 6;

// The process-wide language: English until set. The window sets it once at
// start; the command line may set it from the environment.
void SetUiLanguage(UiLanguage lang);
[[nodiscard]] UiLanguage CurrentUiLanguage();

// Language of a POSIX locale: the first non-empty of the three values counts
// (the order in which the C library itself looks them up for messages). Its
// codeset and modifier are ignored, and so is the territory, so "de_AT.UTF-8"
// and "de_CH@euro" are German. Any language without a translation, and "C",
// "POSIX" or no value at all, give English.
[[nodiscard]] UiLanguage LanguageFromLocale(std::string_view lc_all,
                                            std::string_view lc_messages,
                                            std::string_view lang);
// The language of a Windows language id (LANGID; its primary language
// decides): French, German, Japanese, Italian or Dutch, else English.
[[nodiscard]] UiLanguage LanguageFromWindowsLangId(std::uint16_t langid);
// LanguageFromLocale() of LC_ALL, LC_MESSAGES and LANG from the environment;
// on Windows, when none of them is set, of the user's display language.
[[nodiscard]] UiLanguage LanguageFromEnvironment();

}  // namespace lumavix
