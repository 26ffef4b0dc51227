#include "app/core/texts.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <iterator>
#include <string>

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
    u"est prête à recevoir une mise à jour.",
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
    u"Cette mise à jour du micrologiciel est destinée à la ",
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

// The fragments that only the sentences below put together, by slot.
constexpr std::size_t kYour = 2, kReadyForUpdate = 3, kNewVersion = 4, kCurrentVersionIs = 5;
constexpr std::size_t kAlreadyUpToDate = 7, kPleaseClose = 8, kToolSuffix = 9;
constexpr std::size_t kCompleted = 16, kReconnect = 17, kFullStop = 18;
constexpr std::size_t kForOtherProduct = 19, kVisit = 20;
constexpr std::size_t kConfirmWarningBefore = 1, kConfirmWarningAfter = 2;

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

// Expands a format of FormatText() with the arguments given.
std::u16string Fill(std::u16string_view format, std::initializer_list<TextArg> args) {
  return FormatText(format, std::span<const TextArg>(args.begin(), args.size()));
}

std::u16string Compose(Sentence sentence, UiLanguage lang,
                       std::initializer_list<TextArg> args) {
  return Fill(SentenceFormat(sentence, lang), args);
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

std::u16string_view StatusText(std::size_t n) {
  return StatusText(CurrentUiLanguage(), n);
}

std::u16string_view ConfirmText(std::size_t n) {
  return ConfirmText(CurrentUiLanguage(), n);
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
  std::u16string name(StatusText(UiLanguage::English, kSlotProductName));
  const std::u16string_view letter = VariantLetter(variant);
  if (!letter.empty()) {
    name += u' ';
    name += letter;
  }
  return name;
}

std::u16string WindowTitle(UiLanguage lang, ModelVariant variant) {
  return Compose(Sentence::WindowTitle, lang,
                 {StatusText(lang, kSlotProductName), StatusText(lang, kSlotToolName),
                  VariantLetter(variant)});
}

std::u16string ConnectText(UiLanguage lang, std::u16string_view model_name) {
  return Compose(Sentence::Connect, lang, {StatusText(lang, kSlotConnect), model_name});
}

std::u16string UpdateAvailableText(UiLanguage lang, std::u16string_view camera_model_text,
                                   std::uint16_t file_version, std::uint16_t camera_version) {
  return Compose(Sentence::UpdateAvailable, lang,
                 {StatusText(lang, kYour), camera_model_text, StatusText(lang, kReadyForUpdate),
                  StatusText(lang, kNewVersion), file_version, StatusText(lang, kCurrentVersionIs), camera_version});
}

std::u16string UpToDateText(UiLanguage lang, std::u16string_view camera_model_text,
                            std::uint16_t camera_version) {
  return Compose(Sentence::UpToDate, lang,
                 {StatusText(lang, kYour), camera_model_text, StatusText(lang, kAlreadyUpToDate), camera_version,
                  StatusText(lang, kPleaseClose), StatusText(lang, kToolSuffix)});
}

std::u16string NotThisProductText(UiLanguage lang, std::u16string_view model_name) {
  return Compose(Sentence::NotThisProduct, lang,
                 {StatusText(lang, kForOtherProduct), model_name, StatusText(lang, kVisit)});
}

std::u16string CompletionText(UiLanguage lang, std::uint16_t file_version,
                              std::u16string_view camera_model_text) {
  return Compose(Sentence::Completion, lang,
                 {StatusText(lang, kCompleted), file_version, StatusText(lang, kReconnect), camera_model_text,
                  StatusText(lang, kFullStop)});
}

namespace {

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
  // %1$s the model name, %2$s the file's version.
  static constexpr std::u16string_view kFormat[kLanguageCount] = {
      u"The last update of your %1$s did not finish.\n Click Update to run it again (firmware %2$s).",
      u"La mise à jour de votre %1$s n'est pas terminée.\n Cliquez sur Mettre à jour pour la "
      u"relancer (%2$s).",
      u"Die Aktualisierung Ihrer %1$s ist nicht fertig.\n Klicken Sie erneut auf Aktualisieren (%2$s).",
      u"%1$s の前回のアップデートは完了していません。\n「アップデート」をクリックして再実行してください（%2$s）。",
      u"L'aggiornamento della tua %1$s è incompleto.\n Fare clic su Aggiornamento per riprovare (%2$s).",
      u"De laatste update van uw %1$s is niet voltooid.\n Klik opnieuw op Updaten (firmware %2$s).",
  };
  return Fill(kFormat[Row(lang)], {model_name, VersionText(file_version)});
}

std::u16string ConfirmedText(UiLanguage lang, std::u16string_view model_name,
                             std::uint16_t version) {
  // %1$s the model name, %2$s the version it now runs.
  static constexpr std::u16string_view kFormat[kLanguageCount] = {
      u"Update confirmed: your %1$s is back and runs firmware %2$s.\n You can use it as before.",
      u"Mise à jour confirmée\u00A0: votre %1$s est reconnectée et utilise le micrologiciel %2$s.\n "
      u"Vous pouvez l'utiliser comme avant.",
      u"Aktualisierung bestätigt: Ihre %1$s ist wieder verbunden und hat Firmware %2$s.\n Sie "
      u"können sie wie gewohnt verwenden.",
      u"アップデートを確認しました。%1$s は再接続され、ファームウェア %2$s で動作しています。\n"
      u"これまでどおりお使いいただけます。",
      u"Aggiornamento confermato: la tua %1$s è di nuovo collegata con il firmware %2$s.\n Puoi "
      u"usarla come prima.",
      u"Update bevestigd: uw %1$s is weer verbonden en draait firmware %2$s.\n U kunt hem weer "
      u"gewoon gebruiken.",
  };
  return Fill(kFormat[Row(lang)], {model_name, VersionText(version)});
}

std::u16string InterruptedUnidentifiedText(UiLanguage lang, std::u16string_view model_name) {
  // %1$s the model name; the command stays as it is typed.
  static constexpr std::u16string_view kFormat[kLanguageCount] = {
      u"The last update of this camera did not finish, and it cannot be identified. Only if it "
      u"is a %1$s and this file is for it, click Finish update (or run lumavix-fw update "
      u"--recover).",
      u"La mise à jour de cette caméra n'est pas terminée et elle ne peut pas être identifiée. "
      u"Uniquement s'il s'agit d'une %1$s et que ce fichier lui est destiné, cliquez sur Terminer "
      u"la mise à jour (ou lancez lumavix-fw update --recover).",
      u"Die Aktualisierung dieser Kamera ist nicht fertig, und sie kann nicht erkannt werden. "
      u"Nur wenn es eine %1$s ist und die Datei für sie bestimmt ist, klicken Sie auf "
      u"Aktualisierung abschließen (oder: lumavix-fw update --recover).",
      u"このカメラの前回のアップデートは完了しておらず、カメラを識別できません。%1$s であり、このファイルが"
      u"そのカメラ用である場合に限り、「アップデートを完了」をクリックしてください（または "
      u"lumavix-fw update --recover）。",
      u"L'aggiornamento di questa fotocamera non è stato completato e non è possibile "
      u"identificarla. Solo se è una %1$s e questo file è per lei, fai clic su Completa "
      u"aggiornamento (oppure lumavix-fw update --recover).",
      u"De laatste update van deze camera is niet voltooid en de camera kan niet worden "
      u"herkend. Alleen als het een %1$s is en dit bestand ervoor bedoeld is, klikt u op Update "
      u"voltooien (of: lumavix-fw update --recover).",
  };
  return Fill(kFormat[Row(lang)], {model_name});
}

std::u16string_view FinishUpdateButtonText(UiLanguage lang) {
  static constexpr std::u16string_view kText[kLanguageCount] = {
      u"Finish update",
      u"Terminer la mise à jour",
      u"Aktualisierung abschließen",
      u"アップデートを完了",
      u"Completa aggiornamento",
      u"Update voltooien",
  };
  return kText[Row(lang)];
}

std::u16string_view UnreadableCameraText(UiLanguage lang) {
  static constexpr std::u16string_view kText[kLanguageCount] = {
      u"The camera does not answer reliably; reconnect it and try again.",
      u"La caméra ne répond pas de façon fiable\u00A0; reconnectez-la et réessayez.",
      u"Die Kamera antwortet nicht zuverlässig. Schließen Sie sie erneut an und versuchen Sie "
      u"es noch einmal.",
      u"カメラが正常に応答しません。カメラを接続し直して、もう一度お試しください。",
      u"La fotocamera non risponde in modo affidabile: ricollegala e riprova.",
      u"De camera reageert niet betrouwbaar. Sluit hem opnieuw aan en probeer het nog eens.",
  };
  return kText[Row(lang)];
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

namespace {

// One sentence in the six languages, in UiLanguage order.
using Row6 = std::u16string_view[kLanguageCount];

// Failure sentences, one row per FailureKind.
constexpr Row6 kFailureHeadlines[] = {
    {u"The update failed: the new firmware could not be written to the camera.",
     u"La mise à jour a échoué\u00A0: le nouveau micrologiciel n'a pas pu être écrit dans la "
     u"caméra.",
     u"Die Aktualisierung ist fehlgeschlagen: Die neue Firmware konnte nicht auf die Kamera "
     u"geschrieben werden.",
     u"アップデートに失敗しました。新しいファームウェアをカメラに書き込めませんでした。",
     u"Aggiornamento non riuscito: non è stato possibile scrivere il nuovo firmware nella "
     u"fotocamera.",
     u"De update is mislukt: de nieuwe firmware kon niet naar de camera worden geschreven."},
    {u"The update failed: the firmware read back from the camera differs from the file.",
     u"La mise à jour a échoué\u00A0: le micrologiciel relu dans la caméra diffère du fichier.",
     u"Die Aktualisierung ist fehlgeschlagen: Die aus der Kamera gelesene Firmware weicht von "
     u"der Datei ab.",
     u"アップデートに失敗しました。カメラから読み出したファームウェアがファイルと一致しません。",
     u"Aggiornamento non riuscito: il firmware riletto dalla fotocamera è diverso dal file.",
     u"De update is mislukt: de uit de camera teruggelezen firmware wijkt af van het bestand."},
    {u"The update failed: the camera's memory could not be erased.",
     u"La mise à jour a échoué\u00A0: la mémoire de la caméra n'a pas pu être effacée.",
     u"Die Aktualisierung ist fehlgeschlagen: Der Speicher der Kamera konnte nicht gelöscht "
     u"werden.",
     u"アップデートに失敗しました。カメラのメモリを消去できませんでした。",
     u"Aggiornamento non riuscito: non è stato possibile cancellare la memoria della fotocamera.",
     u"De update is mislukt: het geheugen van de camera kon niet worden gewist."},
    {u"The update failed: the camera stopped answering.",
     u"La mise à jour a échoué\u00A0: la caméra ne répond plus.",
     u"Die Aktualisierung ist fehlgeschlagen: Die Kamera antwortet nicht mehr.",
     u"アップデートに失敗しました。カメラが応答しなくなりました。",
     u"Aggiornamento non riuscito: la fotocamera non risponde più.",
     u"De update is mislukt: de camera reageert niet meer."},
    {u"The update was not started: this camera's memory cannot take this firmware.",
     u"La mise à jour n'a pas démarré\u00A0: la mémoire de cette caméra ne peut pas recevoir ce "
     u"micrologiciel.",
     u"Die Aktualisierung wurde nicht gestartet: Der Speicher dieser Kamera kann diese Firmware "
     u"nicht aufnehmen.",
     u"アップデートは開始されませんでした。このカメラのメモリにはこのファームウェアを書き込めません。",
     u"L'aggiornamento non è stato avviato: la memoria di questa fotocamera non può ricevere "
     u"questo firmware.",
     u"De update is niet gestart: het geheugen van deze camera kan deze firmware niet bevatten."},
    {u"The update failed: the camera was disconnected.",
     u"La mise à jour a échoué\u00A0: la caméra a été déconnectée.",
     u"Die Aktualisierung ist fehlgeschlagen: Die Kamera wurde getrennt.",
     u"アップデートに失敗しました。カメラの接続が切断されました。",
     u"Aggiornamento non riuscito: la fotocamera è stata scollegata.",
     u"De update is mislukt: de camera is losgekoppeld."},
};

constexpr Row6 kSafetyTouched = {
    u"The camera's firmware is incomplete, but it is safe to unplug it: the update can be "
    u"finished when it is connected again.",
    u"Le micrologiciel de la caméra est incomplet, mais vous pouvez la débrancher sans risque\u00A0: "
    u"la mise à jour pourra être terminée lorsqu'elle sera rebranchée.",
    u"Die Firmware der Kamera ist unvollständig, Sie können sie aber gefahrlos trennen: Die "
    u"Aktualisierung lässt sich abschließen, sobald sie wieder angeschlossen ist.",
    u"カメラのファームウェアは不完全ですが、取り外しても問題ありません。再接続するとアップデートを完了できます。",
    u"Il firmware della fotocamera è incompleto, ma è possibile scollegarla senza rischi: "
    u"l'aggiornamento potrà essere completato quando verrà ricollegata.",
    u"De firmware van de camera is onvolledig, maar u kunt hem veilig loskoppelen: de update kan "
    u"worden voltooid zodra hij weer is aangesloten.",
};

constexpr Row6 kSafetyUntouched = {
    u"Nothing was changed on the camera; it is safe to unplug it.",
    u"Rien n'a été modifié sur la caméra\u00A0; vous pouvez la débrancher sans risque.",
    u"An der Kamera wurde nichts verändert; Sie können sie gefahrlos trennen.",
    u"カメラには何も変更されていません。取り外しても問題ありません。",
    u"Sulla fotocamera non è stato modificato nulla; è possibile scollegarla senza rischi.",
    u"Er is niets aan de camera veranderd; u kunt hem veilig loskoppelen.",
};

constexpr Row6 kDetailLabels = {u"Details:", u"Détails\u00A0:", u"Details:", u"詳細：",
                                u"Dettagli:", u"Details:"};

// Consistent with the failure view: a run cut short leaves the firmware
// incomplete, which the next run finishes; it does not harm the camera.
constexpr Row6 kCloseRefused = {
    u"The update is still running. Closing now would leave the camera's firmware incomplete "
    u"until the update is run again; please wait until it has finished.",
    u"La mise à jour est en cours. Si vous fermez maintenant, le micrologiciel de la caméra "
    u"restera incomplet jusqu'à ce que la mise à jour soit relancée\u00A0; veuillez attendre la "
    u"fin.",
    u"Die Aktualisierung läuft noch. Wenn Sie jetzt schließen, bleibt die Firmware der Kamera "
    u"unvollständig, bis die Aktualisierung erneut ausgeführt wird; bitte warten Sie, bis sie "
    u"abgeschlossen ist.",
    u"アップデート中です。今閉じると、アップデートをもう一度実行するまでカメラのファームウェアは不完全なままになります。"
    u"完了するまでお待ちください。",
    u"L'aggiornamento è ancora in corso. Chiudendo ora, il firmware della fotocamera resterà "
    u"incompleto finché l'aggiornamento non verrà eseguito di nuovo; attendere il termine.",
    u"De update is nog bezig. Als u nu sluit, blijft de firmware van de camera onvolledig tot "
    u"de update opnieuw wordt uitgevoerd; wacht tot de update klaar is.",
};

// %1$s is the tool's model name.
constexpr Row6 kCameraBusy = {
    u"Another program is updating your %1$s. Please wait until it has finished.",
    u"Un autre programme met à jour votre %1$s. Veuillez attendre qu'il ait terminé.",
    u"Ein anderes Programm aktualisiert gerade Ihre %1$s. Bitte warten Sie, bis es fertig ist.",
    u"別のプログラムが %1$s を更新しています。終了するまでお待ちください。",
    u"Un altro programma sta aggiornando la %1$s. Attendere che abbia terminato.",
    u"Een ander programma werkt uw %1$s bij. Wacht tot het klaar is.",
};

// Phase names, one row per phase from Erase on.
constexpr Row6 kPhaseNames[] = {
    {u"Erasing", u"Effacement", u"Löschen", u"消去中", u"Cancellazione", u"Wissen"},
    {u"Writing", u"Écriture", u"Schreiben", u"書き込み中", u"Scrittura", u"Schrijven"},
    {u"Verifying", u"Vérification", u"Prüfen", u"検証中", u"Verifica", u"Controleren"},
};

constexpr Row6 kSecondsLeft = {u"about %1$s s left", u"environ %1$s s restantes", u"noch etwa %1$s s",
                               u"残り約%1$s秒", u"circa %1$s s rimanenti", u"nog ongeveer %1$s s"};
constexpr Row6 kMinutesLeft = {u"about %1$s min left", u"environ %1$s min restantes",
                               u"noch etwa %1$s min", u"残り約%1$s分", u"circa %1$s min rimanenti",
                               u"nog ongeveer %1$s min"};

constexpr Row6 kNoFirmwareFile = {
    u"No firmware file (*.bin) was found in:\n%1$s",
    u"Aucun fichier de micrologiciel (*.bin) n'a été trouvé dans\u00A0:\n%1$s",
    u"In diesem Ordner wurde keine Firmware-Datei (*.bin) gefunden:\n%1$s",
    u"次のフォルダーにファームウェアファイル（*.bin）が見つかりません：\n%1$s",
    u"Nessun file firmware (*.bin) trovato in:\n%1$s",
    u"Er is geen firmwarebestand (*.bin) gevonden in:\n%1$s",
};

constexpr Row6 kChooseOrDrop = {
    u"Choose a firmware file, or drop one on this window.",
    u"Choisissez un fichier de micrologiciel ou déposez-le sur cette fenêtre.",
    u"Wählen Sie eine Firmware-Datei aus oder ziehen Sie sie auf dieses Fenster.",
    u"ファームウェアファイルを選択するか、このウィンドウにドロップしてください。",
    u"Scegliere un file firmware o trascinarlo su questa finestra.",
    u"Kies een firmwarebestand of sleep het naar dit venster.",
};

// One row per FileProblem from Unreadable on; %1$s is the file's name.
constexpr Row6 kFileProblems[] = {
    {u"The firmware file %1$s cannot be read.",
     u"Le fichier de micrologiciel %1$s ne peut pas être lu.",
     u"Die Firmware-Datei %1$s kann nicht gelesen werden.",
     u"ファームウェアファイル %1$s を読み込めません。",
     u"Impossibile leggere il file firmware %1$s.",
     u"Het firmwarebestand %1$s kan niet worden gelezen."},
    {u"The file %1$s is not a firmware image.",
     u"Le fichier %1$s n'est pas une image de micrologiciel.",
     u"Die Datei %1$s ist kein Firmware-Abbild.",
     u"ファイル %1$s はファームウェアイメージではありません。",
     u"Il file %1$s non è un'immagine firmware.",
     u"Het bestand %1$s is geen firmware-image."},
    {u"The firmware file %1$s is damaged (its checksum is wrong). Download it again.",
     u"Le fichier de micrologiciel %1$s est endommagé (somme de contrôle incorrecte). "
     u"Téléchargez-le à nouveau.",
     u"Die Firmware-Datei %1$s ist beschädigt (falsche Prüfsumme). Laden Sie sie erneut herunter.",
     u"ファームウェアファイル %1$s は破損しています（チェックサムが正しくありません）。もう一度ダウンロードしてください。",
     u"Il file firmware %1$s è danneggiato (checksum errato). Scaricarlo di nuovo.",
     u"Het firmwarebestand %1$s is beschadigd (onjuiste controlesom). Download het opnieuw."},
    {u"The firmware file %1$s is for another product.",
     u"Le fichier de micrologiciel %1$s est destiné à un autre produit.",
     u"Die Firmware-Datei %1$s ist für ein anderes Produkt bestimmt.",
     u"ファームウェアファイル %1$s は別の製品用です。",
     u"Il file firmware %1$s è destinato a un altro prodotto.",
     u"Het firmwarebestand %1$s is bedoeld voor een ander product."},
};

constexpr Row6 kFirmwareFilter = {u"Firmware file", u"Fichier de micrologiciel",
                                   u"Firmware-Datei", u"ファームウェアファイル",
                                   u"File firmware", u"Firmwarebestand"};

constexpr Row6 kChooseFile = {u"Choose file...", u"Choisir un fichier...", u"Datei wählen...",
                              u"ファイルを選択...", u"Scegli file...", u"Bestand kiezen..."};

constexpr Row6 kShutdownBlocked = {
    u"The camera's firmware is being written. Please wait until the update has finished.",
    u"Le micrologiciel de la caméra est en cours d'écriture. Veuillez attendre la fin de la "
    u"mise à jour.",
    u"Die Firmware der Kamera wird geschrieben. Bitte warten Sie, bis die Aktualisierung "
    u"abgeschlossen ist.",
    u"カメラのファームウェアを書き込んでいます。アップデートが終わるまでお待ちください。",
    u"Il firmware della fotocamera è in fase di scrittura. Attendere il termine "
    u"dell'aggiornamento.",
    u"De firmware van de camera wordt geschreven. Wacht tot de update klaar is."};

constexpr Row6 kRingNames = {u"Update progress", u"Progression de la mise à jour",
                             u"Fortschritt der Aktualisierung", u"アップデートの進行状況",
                             u"Avanzamento dell'aggiornamento", u"Voortgang van de update"};

std::u16string_view Pick(const Row6& row, UiLanguage lang) {
  const auto i = static_cast<std::size_t>(lang);
  return row[i < kLanguageCount ? i : 0];
}

std::u16string Decimal(long value) {
  std::u16string out;
  const std::string s = std::to_string(value);
  out.assign(s.begin(), s.end());
  return out;
}

}  // namespace

std::u16string_view FailureHeadline(UiLanguage lang, FailureKind kind) {
  const auto k = static_cast<std::size_t>(kind);
  return Pick(kFailureHeadlines[k < std::size(kFailureHeadlines) ? k : 0], lang);
}

std::u16string_view FailureSafetyText(UiLanguage lang, FailureKind kind) {
  return Pick(kind == FailureKind::Refused ? kSafetyUntouched : kSafetyTouched, lang);
}

std::u16string_view DetailLabel(UiLanguage lang) { return Pick(kDetailLabels, lang); }

std::u16string_view CloseRefusedText(UiLanguage lang) { return Pick(kCloseRefused, lang); }

std::u16string CameraBusyText(UiLanguage lang, std::u16string_view model_name) {
  return Fill(Pick(kCameraBusy, lang), {model_name});
}

const char* PhaseName(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::Erase:
      return "erase";
    case UpdatePhase::Program:
      return "program";
    case UpdatePhase::Verify:
      return "verify";
    case UpdatePhase::None:
      break;
  }
  return "";
}

std::u16string TimeLeftText(UiLanguage lang, long secondsLeft) {
  if (secondsLeft < 0) return {};
  // Minutes are rounded up: "about 2 min" must not promise less than is left.
  if (secondsLeft >= 90) return Fill(Pick(kMinutesLeft, lang), {Decimal((secondsLeft + 59) / 60)});
  return Fill(Pick(kSecondsLeft, lang), {Decimal(std::max(1L, secondsLeft))});
}

std::u16string PhaseLineText(UiLanguage lang, UpdatePhase phase, int percent, long secondsLeft) {
  if (phase == UpdatePhase::None) return {};
  std::u16string line(Pick(kPhaseNames[static_cast<std::size_t>(phase) - 1], lang));
  line += u"... ";
  line += Decimal(std::clamp(percent, 0, 100));
  line += u" %";
  if (secondsLeft >= 0) {
    line += u" \u00B7 ";
    line += TimeLeftText(lang, secondsLeft);
  }
  return line;
}

std::u16string NoFirmwareFileText(UiLanguage lang, std::u16string_view folder) {
  std::u16string text = Fill(Pick(kNoFirmwareFile, lang), {folder});
  text += u'\n';
  text += Pick(kChooseOrDrop, lang);
  return text;
}

std::u16string FileProblemText(UiLanguage lang, FileProblem problem,
                               std::u16string_view fileName) {
  if (problem == FileProblem::None) return {};
  if (problem == FileProblem::NotFound) return NoFirmwareFileText(lang, fileName);
  const auto k = static_cast<std::size_t>(problem) - static_cast<std::size_t>(FileProblem::Unreadable);
  std::u16string text = Fill(Pick(kFileProblems[k < std::size(kFileProblems) ? k : 0], lang),
                             {fileName});
  text += u'\n';
  text += Pick(kChooseOrDrop, lang);
  return text;
}

std::u16string_view ChooseFileButtonText(UiLanguage lang) { return Pick(kChooseFile, lang); }

std::u16string FirmwareFileFilterName(UiLanguage lang) {
  std::u16string name(Pick(kFirmwareFilter, lang));
  name += u" (*.bin)";
  return name;
}

std::u16string_view RingAccessibleName(UiLanguage lang) { return Pick(kRingNames, lang); }

std::u16string_view ShutdownBlockedText(UiLanguage lang) { return Pick(kShutdownBlocked, lang); }

std::u16string ConfirmButtonMnemonic(UiLanguage lang, std::size_t n) {
  const std::u16string_view text = ConfirmText(lang, n);
  // Japanese labels carry no Latin letter: the mnemonic follows in
  // parentheses, as desktop programs in that language write it.
  if (lang == UiLanguage::Japanese) {
    std::u16string out(text);
    out += n == kConfirmSlotOk ? u"(&Y)" : u"(&N)";
    return out;
  }
  // OK takes its first letter; Cancel its first letter unless that is OK's
  // ("OK" / "Ongedaan"), then its next letter that differs.
  const char16_t okLetter = ConfirmText(lang, kConfirmSlotOk).empty() ? u'\0' : ConfirmText(lang, kConfirmSlotOk)[0];
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
  std::size_t at = 0;
  if (n != kConfirmSlotOk) {
    while (at < text.size() && lower(text[at]) == lower(okLetter)) ++at;
    if (at >= text.size()) at = 0;
  }
  std::u16string out(text);
  if (!out.empty()) out.insert(at, u"&");
  return out;
}

std::u16string ConfirmWarningText(UiLanguage lang, std::u16string_view model_name) {
  return Compose(Sentence::ConfirmWarning, lang,
                 {ConfirmText(lang, kConfirmWarningBefore), model_name, ConfirmText(lang, kConfirmWarningAfter)});
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

// ------------------------------------------- whole-update progress, Downloads --

namespace {

// %1$s is the step, %2$s the number of steps.
constexpr Row6 kStepOf = {u"Step %1$s of %2$s: ", u"Étape %1$s sur %2$s\u00A0: ", u"Schritt %1$s von %2$s: ",
                          u"ステップ %1$s/%2$s：",  u"Passo %1$s di %2$s: ",       u"Stap %1$s van %2$s: "};

// %1$s is the file's name, %2$s its folder.
constexpr Row6 kFromDownloads = {
    u"Firmware file %1$s from your Downloads folder (%2$s).",
    u"Fichier de micrologiciel %1$s de votre dossier Téléchargements (%2$s).",
    u"Firmware-Datei %1$s aus Ihrem Ordner „Downloads“ (%2$s).",
    u"ダウンロード フォルダーのファームウェアファイル %1$s（%2$s）を使用します。",
    u"File firmware %1$s dalla cartella Download (%2$s).",
    u"Firmwarebestand %1$s uit uw map Downloads (%2$s).",
};

}  // namespace

std::u16string PercentText(UiLanguage lang, int percent) {
  std::u16string out = Decimal(std::clamp(percent, 0, 100));
  // French and German set the sign apart, with a space that never breaks
  // the number from it.
  if (lang == UiLanguage::French || lang == UiLanguage::German) out += u'\u00A0';
  out += u'%';
  return out;
}

int PhaseStep(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::Erase:
      return 1;
    case UpdatePhase::Program:
      return 2;
    case UpdatePhase::Verify:
      return 3;
    case UpdatePhase::None:
      break;
  }
  return 0;
}

std::u16string ProgressLineText(UiLanguage lang, UpdatePhase phase, int percent,
                                long secondsLeft) {
  if (phase == UpdatePhase::None) return {};
  const std::u16string step = Decimal(PhaseStep(phase));
  const std::u16string steps = Decimal(kUpdateSteps);
  std::u16string line = Fill(Pick(kStepOf, lang), {step, steps});
  line += Pick(kPhaseNames[static_cast<std::size_t>(phase) - 1], lang);
  line += u"... ";
  line += PercentText(lang, percent);
  if (secondsLeft >= 0) {
    line += u" \u00B7 ";
    line += TimeLeftText(lang, secondsLeft);
  }
  return line;
}

std::u16string DownloadsFileText(UiLanguage lang, std::u16string_view fileName,
                                 std::u16string_view folder) {
  return Fill(Pick(kFromDownloads, lang), {fileName, folder});
}

}  // namespace lumavix
