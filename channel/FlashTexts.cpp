#include "channel/FlashTexts.h"

#include "platform/win32.h"

namespace {
// "\n" and the told cause, or nothing.
std::string ALineMore(const FailureTold &why) { return why.text.empty() ? std::string() : "\n" + why.text; }

// A box's lines as one run of words.
std::string Joined(std::string text) {
    for (char &c : text)
        if (c == '\n') c = ' ';
    return text;
}
}  // namespace

FailureTold TellFailure(const FailureCause &cause, DriveTransport transport, bool firstBlock) {
    FailureTold told;
    if (cause.kind == FailureKind::None) return told;
    told.kind = FailureKindWord(cause.kind);
    told.text = SayFailureCause(cause);
    if (WantsUsbAdvice(cause, transport, firstBlock)) told.text += (told.text.empty() ? "" : "\n") + std::string(kUsbAdvice);
    return told;
}

std::string EndedEarlyText(int block, int count, const FailureTold &why) {
    char text[400];
    if (block == 0)
        wsprintfA(text, " DOWNLOAD FAIL!! \nThe transfer could not be started.\nNothing was sent to the drive.");
    else if (why.Gone())
        return " DOWNLOAD FAIL!! \nThe drive went away at block " + std::to_string(block) + " of " +
               std::to_string(count) +
               " (unplugged, reset or switched off).\nConnect it again and write the same image again; restart the "
               "computer if it does not come back.";
    else
        wsprintfA(text, " DOWNLOAD FAIL!! \nThe drive refused block %d of %d.", block, count);
    return text + ALineMore(why);
}

std::string FinalRefusedText(const FailureTold &why) { return " DOWNLOAD FAIL!! \nRestart WINDOWS" + ALineMore(why); }

std::string ProcessLostText(int block, int count) {
    char text[256];
    wsprintfA(text, " DOWNLOAD FAIL!! \nThe flash was cut off at block %d of %d:\nthe program writing the drive has ended.\nThe drive may need the same image again.", block, count);
    return text;
}

std::string RestartRefusedText(const char *reason) {
    char text[1025];
    wsprintfA(text, "RESTART FAILED!!\nThe system did not restart: %s\nRestart the computer to finish the firmware update.",
              reason != nullptr && reason[0] != '\0' ? reason : "no reason given.");
    return text;
}

std::string DriveAnswerSentence(bool accepted, int block, int count, const FailureTold &why) {
    if (why.Gone() && !accepted)
        return "DOWNLOAD FAIL: the drive went away at block " + std::to_string(block) + " of " + std::to_string(count) +
               " (unplugged, reset or switched off). Connect it again and write the same image again; restart the "
               "computer if it does not come back.";
    char text[200];
    if (accepted)
        wsprintfA(text, "DOWNLOAD OK: the drive accepted all %d blocks.", count);
    else if (block == count)
        wsprintfA(text, "DOWNLOAD FAIL: the drive refused the final block (%d of %d).", count, count);
    else if (block == 0)
        wsprintfA(text, "DOWNLOAD FAIL: The transfer could not be started. Nothing was sent to the drive.");
    else
        wsprintfA(text, "DOWNLOAD FAIL: The drive refused block %d of %d.", block, count);
    return text + (why.text.empty() || accepted ? std::string() : " " + Joined(why.text));
}

std::string ProcessLostSentence(int block, int count, const std::string &how) {
    char text[160];
    wsprintfA(text, "DOWNLOAD FAIL: the flash was cut off at block %d of %d: its process ended (", block, count);
    return text + how + "). The drive may need the same image again.";
}

std::string NoRestartSentence(const std::string &cause) {
    return cause + ": no restart was requested. Restart the computer to finish.";
}
