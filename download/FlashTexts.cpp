#include "download/FlashTexts.h"

#include "platform/win32.h"

namespace {
const char *PlanProblem(PlanVerdict verdict) {
    switch (verdict) {
    case PlanVerdict::NoBlocks: return "The file names no blocks to send.";
    case PlanVerdict::EmptyBlocks: return "The file names blocks of 0 KB.";
    case PlanVerdict::FileTooShort: return "The file is shorter than its blocks.";
    case PlanVerdict::BlockTooLong: return "Its final block is larger than 512 KB.";
    case PlanVerdict::Ok: break;
    }
    return "";
}
}  // namespace

std::string FlashRefusalText(FlashCheck check, PlanVerdict verdict, int32_t imageSize, const std::string &reason) {
    switch (check) {
    case FlashCheck::NotOpened: return "Flash File Not Opened!!";
    case FlashCheck::NotValid:
        return std::string("Flash File Not Valid!!\n") + PlanProblem(verdict) + "\nNothing was sent to the drive.";
    case FlashCheck::TooLargeForMemory: {
        char text[256];
        wsprintfA(text, "Flash File Too Large!!\nThere is no memory for its %d bytes.\nNothing was sent to the drive.",
                  imageSize);
        return text;
    }
    case FlashCheck::DriveBusy:
        return " DOWNLOAD BUSY!! \nAnother program is writing to this drive.\nNothing was sent to it.";
    case FlashCheck::DriveUnguarded:
        return " DOWNLOAD NOT GUARDED!! \n" + reason + "\nNothing was sent to the drive.";
    case FlashCheck::NoFlashProcess:
        return " DOWNLOAD FAIL!! \nThe program that writes the drive could not take the flash.\n" + reason +
               "\nNothing was sent to the drive.";
    case FlashCheck::Ready: break;
    }
    return "";
}

std::string EndedEarlyText(int block, int count) {
    char text[256];
    if (block == 0)
        wsprintfA(text, " DOWNLOAD FAIL!! \nThe transfer could not be started.\nNothing was sent to the drive.");
    else
        wsprintfA(text, " DOWNLOAD FAIL!! \nThe drive refused block %d of %d.", block, count);
    return text;
}

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

std::string DriveAnswerSentence(bool accepted, int block, int count) {
    char text[200];
    if (accepted)
        wsprintfA(text, "DOWNLOAD OK: the drive accepted all %d blocks.", count);
    else if (block == count)
        wsprintfA(text, "DOWNLOAD FAIL: the drive refused the final block (%d of %d).", count, count);
    else if (block == 0)
        wsprintfA(text, "DOWNLOAD FAIL: The transfer could not be started. Nothing was sent to the drive.");
    else
        wsprintfA(text, "DOWNLOAD FAIL: The drive refused block %d of %d.", block, count);
    return text;
}

std::string ProcessLostSentence(int block, int count, const std::string &how) {
    char text[160];
    wsprintfA(text, "DOWNLOAD FAIL: the flash was cut off at block %d of %d: its process ended (", block, count);
    return text + how + "). The drive may need the same image again.";
}

std::string NoRestartSentence(const std::string &cause) {
    return cause + ": no restart was requested. Restart the computer to finish.";
}
