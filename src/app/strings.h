// The tool's string table: every user-visible text has a numeric id. The
// built-in English set is compiled in; a translator function installed by the
// front end (the language mechanism) may supply another language's text for
// an id, and the English text is used where it supplies none.
//
// The English texts are kept byte for byte, odd spellings and spacing
// included: radios, log readers and the scripts that drive the tool compare
// them exactly, so a "corrected" text would break them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vkt {

// Ids the flows refer to by name.
namespace str {
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
inline constexpr int kToggleAnalog = 3;
inline constexpr int kYes = 6;
inline constexpr int kNo = 7;
inline constexpr int kDealerLoginHint = 102;
inline constexpr int kSerialIdentical = 103;
inline constexpr int kWrongPassword = 104;
inline constexpr int kDealerLoginItem = 105;
inline constexpr int kRestartForLanguage = 106;
inline constexpr int kPasswordHint = 107;
inline constexpr int kHelpHint = 108;
inline constexpr int kDisplayHelpHint = 109;
inline constexpr int kAboutHint = 110;
inline constexpr int kQuitHint = 111;
inline constexpr int kReinstall = 112;
inline constexpr int kManyCables = 113;
inline constexpr int kUpdateSuccessful = 114;
inline constexpr int kUpdateFailed = 115;
inline constexpr int kConfirmUpdate = 116;
inline constexpr int kSerialIncorrect = 117;
inline constexpr int kToggleAnalogRetry = 119;
inline constexpr int kConfirmDowngrade = 120;
inline constexpr int kSeries = 121;
inline constexpr int kLanguageMenu = 124;
inline constexpr int kTitleRegion = 125;
inline constexpr int kAboutCaption = 129;
inline constexpr int kVersionLine = 130;
inline constexpr int kSerialSuccessful = 131;
inline constexpr int kLegal1 = 132;
inline constexpr int kLegal2 = 133;
inline constexpr int kTitleTool = 134;
inline constexpr int kLegal3 = 135;
inline constexpr int kCableUnsupported = 136;
inline constexpr int kTimeLabelEmpty = 137;
inline constexpr int kHelpUnavailable = 138;
inline constexpr int kConnectFailed = 143;
inline constexpr int kRadioUnsupported = 145;
inline constexpr int kPleaseWait = 147;
inline constexpr int kInfoGroup = 148;
inline constexpr int kRadioTypeLabel = 149;
inline constexpr int kRegionalCodeLabel = 150;
inline constexpr int kModelLabel = 151;
inline constexpr int kSerialLabel = 152;
inline constexpr int kFirmwareLabel = 153;
inline constexpr int kCodeplugLabel = 154;
inline constexpr int kGetInfoButton = 155;
inline constexpr int kUpdateButton = 156;
inline constexpr int kPersonalityCheck = 157;
inline constexpr int kUpdateSerialButton = 158;
inline constexpr int kLogin = 159;
inline constexpr int kGetInfoSuccessful = 171;
inline constexpr int kSerialFailed = 172;
inline constexpr int kVersionIncompatible = 173;
inline constexpr int kAlreadyLatest = 174;
inline constexpr int kNotAvailable = 175;
inline constexpr int kCableConnected = 176;
inline constexpr int kCableDisconnected = 177;
// Recovery of interrupted updates (texts of this tool's own).
inline constexpr int kRecoveryNotice = 300;
inline constexpr int kPendingOtherSerial = 301;
inline constexpr int kPersonalitySaved = 302;
inline constexpr int kUpdateAgainWindow = 303;
inline constexpr int kNothingChanged = 304;
inline constexpr int kStoppedNothingChanged = 305;
inline constexpr int kStopped = 306;
inline constexpr int kJournalUnusable = 307;
inline constexpr int kBackupUnreadable = 308;
inline constexpr int kNothingToRecover = 309;
inline constexpr int kRecoverMenuItem = 310;
inline constexpr int kInterruptedUpdates = 311;
inline constexpr int kRecoverButton = 312;
inline constexpr int kNoInterruptedUpdate = 313;
inline constexpr int kRecoverInstructions = 314;
inline constexpr int kSelectedOtherSerial = 315;
inline constexpr int kSelectedOtherModel = 316;
inline constexpr int kOfferRecovery = 317;
inline constexpr int kRecoverHint = 318;
inline constexpr int kSwitchOffAndOn = 319;
inline constexpr int kRecoveryInFull = 320;
// Phases of a programming run, in its progress display.
inline constexpr int kPhaseReadingPersonality = 321;
inline constexpr int kPhaseErasing = 322;
inline constexpr int kPhaseFirmware = 323;
inline constexpr int kPhaseCodeplug = 324;
inline constexpr int kPhaseVoicePrompts = 325;
inline constexpr int kPhaseRestoringPersonality = 326;
inline constexpr int kPhaseFinishing = 327;
inline constexpr int kPhaseDone = 328;
// The question before an update that does not keep the personality.
inline constexpr int kConfirmErasePersonality = 329;
inline constexpr int kPhaseVerifying = 330;
// Reading the radio's flash back.
inline constexpr int kVerifyCheck = 331;
inline constexpr int kVerifyMatches = 332;
inline constexpr int kVerifyDiffers = 333;
inline constexpr int kVerifyFailed = 334;
}  // namespace str

// Returns the text of `id` in another language, or nothing to fall back to
// English.
using Translator = std::function<std::optional<std::string>(int id)>;

// Installs the translator consulted by loadString (an empty one removes it).
// Call it before the flows run; it is not synchronised with loadString.
void setTranslator(Translator translator);

// The text of `id` in the current language; empty for an unknown id.
std::string loadString(int id);

// The built-in English text; empty for an unknown id.
std::string englishString(int id);

// Every id of the built-in table, ascending (for catalogues and tests).
std::vector<int> stringIds();

// Replaces every "%1" in `text` by `value` (the series caption's placeholder).
std::string replacePlaceholder(std::string text, const std::string& value);

}  // namespace vkt
