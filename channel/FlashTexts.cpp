#include "channel/FlashTexts.h"

#include "platform/win32.h"

namespace {
// "\n" and the told cause, or nothing.
std::string ALineMore(const FlashOutcome &outcome) {
    return outcome.told.empty() ? std::string() : "\n" + outcome.told;
}

// A box's lines as one run of words.
std::string Joined(std::string text) {
    for (char &c : text)
        if (c == '\n') c = ' ';
    return text;
}

std::string Of(int block, int blocks) { return std::to_string(block) + " of " + std::to_string(blocks); }

constexpr char kGoneAdvice[] =
    " (unplugged, reset or switched off).\nConnect it again and write the same image again; restart the computer if "
    "it does not come back.";

// A text of the record's (anyone's to write) in a box: at most this long.
constexpr size_t kBoxFieldLength = 200;
std::string BoxField(const std::string &text) {
    return text.size() <= kBoxFieldLength ? text : text.substr(0, kBoxFieldLength) + "...";
}
}  // namespace

std::string TellFailure(const FailureCause &cause, DriveTransport transport, bool firstBlock) {
    if (cause.kind == FailureKind::None) return {};
    std::string told = SayFailureCause(cause);
    if (WantsUsbAdvice(cause, transport, firstBlock)) told += (told.empty() ? "" : "\n") + std::string(kUsbAdvice);
    return told;
}

std::string ResultText(const FlashOutcome &outcome) {
    if (outcome.ending == FlashEnding::Accepted) return "  DOWNLOAD OK!!  \nRestart WINDOWS";
    return " DOWNLOAD FAIL!! \nRestart WINDOWS" + ALineMore(outcome);
}

std::string EndedEarlyText(const FlashOutcome &outcome) {
    if (outcome.ending == FlashEnding::Gone)
        return " DOWNLOAD FAIL!! \nThe drive went away at block " + Of(outcome.block, outcome.blocks) + kGoneAdvice;
    if (outcome.block == 0)
        return " DOWNLOAD FAIL!! \nThe transfer could not be started.\nNothing was sent to the drive." +
               ALineMore(outcome);
    return " DOWNLOAD FAIL!! \nThe drive refused block " + Of(outcome.block, outcome.blocks) + "." + ALineMore(outcome);
}

std::string CutOffText(const FlashOutcome &outcome) {
    return " DOWNLOAD FAIL!! \nThe flash was cut off at block " + Of(outcome.block, outcome.blocks) +
           ":\nthe program writing the drive has ended.\nThe drive may need the same image again.";
}

std::string RestartRefusedText(const char *reason) {
    char text[1025];
    wsprintfA(text, "RESTART FAILED!!\nThe system did not restart: %s\nRestart the computer to finish the firmware update.",
              reason != nullptr && reason[0] != '\0' ? reason : "no reason given.");
    return text;
}

std::string OutcomeSentence(const FlashOutcome &outcome) {
    const std::string of = Of(outcome.block, outcome.blocks);
    std::string sentence;
    switch (outcome.ending) {
    case FlashEnding::Accepted: return "DOWNLOAD OK: the drive accepted all " + std::to_string(outcome.blocks) + " blocks.";
    case FlashEnding::Gone: return "DOWNLOAD FAIL: the drive went away at block " + of + Joined(kGoneAdvice);
    case FlashEnding::CutOff:
        return "DOWNLOAD FAIL: the flash was cut off at block " + of + ": its process ended (" + outcome.why +
               "). The drive may need the same image again.";
    case FlashEnding::Refused:
        if (outcome.block == 0)
            sentence = "DOWNLOAD FAIL: The transfer could not be started. Nothing was sent to the drive.";
        else if (outcome.block == outcome.blocks)
            sentence = "DOWNLOAD FAIL: the drive refused the final block (" + of + ").";
        else
            sentence = "DOWNLOAD FAIL: The drive refused block " + of + ".";
        return sentence + (outcome.told.empty() ? "" : " " + Joined(outcome.told));
    case FlashEnding::NotWritten:
    case FlashEnding::Pending: break;
    }
    return {};
}

std::string NoRestartSentence(const std::string &cause) {
    return cause + ": no restart was requested. Restart the computer to finish.";
}

std::string OutcomeWords(const FlashOutcome &outcome) {
    const std::string of = Of(outcome.block, outcome.blocks);
    switch (outcome.ending) {
    case FlashEnding::Accepted: return "accepted";
    case FlashEnding::Refused: return "refused at block " + of;
    case FlashEnding::Gone: return "went away at block " + of;
    case FlashEnding::CutOff: return outcome.block == 0 ? "cut off before the drive answered" : "cut off at block " + of;
    case FlashEnding::NotWritten: return "not written";
    case FlashEnding::Pending: break;
    }
    return "not answered";
}

std::string FirmwareUpdatedText(const std::string &model, const std::string &version, const std::string &was) {
    return "FIRMWARE UPDATED!!\n" + BoxField(model) + "\nnow runs " + BoxField(version) + " (was " + BoxField(was) + ")";
}

std::string FirmwareNotUpdatedText(const std::string &model, const std::string &runs, const std::string &wanted) {
    return "FIRMWARE NOT UPDATED!!\n" + BoxField(model) + "\nstill runs " + BoxField(runs) + ", not " +
           BoxField(wanted) + ".\nFlash it again, or ask the drive's maker.";
}

std::string UnattendedText(const std::string &model, const std::string &version, const std::string &who,
                           const FlashOutcome &outcome) {
    const std::string head = BoxField(model) + "\n" + BoxField(version) + " was written while " + BoxField(who) + ":\n";
    if (outcome.ending == FlashEnding::Accepted)
        return "FIRMWARE WRITTEN!!\n" + head + "the drive accepted all " + std::to_string(outcome.blocks) +
               " blocks.\nRestart the computer to finish the update.";
    if (outcome.ending == FlashEnding::CutOff)
        return " DOWNLOAD FAIL!! \n" + head + "the flash was " + OutcomeWords(outcome) +
               ".\nThe drive may need the same image again.";
    return " DOWNLOAD FAIL!! \n" + head + "the drive " +
           (outcome.ending == FlashEnding::Gone ? "went away at" : "refused") + " block " +
           Of(outcome.block, outcome.blocks) + ".\nThe drive may need the same image again.";
}

EndedAloneNotice NoticeOfTheEnd(const std::string &model, const std::string &version, const std::string &who,
                                const FlashOutcome &outcome) {
    const std::string written = BoxField(model) + ": firmware " + BoxField(version) + ", written while " +
                                BoxField(who) + ". ";
    if (outcome.ending == FlashEnding::Accepted)
        return {"Firmware written: restart to finish",
                written + "The drive accepted all " + std::to_string(outcome.blocks) +
                    " blocks. Restart the computer to finish the update."};
    return {"Firmware not written", written + OutcomeSentence(outcome) +
                                        (outcome.ending == FlashEnding::Gone ? "" : " Write the same image again.")};
}
