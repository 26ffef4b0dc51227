#include "app/core/language.h"

#include <atomic>
#include <cstdlib>
#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

namespace lumavix {

namespace {

std::atomic<UiLanguage> g_language{UiLanguage::English};

// Lower-case ASCII letters of the language part of a locale name: what comes
// before the territory, codeset or modifier.
std::string LocaleLanguage(std::string_view locale) {
  std::string out;
  for (char c : locale) {
    if (c == '_' || c == '-' || c == '.' || c == '@')
      break;
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    out.push_back(c);
  }
  return out;
}

}  // namespace

void SetUiLanguage(UiLanguage lang) {
  if (static_cast<std::size_t>(lang) < kLanguageCount)
    g_language.store(lang, std::memory_order_relaxed);
}

UiLanguage CurrentUiLanguage() {
  return g_language.load(std::memory_order_relaxed);
}

UiLanguage LanguageFromLocale(std::string_view lc_all, std::string_view lc_messages,
                              std::string_view lang) {
  std::string_view locale = !lc_all.empty() ? lc_all : !lc_messages.empty() ? lc_messages : lang;
  const std::string code = LocaleLanguage(locale);
  if (code == "fr")
    return UiLanguage::French;
  if (code == "de")
    return UiLanguage::German;
  if (code == "ja")
    return UiLanguage::Japanese;
  if (code == "it")
    return UiLanguage::Italian;
  if (code == "nl")
    return UiLanguage::Dutch;
  return UiLanguage::English;
}

UiLanguage LanguageFromWindowsLangId(std::uint16_t langid) {
  switch (langid & 0x3FF) {  // the primary language
    case 0x0C: return UiLanguage::French;
    case 0x07: return UiLanguage::German;
    case 0x11: return UiLanguage::Japanese;
    case 0x10: return UiLanguage::Italian;
    case 0x13: return UiLanguage::Dutch;
    default: return UiLanguage::English;
  }
}

UiLanguage LanguageFromEnvironment() {
  auto env = [](const char* name) -> std::string_view {
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
  };
#ifdef _WIN32
  // Windows users set no locale variables: the user's display language
  // decides, unless a variable was set (scripts, tests) to override it.
  if (env("LC_ALL").empty() && env("LC_MESSAGES").empty() && env("LANG").empty())
    return LanguageFromWindowsLangId(::GetUserDefaultUILanguage());
#endif
  return LanguageFromLocale(env("LC_ALL"), env("LC_MESSAGES"), env("LANG"));
}

}  // namespace lumavix
