// The text tables, the sentences composed from them and the language choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "app/core/texts.h"
#include "firmware/engine.h"
#include "portable_env.h"

namespace lumavix::test {
namespace {

constexpr UiLanguage kLanguages[] = {UiLanguage::English,  UiLanguage::French,
                                     UiLanguage::German,   UiLanguage::Japanese,
                                     UiLanguage::Italian,  UiLanguage::Dutch};
constexpr const char* kLanguageNames[] = {"English",  "French",  "German",
                                          "Japanese", "Italian", "Dutch"};
constexpr Sentence kSentences[] = {Sentence::WindowTitle,     Sentence::Connect,
                                   Sentence::UpdateAvailable, Sentence::UpToDate,
                                   Sentence::NotThisProduct,  Sentence::Completion,
                                   Sentence::ConfirmWarning};

const char* Name(UiLanguage lang) {
  return kLanguageNames[static_cast<int>(lang)];
}

std::string U8(std::u16string_view s) {
  return ToUtf8(s);
}

template <std::size_t N>
void ExpectSlotsTerminated(const char16_t (*table)[kTextSlotChars], const char* what) {
  for (std::size_t slot = 0; slot < N; ++slot) {
    bool terminated = false;
    for (std::size_t i = 0; i < kTextSlotChars && !terminated; ++i)
      terminated = table[slot][i] == u'\0';
    EXPECT_TRUE(terminated) << what << " slot " << slot << " has no NUL within "
                            << kTextSlotChars << " characters";
  }
}

TEST(TextTables, EverySlotIsTerminatedWithinItsLength) {
  ExpectSlotsTerminated<kLanguageCount * kStatusTextCount>(StatusTexts, "StatusTexts");
  ExpectSlotsTerminated<kLanguageCount * kConfirmTextCount>(ConfirmTexts, "ConfirmTexts");
}

TEST(TextTables, ProductNameInEveryLanguage) {
  for (UiLanguage lang : kLanguages) {
    EXPECT_EQ(U8(StatusText(lang, 0)), "LUMAVIX") << Name(lang);
    EXPECT_NE(StatusText(lang, 20).find(u"LUMAVIX"), std::u16string_view::npos)
        << Name(lang) << " entry 20 must name the product: " << U8(StatusText(lang, 20));
  }
}

TEST(TextTables, EveryLanguageTranslatesWhatEnglishHas) {
  for (UiLanguage lang : kLanguages) {
    for (std::size_t n = 0; n < kStatusTextCount; ++n) {
      if (StatusText(UiLanguage::English, n).empty())
        continue;
      // Japanese puts the model name first in the update-available text and
      // has no word for "Your".
      if (lang == UiLanguage::Japanese && n == 2) {
        EXPECT_TRUE(StatusText(lang, n).empty()) << "Japanese entry 2 must stay empty";
        continue;
      }
      EXPECT_FALSE(StatusText(lang, n).empty()) << Name(lang) << " status entry " << n;
    }
    for (std::size_t n = 0; n < kConfirmTextCount; ++n)
      EXPECT_FALSE(ConfirmText(lang, n).empty()) << Name(lang) << " confirm entry " << n;
  }
}

// The fragments are arguments, never formats: a conversion in one language
// and not in another would compose differently or not at all.
TEST(TextTables, PlaceholderCountsMatchEnglish) {
  auto count = [](std::u16string_view s) { return std::count(s.begin(), s.end(), u'%'); };
  for (UiLanguage lang : kLanguages) {
    for (std::size_t n = 0; n < kStatusTextCount; ++n)
      EXPECT_EQ(count(StatusText(lang, n)), count(StatusText(UiLanguage::English, n)))
          << Name(lang) << " status entry " << n << ": " << U8(StatusText(lang, n));
    for (std::size_t n = 0; n < kConfirmTextCount; ++n)
      EXPECT_EQ(count(ConfirmText(lang, n)), count(ConfirmText(UiLanguage::English, n)))
          << Name(lang) << " confirm entry " << n << ": " << U8(ConfirmText(lang, n));
  }
}

TEST(TextTables, IndexOutsideTheTableIsEmpty) {
  EXPECT_TRUE(StatusText(UiLanguage::English, kStatusTextCount).empty());
  EXPECT_TRUE(ConfirmText(UiLanguage::Dutch, kConfirmTextCount).empty());
  EXPECT_TRUE(StatusText(static_cast<UiLanguage>(kLanguageCount), 0).empty());
}

TEST(TextTables, CurrentLanguageSelectsTheRow) {
  SetUiLanguage(UiLanguage::German);
  EXPECT_EQ(U8(StatusText(6)), "Aktualisieren");
  EXPECT_EQ(U8(ConfirmText(3)), "Abbrechen");
  SetUiLanguage(static_cast<UiLanguage>(42));  // ignored
  EXPECT_EQ(CurrentUiLanguage(), UiLanguage::German);
  SetUiLanguage(UiLanguage::English);
}

// The conversions of a format: argument position and kind ('s' or 'X').
std::multiset<std::pair<int, char>> Conversions(std::u16string_view format) {
  std::multiset<std::pair<int, char>> out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%')
      continue;
    std::size_t j = i + 1;
    int pos = 0;
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9')
      pos = pos * 10 + (format[j++] - u'0');
    const char kind = format.substr(j).starts_with(u"$s")     ? 's'
                      : format.substr(j).starts_with(u"$04X") ? 'X'
                                                              : '?';
    out.emplace(pos, kind);
  }
  return out;
}

TEST(SentenceFormats, EveryLanguageUsesTheSameArguments) {
  for (Sentence s : kSentences) {
    const auto english = Conversions(SentenceFormat(s, UiLanguage::English));
    ASSERT_FALSE(english.empty()) << "sentence " << static_cast<int>(s);
    for (UiLanguage lang : kLanguages) {
      auto mine = Conversions(SentenceFormat(s, lang));
      // Only the set of arguments must agree; a language may repeat one.
      EXPECT_EQ(std::set(mine.begin(), mine.end()), std::set(english.begin(), english.end()))
          << Name(lang) << " sentence " << static_cast<int>(s) << ": "
          << U8(SentenceFormat(s, lang));
    }
  }
}

TEST(ComposedSentences, EnglishAsTheWindowShowsThem) {
  const auto en = UiLanguage::English;
  const std::pair<std::u16string, const char*> cases[] = {
      {ModelName(ModelVariant::Q), "LUMAVIX Q"},
      {ModelName(ModelVariant::R2), "LUMAVIX R2"},
      {WindowTitle(en, ModelVariant::Q), "LUMAVIX Q Firmware Update"},
      {WindowTitle(en, ModelVariant::R2), "LUMAVIX R2 Firmware Update"},
      {ConnectText(en, u"LUMAVIX Q"), "Please connect your LUMAVIX Q."},
      {UpdateAvailableText(en, u"LUMAVIX Q ", 0x0105, 0x0104),
       "Your LUMAVIX Q  is ready to receive an update.\n A new firmware version is available "
       "v0105. The current version is v0104."},
      {UpToDateText(en, u"LUMAVIX Q ", 0x0104),
       "Your LUMAVIX Q  is already up to date v0104. Please close the LUMAVIX Q  Firmware "
       "Update."},
      {NotThisProductText(en, u"LUMAVIX Q"),
       "This firmware update is for LUMAVIX Q. To update the firmware of your LUMAVIX, please "
       "visit:"},
      {CompletionText(en, 0x0105, u"LUMAVIX Q "),
       "Firmware update completed. Current firmware version: v0105. Please disconnect and "
       "reconnect your LUMAVIX Q ."},
      {ConfirmWarningText(en, u"LUMAVIX Q"),
       "Please do not disconnect your LUMAVIX Q or power off your computer during the process."},
      {UpdateAvailableText(en, u"LUMAVIX Q ", 0xABCD, 0x00EF),
       "Your LUMAVIX Q  is ready to receive an update.\n A new firmware version is available "
       "vABCD. The current version is v00EF."},
  };
  for (const auto& [actual, expected] : cases)
    EXPECT_EQ(U8(actual), expected);
}

TEST(ComposedSentences, WordOrderOfOtherLanguages) {
  const std::pair<std::u16string, const char*> cases[] = {
      {WindowTitle(UiLanguage::French, ModelVariant::Q),
       "Outil de mise à jour du micrologiciel LUMAVIX Q"},
      {WindowTitle(UiLanguage::Italian, ModelVariant::Q), "Aggiormamento firmware LUMAVIX Q"},
      {WindowTitle(UiLanguage::Italian, ModelVariant::R), "Aggiormamento firmware LUMAVIX R"},
      {WindowTitle(UiLanguage::German, ModelVariant::Q), "LUMAVIX Q Firmware aktualisieren"},
      {WindowTitle(UiLanguage::Japanese, ModelVariant::Q), "LUMAVIX Q ファームウェアアップデート"},
      {ConnectText(UiLanguage::German, u"LUMAVIX Q"), "Bitte schließen Sie Ihr LUMAVIX Q  an."},
      {ConnectText(UiLanguage::Japanese, u"LUMAVIX Q"), "LUMAVIX Q を接続してください。"},
      {ConnectText(UiLanguage::Dutch, u"LUMAVIX Q"), "Sluit uw LUMAVIX Q aan alstublieft."},
      {ConnectText(UiLanguage::French, u"LUMAVIX Q"), "Veuillez connecter votre LUMAVIX Q."},
  };
  for (const auto& [actual, expected] : cases)
    EXPECT_EQ(U8(actual), expected);

  const std::string de_done = U8(CompletionText(UiLanguage::German, 0x0105, u"LUMAVIX Q "));
  EXPECT_TRUE(de_done.ends_with("v0105. Bitte trennen Sie die Verbindung und schließen Sie "
                                "Ihre LUMAVIX Q  wieder an."))
      << de_done;

  // Japanese starts with the camera's model text (entry 2 is empty) and uses
  // full-width brackets and full stop around the versions.
  const std::string ja = U8(UpdateAvailableText(UiLanguage::Japanese, u"LUMAVIX Q ", 0x0105,
                                                0x0104));
  EXPECT_TRUE(ja.starts_with("LUMAVIX Q は")) << ja;
  EXPECT_NE(ja.find("\n"), std::string::npos) << ja;
  EXPECT_NE(ja.find("（v0105）"), std::string::npos) << ja;
  EXPECT_TRUE(ja.ends_with("v0104。")) << ja;

  const std::string ja_other = U8(NotThisProductText(UiLanguage::Japanese, u"LUMAVIX Q"));
  EXPECT_TRUE(ja_other.starts_with("LUMAVIX Q ")) << ja_other;
  EXPECT_TRUE(ja_other.ends_with("このページをご覧ください：")) << ja_other;
}

// With the longest model texts every sentence comes out whole and fits the
// 259 characters that the window's text fields take.
TEST(ComposedSentences, CompleteAndWithinLimitInEveryLanguage) {
  const std::u16string model = ModelName(ModelVariant::R2);
  const std::u16string camera = model + u" ";
  for (UiLanguage lang : kLanguages) {
    const std::u16string texts[] = {
        WindowTitle(lang, ModelVariant::R2),
        ConnectText(lang, model),
        UpdateAvailableText(lang, camera, 0xFFFF, 0xFFFF),
        UpToDateText(lang, camera, 0xFFFF),
        NotThisProductText(lang, model),
        CompletionText(lang, 0xFFFF, camera),
        ConfirmWarningText(lang, model),
    };
    for (const std::u16string& t : texts) {
      EXPECT_EQ(t.find(u'%'), std::u16string::npos) << Name(lang) << ": " << U8(t);
      EXPECT_NE(t.find(u"LUMAVIX R2"), std::u16string::npos) << Name(lang) << ": " << U8(t);
      EXPECT_LE(t.size(), 259u) << Name(lang) << ": " << U8(t);
    }
  }
}

// OK and Cancel of the confirmation each have a mnemonic, and never the
// same letter: Alt and that letter must press the one button it names.
TEST(ConfirmMnemonics, EveryLanguageHasTwoDistinctMnemonics) {
  auto letter = [](const std::u16string& t) -> char16_t {
    const auto at = t.find(u'&');
    if (at == std::u16string::npos || at + 1 >= t.size()) return u'\0';
    const char16_t c = t[at + 1];
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  };
  for (UiLanguage lang : kLanguages) {
    const char16_t ok = letter(ConfirmButtonMnemonic(lang, kConfirmSlotOk));
    const char16_t cancel = letter(ConfirmButtonMnemonic(lang, kConfirmSlotCancel));
    EXPECT_NE(ok, u'\0') << Name(lang) << ": OK without a mnemonic";
    EXPECT_NE(cancel, u'\0') << Name(lang) << ": Cancel without a mnemonic";
    EXPECT_NE(ok, cancel) << Name(lang) << ": the two share a letter";
  }
}

TEST(FormatText, FaultyConversionsShowInsteadOfReadingPastTheArguments) {
  const TextArg args[] = {std::u16string_view(u"ab"), std::uint16_t{0x1F}};
  const std::pair<std::u16string_view, const char*> cases[] = {
      {u"%1$s-%2$04X", "ab-001F"},
      {u"%2$04X%1$s%1$s", "001Fabab"},
      {u"%3$s", "%3$s"},        // no third argument
      {u"%0$s", "%0$s"},        // positions count from 1
      {u"%2$s", "%2$s"},        // a version where a text is expected
      {u"%1$04X", "%1$04X"},    // a text where a version is expected
      {u"100%% %1$s", "100% ab"},
      {u"%s %", "%s %"},        // not positional, and a lone trailing '%'
      {u"%99999999999999999999$s", "%99999999999999999999$s"},
  };
  for (const auto& [format, expected] : cases)
    EXPECT_EQ(U8(FormatText(format, args)), expected) << "format " << U8(format);
}

TEST(LanguageChoice, FromLocale) {
  struct Case {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    UiLanguage expected;
  };
  const Case cases[] = {
      {"", "", "fr_FR.UTF-8", UiLanguage::French},
      {"", "", "de_AT", UiLanguage::German},
      {"", "", "de_CH.ISO-8859-1@euro", UiLanguage::German},
      {"", "", "ja_JP", UiLanguage::Japanese},
      {"", "", "it", UiLanguage::Italian},
      {"", "", "nl_BE.UTF-8", UiLanguage::Dutch},
      {"", "", "nl@euro", UiLanguage::Dutch},
      {"", "", "FR_fr", UiLanguage::French},
      {"", "", "en_US.UTF-8", UiLanguage::English},
      {"", "", "zh_TW.UTF-8", UiLanguage::English},
      {"", "", "C", UiLanguage::English},
      {"", "", "C.UTF-8", UiLanguage::English},
      {"", "", "POSIX", UiLanguage::English},
      {"", "", "", UiLanguage::English},
      // Only the language itself counts, not a longer name that starts alike.
      {"", "", "dea_XX", UiLanguage::English},
      {"", "", "j", UiLanguage::English},
      // The first non-empty value decides, even when it has no translation.
      {"de_DE.UTF-8", "fr_FR.UTF-8", "ja_JP.UTF-8", UiLanguage::German},
      {"", "fr_FR.UTF-8", "ja_JP.UTF-8", UiLanguage::French},
      {"C", "fr_FR.UTF-8", "ja_JP.UTF-8", UiLanguage::English},
      {"", "POSIX", "nl_NL", UiLanguage::English},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LanguageFromLocale(c.lc_all, c.lc_messages, c.lang), c.expected)
        << "LC_ALL=\"" << c.lc_all << "\" LC_MESSAGES=\"" << c.lc_messages << "\" LANG=\""
        << c.lang << "\": expected " << Name(c.expected);
}

// Windows language ids: the primary language decides, whatever the region
// (the high six bits), and an unknown one is English.
TEST(LanguageChoice, FromWindowsLanguageId) {
  const struct {
    std::uint16_t langid;
    UiLanguage expected;
  } cases[] = {
      {0x040C, UiLanguage::French},   {0x0C0C, UiLanguage::French},  // France, Canada
      {0x0407, UiLanguage::German},   {0x0807, UiLanguage::German},  // Germany, Switzerland
      {0x0411, UiLanguage::Japanese}, {0x0410, UiLanguage::Italian},
      {0x0413, UiLanguage::Dutch},    {0x0813, UiLanguage::Dutch},   // Netherlands, Belgium
      {0x0409, UiLanguage::English},  {0x0809, UiLanguage::English},
      {0x0419, UiLanguage::English},  {0x0000, UiLanguage::English},  // Russian, neutral
  };
  for (const auto& c : cases)
    EXPECT_EQ(LanguageFromWindowsLangId(c.langid), c.expected)
        << "LANGID 0x" << std::hex << c.langid << ": expected " << Name(c.expected);
}

TEST(LanguageChoice, FromEnvironmentTreatsUnsetAsEmpty) {
  struct Saved {
    const char* name;
    std::optional<std::string> value;
  };
  Saved saved[] = {{"LC_ALL", {}}, {"LC_MESSAGES", {}}, {"LANG", {}}};
  for (Saved& s : saved) {
    if (const char* v = std::getenv(s.name))
      s.value = v;
  }

  ::unsetenv("LC_ALL");
  ::setenv("LC_MESSAGES", "", 1);
  ::setenv("LANG", "it_IT.UTF-8", 1);
  EXPECT_EQ(LanguageFromEnvironment(), UiLanguage::Italian);
  ::unsetenv("LANG");
  EXPECT_EQ(LanguageFromEnvironment(), UiLanguage::English);

  for (const Saved& s : saved) {
    if (s.value)
      ::setenv(s.name, s.value->c_str(), 1);
    else
      ::unsetenv(s.name);
  }
}

TEST(Utf8, ConvertsEveryRangeAndReplacesUnpairedSurrogates) {
  const std::pair<std::u16string_view, std::string> cases[] = {
      {u"OK", "OK"},
      {u"à", "\xC3\xA0"},
      {u"\u00A0?", "\xC2\xA0?"},
      {u"は", "\xE3\x81\xAF"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string_view(u"a\xD800" "b", 3), "a\xEF\xBF\xBD" "b"},
      {std::u16string_view(u"a\xDC00", 2), "a\xEF\xBF\xBD"},
      {std::u16string_view(u"\xD83D", 1), "\xEF\xBF\xBD"},
      {std::u16string_view(u"\0x", 2), std::string("\0x", 2)},
  };
  for (const auto& [in, expected] : cases)
    EXPECT_EQ(ToUtf8(in), expected) << "input of " << in.size() << " units";
}

// What a path's bytes show as: every valid sequence its character, every
// byte of a broken one a single replacement character; and a path's length
// as Windows counts it against the 259-character limit.
TEST(Utf8, DecodesPathsAndCountsTheirCharacters) {
  const struct {
    std::string in;
    std::u16string_view decoded;
    std::size_t length;
  } cases[] = {
      {"fw.bin", u"fw.bin", 6},
      {"T\xC3\xA9l\xC3\xA9" "chargements", u"T\u00e9l\u00e9chargements", 15},
      {"\xE3\x82\xAB\xE3\x83\xA1\xE3\x83\xA9", u"\u30ab\u30e1\u30e9", 3},
      {"\xF0\x9F\x98\x80", u"\U0001F600", 2},
      {"a\xC3", u"a\uFFFD", 2},                      // cut short
      {"\xC0\xAF", u"\uFFFD\uFFFD", 1},              // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", 1},    // an encoded surrogate
      {"\xE3\x82x", u"\uFFFD\uFFFDx", 2},             // a sequence broken by an ASCII byte
      {"\xFF", u"\uFFFD", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FromUtf8(c.in), c.decoded) << "decoding " << c.in.size() << " bytes";
    EXPECT_EQ(PathLength(c.in), c.length) << "length of " << c.in.size() << " bytes";
  }
  std::string path;
  for (int i = 0; i < 259; ++i) path += "\xE3\x82\xAB";
  EXPECT_EQ(PathLength(path), kMaxPathLength) << "259 Japanese characters are within the limit";
  EXPECT_EQ(ToUtf8(FromUtf8(path)), path);
}

}  // namespace
}  // namespace lumavix::test
