#include "app/texts.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <array>
#include <atomic>
#include <cstdlib>
#include <initializer_list>

namespace lumavix {

// A literal longer than a slot does not compile, so every slot keeps its
// terminating NUL.
const char16_t StatusTexts[kLanguageCount * kStatusTextCount][kTextSlotChars] = {
    // English
    u"LUMAVIX",
    u"Firmware Update",
    u"Your",
    u"is ready to receive an update.",
    u"A new firmware version is available",
    u". The current version is",
    u"Update",
    u"is already up to date",
    u". Please close the",
    u" Firmware Update.",
    u"Please connect your",
    u"",
    u"",
    u"",
    u"",
    u"Update in progress...",
    u"Firmware update completed. Current firmware version:",
    u". Please disconnect and reconnect your",
    u".",
    u"This firmware update is for ",
    u". To update the firmware of your LUMAVIX, please visit:",

    // French
    u"LUMAVIX",
    u"Outil de mise à jour du micrologiciel",
    u"Votre",
    u"est prêt à recevoir une mise à jour.",
    u"Une nouvelle version du micrologiciel est disponible\u00A0:",
    u". La version actuelle est",
    u"Mettre à jour",
    u"est déjà à jour\u00A0:",
    u". Veuillez fermer l'outil de mise à jour du micrologiciel",
    u".",
    u"Veuillez connecter votre",
    u"",
    u"",
    u"",
    u"",
    u"Mise à jour en cours...",
    u"Mise à jour du micrologiciel terminée. Version actuelle du micrologiciel\u00A0:",
    u". Veuillez débrancher puis rebrancher votre",
    u".",
    u"Cette mise à jour du micrologiciel est destinée au ",
    u". Pour mettre à jour le micrologiciel de votre LUMAVIX, rendez-vous sur:",

    // German
    u"LUMAVIX",
    u"Firmware aktualisieren",
    u"Ihre",
    u"ist bereit für ein Update.",
    u"Eine neue Firmware-Version ist verfügbar:",
    u". Die aktuelle Version ist",
    u"Aktualisieren",
    u"ist bereits auf dem neuesten Stand:",
    u". Bitte schließen Sie die",
    u" Firmware Aktualisierung.",
    u"Bitte schließen Sie Ihr",
    u"",
    u"",
    u"",
    u"",
    u"Aktualisierung läuft...",
    u"Firmware-Aktualisierung abgeschlossen. Aktuelle Firmware-Version:",
    u". Bitte trennen Sie die Verbindung und schließen Sie Ihre",
    u" wieder an.",
    u"Dieses Firmware-Update ist für die ",
    u". Um die Firmware Ihrer LUMAVIX zu aktualisieren, besuchen Sie bitte:",

    // Japanese: the update-available, connect and not-this-product sentences
    // put the model name first, so entry 2 is empty.
    u"LUMAVIX",
    u"ファームウェアアップデート",
    u"",
    u"はアップデートの準備ができています。",
    u"新しいバージョンのファームウェアが利用可能です",
    u"。現在のバージョンは",
    u"アップデート",
    u"は最新の状態です（バージョン",
    u"）。",
    u" ファームウェアアップデートを閉じてください。",
    u"を接続してください。",
    u"",
    u"",
    u"",
    u"",
    u"アップデート中...",
    u"ファームウェアのアップデートが完了しました。現在のファームウェアバージョンは",
    u"。",
    u"の接続を解除し、再接続してください。",
    u" 専用のファームウェアアップデートです。",
    u"LUMAVIXのファームウェアを更新するには、このページをご覧ください：",

    // Italian
    u"LUMAVIX",
    u"Aggiormamento firmware",
    u"La tua",
    u"è pronta per ricevere un aggiornamento.",
    u"È disponibile una nuova versione del firmware:",
    u". La versione attuale è",
    u"Aggiornamento",
    u"è già aggiornata alla versione",
    u". Per favore chiudi lo strumento di aggiornamento firmware",
    u".",
    u"Per favore connetti la tua",
    u"",
    u"",
    u"",
    u"",
    u"Aggiornamento in corso...",
    u"Aggiornamento del firmware completato. Versione attuale del firmware:",
    u". Per favore scollega e ricollega la tua",
    u".",
    u"Questo aggiornamento del firmware è destinato a ",
    u". Per aggiornare il firmware della tua LUMAVIX, per favore visita:",

    // Dutch
    u"LUMAVIX",
    u"Firmware Updaten",
    u"Uw",
    u"is klaar om een update te ontvangen.",
    u"Er is een nieuwe firmwareversie beschikbaar:",
    u". De huidige versie is",
    u"Updaten",
    u"is al bijgewerkt naar versie",
    u". U kunt de",
    u" Firmware Update sluiten.",
    u"Sluit uw",
    u"",
    u"",
    u"",
    u"",
    u"Bezig met updaten...",
    u"Firmware-update voltooid. Huidige firmwareversie:",
    u". Koppel uw",
    u" eerst los en sluit het vervolgens weer aan.",
    u"Deze firmware-update is bedoeld voor ",
    u". Om de firmware van uw LUMAVIX te updaten hier downloaden:",
};

const char16_t ConfirmTexts[kLanguageCount * kConfirmTextCount][kTextSlotChars] = {
    // English
    u"Ready to proceed?",
    u"Please do not disconnect your",
    u"or power off your computer during the process.",
    u"Cancel",
    u"OK",

    // French
    u"Prêt à continuer\u00A0?",
    u"Veuillez ne pas débrancher votre",
    u"ni éteindre votre ordinateur pendant l'opération.",
    u"Annuler",
    u"OK",

    // German
    u"Bereit zum Fortfahren?",
    u"Bitte trennen Sie Ihre",
    u"während des Vorgangs nicht und schalten Sie Ihren Computer nicht aus.",
    u"Abbrechen",
    u"OK",

    // Japanese
    u"続行しますか？",
    u"処理中は",
    u"の接続を外したり、コンピューターの電源を切ったりしないでください。",
    u"いいえ",
    u"はい",

    // Italian
    u"Pronto a procedere?",
    u"Per favore non scollegare la tua",
    u"e non spegnere il computer durante la procedura.",
    u"Cancella",
    u"OK",

    // Dutch
    u"Klaar om door te gaan?",
    u"Koppel uw",
    u"tijdens het updaten niet los en schakel uw computer niet uit.",
    u"Annuleren",
    u"OK",
};

namespace {

std::atomic<UiLanguage> g_language{UiLanguage::English};

std::u16string_view SlotText(const char16_t (&slot)[kTextSlotChars]) {
  std::size_t len = 0;
  while (len < kTextSlotChars && slot[len] != u'\0')
    ++len;
  return {slot, len};
}

std::size_t LanguageIndex(UiLanguage lang) {
  return static_cast<std::size_t>(lang);
}

// Sentence formats, one row per sentence in Sentence order, one column per
// language in UiLanguage order. The argument positions are those listed with
// Sentence.
constexpr std::u16string_view kFormats[kSentenceCount][kLanguageCount] = {
    // WindowTitle: product, tool name, variant letter
    {u"%1$s %3$s %2$s", u"%2$s %1$s %3$s", u"%1$s %3$s %2$s", u"%1$s %3$s %2$s",
     u"%2$s %1$s %3$s", u"%1$s %3$s %2$s"},
    // Connect: request, model name
    {u"%1$s %2$s.", u"%1$s %2$s.", u"%1$s %2$s  an.", u"%2$s %1$s", u"%1$s %2$s.",
     u"%1$s %2$s aan alstublieft."},
    // UpdateAvailable
    {u"%1$s %2$s %3$s\n %4$s v%5$04X%6$s v%7$04X.",
     u"%1$s %2$s %3$s\n %4$s v%5$04X%6$s v%7$04X.",
     u"%1$s %2$s %3$s\n %4$s v%5$04X%6$s v%7$04X.",
     u"%1$s%2$s%3$s\n%4$s\uFF08v%5$04X\uFF09%6$sv%7$04X\u3002",
     u"%1$s %2$s %3$s\n %4$s v%5$04X%6$s v%7$04X.",
     u"%1$s %2$s %3$s\n %4$s v%5$04X%6$s v%7$04X."},
    // UpToDate: the camera's model text appears twice
    {u"%1$s %2$s %3$s v%4$04X%5$s %2$s%6$s", u"%1$s %2$s %3$s v%4$04X%5$s %2$s%6$s",
     u"%1$s %2$s %3$s v%4$04X%5$s %2$s%6$s", u"%1$s %2$s %3$s v%4$04X%5$s %2$s%6$s",
     u"%1$s %2$s %3$s v%4$04X%5$s %2$s%6$s", u"%1$s %2$s %3$s v%4$04X%5$s %2$s%6$s"},
    // NotThisProduct
    {u"%1$s%2$s%3$s", u"%1$s%2$s%3$s", u"%1$s%2$s%3$s", u"%2$s%1$s%3$s", u"%1$s%2$s%3$s",
     u"%1$s%2$s%3$s"},
    // Completion
    {u"%1$s v%2$04X%3$s %4$s%5$s", u"%1$s v%2$04X%3$s %4$s%5$s", u"%1$s v%2$04X%3$s %4$s%5$s",
     u"%1$s v%2$04X%3$s %4$s%5$s", u"%1$s v%2$04X%3$s %4$s%5$s", u"%1$s v%2$04X%3$s %4$s%5$s"},
    // ConfirmWarning
    {u"%1$s %2$s %3$s", u"%1$s %2$s %3$s", u"%1$s %2$s %3$s", u"%1$s %2$s %3$s",
     u"%1$s %2$s %3$s", u"%1$s %2$s %3$s"},
};

void AppendHex4(std::u16string& out, std::uint16_t value) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  for (int shift = 12; shift >= 0; shift -= 4)
    out.push_back(kDigits[(value >> shift) & 0xF]);
}

std::u16string Compose(Sentence sentence, UiLanguage lang,
                       std::initializer_list<TextArg> args) {
  return FormatText(SentenceFormat(sentence, lang),
                    std::span<const TextArg>(args.begin(), args.size()));
}

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

std::u16string_view StatusText(UiLanguage lang, std::size_t n) {
  const std::size_t l = LanguageIndex(lang);
  if (l >= kLanguageCount || n >= kStatusTextCount)
    return {};
  return SlotText(StatusTexts[l * kStatusTextCount + n]);
}

std::u16string_view ConfirmText(UiLanguage lang, std::size_t n) {
  const std::size_t l = LanguageIndex(lang);
  if (l >= kLanguageCount || n >= kConfirmTextCount)
    return {};
  return SlotText(ConfirmTexts[l * kConfirmTextCount + n]);
}

void SetUiLanguage(UiLanguage lang) {
  if (LanguageIndex(lang) < kLanguageCount)
    g_language.store(lang, std::memory_order_relaxed);
}

UiLanguage CurrentUiLanguage() {
  return g_language.load(std::memory_order_relaxed);
}

std::u16string_view StatusText(std::size_t n) {
  return StatusText(CurrentUiLanguage(), n);
}

std::u16string_view ConfirmText(std::size_t n) {
  return ConfirmText(CurrentUiLanguage(), n);
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

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string_view VariantLetter(ModelVariant variant) {
  switch (variant) {
    case ModelVariant::Q:
      return u"Q";
    case ModelVariant::R:
      return u"R";
    case ModelVariant::R2:
      return u"R2";
  }
  return {};
}

std::u16string ModelName(ModelVariant variant) {
  // The product name is the same in every language.
  std::u16string name(StatusText(UiLanguage::English, 0));
  const std::u16string_view letter = VariantLetter(variant);
  if (!letter.empty()) {
    name += u' ';
    name += letter;
  }
  return name;
}

std::u16string WindowTitle(UiLanguage lang, ModelVariant variant) {
  return Compose(Sentence::WindowTitle, lang,
                 {StatusText(lang, 0), StatusText(lang, 1), VariantLetter(variant)});
}

std::u16string ConnectText(UiLanguage lang, std::u16string_view model_name) {
  return Compose(Sentence::Connect, lang, {StatusText(lang, 10), model_name});
}

std::u16string UpdateAvailableText(UiLanguage lang, std::u16string_view camera_model_text,
                                   std::uint16_t file_version, std::uint16_t camera_version) {
  return Compose(Sentence::UpdateAvailable, lang,
                 {StatusText(lang, 2), camera_model_text, StatusText(lang, 3),
                  StatusText(lang, 4), file_version, StatusText(lang, 5), camera_version});
}

std::u16string UpToDateText(UiLanguage lang, std::u16string_view camera_model_text,
                            std::uint16_t camera_version) {
  return Compose(Sentence::UpToDate, lang,
                 {StatusText(lang, 2), camera_model_text, StatusText(lang, 7), camera_version,
                  StatusText(lang, 8), StatusText(lang, 9)});
}

std::u16string NotThisProductText(UiLanguage lang, std::u16string_view model_name) {
  return Compose(Sentence::NotThisProduct, lang,
                 {StatusText(lang, 19), model_name, StatusText(lang, 20)});
}

std::u16string CompletionText(UiLanguage lang, std::uint16_t file_version,
                              std::u16string_view camera_model_text) {
  return Compose(Sentence::Completion, lang,
                 {StatusText(lang, 16), file_version, StatusText(lang, 17), camera_model_text,
                  StatusText(lang, 18)});
}

namespace {

// Replaces each "{}" in `format`, in order, by the next of `args`.
std::u16string Fill(std::u16string_view format, std::initializer_list<std::u16string_view> args) {
  std::u16string out;
  auto arg = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'{' && i + 1 < format.size() && format[i + 1] == u'}' &&
        arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

std::u16string VersionText(std::uint16_t version) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string v = u"v";
  for (int shift = 12; shift >= 0; shift -= 4) v += kHex[(version >> shift) & 0xF];
  return v;
}

std::size_t Row(UiLanguage lang) {
  const auto i = static_cast<std::size_t>(lang);
  return i < kLanguageCount ? i : 0;
}

}  // namespace

std::u16string InterruptedText(UiLanguage lang, std::u16string_view model_name,
                               std::uint16_t file_version) {
  // {} the model name, {} the file's version.
  static constexpr std::u16string_view kFormat[kLanguageCount] = {
      u"The last update of your {} did not finish.\n Click Update to run it again (firmware {}).",
      u"La mise à jour de votre {} n'est pas terminée.\n Cliquez sur Mettre à jour pour la "
      u"relancer ({}).",
      u"Die Aktualisierung Ihrer {} ist nicht fertig.\n Klicken Sie erneut auf Aktualisieren ({}).",
      u"{} の前回のアップデートは完了していません。\n「アップデート」をクリックして再実行してください（{}）。",
      u"L'aggiornamento della tua {} è incompleto.\n Fare clic su Aggiornamento per riprovare ({}).",
      u"De laatste update van uw {} is niet voltooid.\n Klik opnieuw op Updaten (firmware {}).",
  };
  return Fill(kFormat[Row(lang)], {model_name, VersionText(file_version)});
}

std::u16string InterruptedUnidentifiedText(UiLanguage lang, std::u16string_view model_name) {
  // {} the model name; the command stays as it is typed.
  static constexpr std::u16string_view kFormat[kLanguageCount] = {
      u"The last update of this camera did not finish, and it cannot be identified. If it is "
      u"your {}, finish the update with: lumavix-fw update --recover",
      u"La dernière mise à jour de cette caméra ne s'est pas terminée et elle ne peut pas être "
      u"identifiée. S'il s'agit de votre {}, terminez la mise à jour avec\u00A0: lumavix-fw "
      u"update --recover",
      u"Die letzte Aktualisierung dieser Kamera wurde nicht abgeschlossen, und sie kann nicht "
      u"erkannt werden. Wenn es Ihre {} ist, schließen Sie die Aktualisierung ab mit: "
      u"lumavix-fw update --recover",
      u"このカメラの前回のアップデートは完了しておらず、カメラを識別できません。お使いの {} であれば、"
      u"次のコマンドでアップデートを完了してください：lumavix-fw update --recover",
      u"L'ultimo aggiornamento di questa fotocamera non è stato completato e non è possibile "
      u"identificarla. Se è la tua {}, completare l'aggiornamento con: lumavix-fw update "
      u"--recover",
      u"De laatste update van deze camera is niet voltooid en de camera kan niet worden "
      u"herkend. Als het uw {} is, voltooi de update dan met: lumavix-fw update --recover",
  };
  return Fill(kFormat[Row(lang)], {model_name});
}

std::u16string_view RetryAdviceText(UiLanguage lang) {
  static constexpr std::u16string_view kAdvice[kLanguageCount] = {
      u"Keep the camera connected and click Update to try again.",
      u"Laissez la caméra connectée et cliquez sur Mettre à jour pour réessayer.",
      u"Lassen Sie die Kamera angeschlossen und klicken Sie erneut auf Aktualisieren.",
      u"カメラを接続したまま、もう一度「アップデート」をクリックしてください。",
      u"Lasciare la fotocamera collegata e fare clic su Aggiornamento per riprovare.",
      u"Laat de camera aangesloten en klik opnieuw op Updaten.",
  };
  const auto i = static_cast<std::size_t>(lang);
  return kAdvice[i < kLanguageCount ? i : 0];
}

std::u16string ConfirmWarningText(UiLanguage lang, std::u16string_view model_name) {
  return Compose(Sentence::ConfirmWarning, lang,
                 {ConfirmText(lang, 1), model_name, ConfirmText(lang, 2)});
}

std::u16string_view SentenceFormat(Sentence sentence, UiLanguage lang) {
  const auto s = static_cast<std::size_t>(sentence);
  const std::size_t l = LanguageIndex(lang);
  if (s >= kSentenceCount || l >= kLanguageCount)
    return {};
  return kFormats[s][l];
}

std::u16string FormatText(std::u16string_view format, std::span<const TextArg> args) {
  std::u16string out;
  std::size_t i = 0;
  while (i < format.size()) {
    const char16_t c = format[i];
    if (c != u'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == u'%') {
      out.push_back(u'%');
      i += 2;
      continue;
    }

    // "%N$s" or "%N$04X"; anything else is copied from the '%' on.
    std::size_t j = i + 1;
    std::size_t position = 0;
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9' && position < 100) {
      position = position * 10 + (format[j] - u'0');
      ++j;
    }
    bool done = false;
    if (position >= 1 && position <= args.size() && j < format.size() && format[j] == u'$') {
      const TextArg& arg = args[position - 1];
      const std::u16string_view rest = format.substr(j + 1);
      if (rest.starts_with(u"s") && std::holds_alternative<std::u16string_view>(arg)) {
        out += std::get<std::u16string_view>(arg);
        i = j + 2;
        done = true;
      } else if (rest.starts_with(u"04X") && std::holds_alternative<std::uint16_t>(arg)) {
        AppendHex4(out, std::get<std::uint16_t>(arg));
        i = j + 4;
        done = true;
      }
    }
    if (!done) {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

}  // namespace lumavix
