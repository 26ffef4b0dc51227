// The localized texts of the window and of the confirmation dialog, and the
// sentences composed from the text fragments (the language is chosen in
// language.h).
//
// Every user-visible sentence is put together from fragments held in two
// fixed tables, one row of fragments per language, and from a format per
// sentence whose word order differs by language. The fragments themselves
// carry no placeholders; leading and trailing blanks in them are meaningful,
// the composed sentences rely on them for spacing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "app/core/language.h"
#include "app/core/utf8.h"
#include "firmware/product_config.h"

namespace lumavix {

inline constexpr std::size_t kStatusTextCount = 21;
inline constexpr std::size_t kConfirmTextCount = 5;
// A slot holds a NUL-terminated text of at most kTextSlotChars - 1 characters.
inline constexpr std::size_t kTextSlotChars = 200;

// Entry n of language L is slot L * kStatusTextCount + n. Entries 11 to 14
// are reserved: no sentence uses them and they are empty.
//   0 product name ("LUMAVIX")        1 tool name (window title)
//   2-5 update-available fragments    6 Update button
//   7-9 up-to-date fragments          10 connect request
//   15 progress message               16-18 completion fragments
//   19-20 not-this-product fragments
extern const char16_t StatusTexts[kLanguageCount * kStatusTextCount][kTextSlotChars];

// The slots that hold a whole text of their own; the fragments are put
// together only by the sentence builders below.
inline constexpr std::size_t kSlotProductName = 0;
inline constexpr std::size_t kSlotToolName = 1;
inline constexpr std::size_t kSlotUpdateButton = 6;
inline constexpr std::size_t kSlotConnect = 10;
inline constexpr std::size_t kSlotProgressMessage = 15;

// Entry n of language L is slot L * kConfirmTextCount + n:
//   0 heading, 1 and 2 the warning around the model name, 3 Cancel, 4 OK.
extern const char16_t ConfirmTexts[kLanguageCount * kConfirmTextCount][kTextSlotChars];

inline constexpr std::size_t kConfirmSlotHeading = 0;
inline constexpr std::size_t kConfirmSlotCancel = 3;
inline constexpr std::size_t kConfirmSlotOk = 4;

// Entry `n` of the given language; empty for an index outside the table.
[[nodiscard]] std::u16string_view StatusText(UiLanguage lang, std::size_t n);
[[nodiscard]] std::u16string_view ConfirmText(UiLanguage lang, std::size_t n);

// Entry `n` in the process-wide language.
[[nodiscard]] std::u16string_view StatusText(std::size_t n);
[[nodiscard]] std::u16string_view ConfirmText(std::size_t n);

// "Q", "R" or "R2"; empty for a value that names no model.
[[nodiscard]] std::u16string_view VariantLetter(ModelVariant variant);

// The model name of the tool, "LUMAVIX Q" for Q (no trailing blank, unlike
// the camera's model text that the user-data read produces).
[[nodiscard]] std::u16string ModelName(ModelVariant variant);

// The window title, e.g. "LUMAVIX Q Firmware Update"; French and Italian put
// the tool name before the product name.
[[nodiscard]] std::u16string WindowTitle(UiLanguage lang, ModelVariant variant);

// The sentences composed from the fragments. `model_name` is ModelName() of
// the tool's variant; `camera_model_text` is the camera's model text with its
// trailing blank ("LUMAVIX Q "). Versions print as four upper-case
// hexadecimal digits after a "v".

// "Please connect your LUMAVIX Q."
[[nodiscard]] std::u16string ConnectText(UiLanguage lang, std::u16string_view model_name);

// Two lines: the camera is ready, then the file's and the camera's versions.
[[nodiscard]] std::u16string UpdateAvailableText(UiLanguage lang,
                                                 std::u16string_view camera_model_text,
                                                 std::uint16_t file_version,
                                                 std::uint16_t camera_version);

// The camera's version and a request to close the tool.
[[nodiscard]] std::u16string UpToDateText(UiLanguage lang,
                                          std::u16string_view camera_model_text,
                                          std::uint16_t camera_version);

// The firmware is for this tool's model; followed by the download-page link.
[[nodiscard]] std::u16string NotThisProductText(UiLanguage lang,
                                                std::u16string_view model_name);

// The new version and a request to reconnect the camera.
[[nodiscard]] std::u16string CompletionText(UiLanguage lang, std::uint16_t file_version,
                                            std::u16string_view camera_model_text);

// A camera whose last update did not finish (its flash holds no whole
// identity) but whose USB identity is this tool's model: the update must be
// run again, to the file's version. `model_name` without a trailing blank.
[[nodiscard]] std::u16string InterruptedText(UiLanguage lang, std::u16string_view model_name,
                                             std::uint16_t file_version);

// The camera came back after its update and runs the version written: the
// update is confirmed. `model_name` is the camera's model text.
[[nodiscard]] std::u16string ConfirmedText(UiLanguage lang, std::u16string_view model_name,
                                           std::uint16_t version);

// An unfinished camera whose identity cannot be told at all (its USB id is
// none this tool knows): finish the update only if the user knows it is this
// tool's model, with the window's button or the command's --recover; for any
// other camera, not at all.
[[nodiscard]] std::u16string InterruptedUnidentifiedText(UiLanguage lang,
                                                         std::u16string_view model_name);
// The button that finishes such an update on the user's word.
[[nodiscard]] std::u16string_view FinishUpdateButtonText(UiLanguage lang);

// The camera is connected but its reads kept failing: nothing is offered.
[[nodiscard]] std::u16string_view UnreadableCameraText(UiLanguage lang);

// After a failed update while the camera is still connected: what to do.
// The failure itself is the progress message above it.
[[nodiscard]] std::u16string_view RetryAdviceText(UiLanguage lang);

// ------------------------------------------------ update moments, failures --
// These sentences are whole in each language (no fragments): each is one
// table row of six, a format of FormatText() below with text arguments.

// Why an update run ended without success, as the user can act on it.
enum class FailureKind : std::uint8_t {
  WriteFailed,     // programming the flash failed
  VerifyFailed,    // what was read back differs from the file
  EraseFailed,     // a sector could not be erased
  NoAnswer,        // a transfer failed: the camera stopped answering (often unplugged)
  Refused,         // refused before anything on the camera was touched
  Disconnected,    // the camera was gone when the run ended (unplugged during it)
};

// What happened, in one sentence.
[[nodiscard]] std::u16string_view FailureHeadline(UiLanguage lang, FailureKind kind);
// Whether the camera may be unplugged now, and what it needs afterwards.
[[nodiscard]] std::u16string_view FailureSafetyText(UiLanguage lang, FailureKind kind);
// The label before the engine's own (English) status in the detail line.
[[nodiscard]] std::u16string_view DetailLabel(UiLanguage lang);

// The window was asked to close while an update runs.
[[nodiscard]] std::u16string_view CloseRefusedText(UiLanguage lang);
// Why the session may not end now, as the system shows it beside the
// program at shutdown or log-off while the flash is written.
[[nodiscard]] std::u16string_view ShutdownBlockedText(UiLanguage lang);

// Another program is writing the camera: the window waits for it.
// `model_name` is the tool's, without a trailing blank.
[[nodiscard]] std::u16string CameraBusyText(UiLanguage lang, std::u16string_view model_name);

// The phases of an update run, as the window and the command line name them.
enum class UpdatePhase : std::uint8_t { None, Erase, Program, Verify };
// "erase", "program", "verify"; empty for None.
[[nodiscard]] const char* PhaseName(UpdatePhase phase);
// The line under the ring: "Writing… 45 %", with "about 20 s left" when
// `secondsLeft` is not negative. Empty for None.
[[nodiscard]] std::u16string PhaseLineText(UiLanguage lang, UpdatePhase phase, int percent,
                                           long secondsLeft);
// "about 20 s left" or, from 90 seconds on, "about 2 min left".
[[nodiscard]] std::u16string TimeLeftText(UiLanguage lang, long secondsLeft);

// A percentage as the language writes it: "40%" in English, Japanese,
// Italian and Dutch; "40 %" (a no-break space) in French and German. The
// ring, the progress line and what screen readers read use this one spelling.
// `percent` is clamped to 0..100.
[[nodiscard]] std::u16string PercentText(UiLanguage lang, int percent);
// The line under the ring with the step of the whole update it belongs to:
// "Step 2 of 3: Writing... 40%", then " · about 20 s left" when
// `secondsLeft` (for the whole update) is not negative. `percent` is the
// step's own. Empty for None.
[[nodiscard]] std::u16string ProgressLineText(UiLanguage lang, UpdatePhase phase, int percent,
                                              long secondsLeft);
// The number of the phase among the update's steps (1..kUpdateSteps); 0
// for None.
inline constexpr int kUpdateSteps = 3;
[[nodiscard]] int PhaseStep(UpdatePhase phase);

// The firmware file was taken from the user's Downloads folder: its name
// and the folder, one sentence for the status line.
[[nodiscard]] std::u16string DownloadsFileText(UiLanguage lang, std::u16string_view fileName,
                                               std::u16string_view folder);

// The firmware file, when none is usable.
enum class FileProblem : std::uint8_t {
  None,
  NotFound,      // no *.bin in the folder
  Unreadable,    // the file cannot be opened or read
  NotFirmware,   // too short or too long to be a firmware image
  BadCrc,        // its checksum does not match its contents
  OtherProduct,  // a firmware image for another product
};
// "No firmware file (*.bin) was found in: <folder>", then what to do.
[[nodiscard]] std::u16string NoFirmwareFileText(UiLanguage lang, std::u16string_view folder);
// The file named with what is wrong with it, then what to do.
[[nodiscard]] std::u16string FileProblemText(UiLanguage lang, FileProblem problem,
                                             std::u16string_view fileName);
// The button that opens the file dialog.
[[nodiscard]] std::u16string_view ChooseFileButtonText(UiLanguage lang);
// The file dialog's filter as it names it: "Firmware file (*.bin)".
[[nodiscard]] std::u16string FirmwareFileFilterName(UiLanguage lang);

// Button texts with a keyboard mnemonic ("&OK", "&Abbrechen", "はい(&Y)"):
// `n` is kConfirmSlotCancel or kConfirmSlotOk. The two never share a letter.
[[nodiscard]] std::u16string ConfirmButtonMnemonic(UiLanguage lang, std::size_t n);

// Accessible names of controls that show no text of their own.
[[nodiscard]] std::u16string_view RingAccessibleName(UiLanguage lang);

// The confirmation dialog's warning around the tool's model name.
[[nodiscard]] std::u16string ConfirmWarningText(UiLanguage lang,
                                                std::u16string_view model_name);

// The composed sentences, for access to their formats.
enum class Sentence : std::uint8_t {
  WindowTitle,      // args: T[0], T[1], variant letter
  Connect,          // args: T[10], model name
  UpdateAvailable,  // args: T[2], camera model, T[3], T[4], file version, T[5], camera version
  UpToDate,         // args: T[2], camera model, T[7], camera version, T[8], T[9]
  NotThisProduct,   // args: T[19], model name, T[20]
  Completion,       // args: T[16], file version, T[17], camera model, T[18]
  ConfirmWarning,   // args: confirm[1], model name, confirm[2]
};
inline constexpr std::size_t kSentenceCount = 7;

// One argument of a sentence: a text, or a version printed as "%04X".
using TextArg = std::variant<std::u16string_view, std::uint16_t>;

// The format of a sentence in a language. Conversions name their argument by
// position: "%N$s" inserts text argument N, "%N$04X" a version as four
// upper-case hexadecimal digits (N counts from 1); "%%" is a percent sign.
[[nodiscard]] std::u16string_view SentenceFormat(Sentence sentence, UiLanguage lang);

// Expands a format of the form above. A conversion that names a missing
// argument, or one of the other kind, is copied as it stands, so a fault in a
// format shows in the text instead of reading past the arguments.
[[nodiscard]] std::u16string FormatText(std::u16string_view format,
                                        std::span<const TextArg> args);

}  // namespace lumavix
