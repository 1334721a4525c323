#include "cli/Console.h"

#include <mutex>

#include "platform/Terminal.h"

namespace {
std::mutex OutputMutex;
bool LineOpen = false;  // under OutputMutex

void CloseOpenLine() {
    if (LineOpen) WriteToStream(StandardStream::Error, "\n");
    LineOpen = false;
}
}  // namespace

void Tell(const std::string &line) {
    std::lock_guard lock(OutputMutex);
    CloseOpenLine();
    WriteToStream(StandardStream::Error, std::string(kProgramName) + ": " + line + "\n");
}

void DrawOpenLine(const std::string &text) {
    std::lock_guard lock(OutputMutex);
    // Back to the start of the line, and whatever a longer text left there
    // erased.
    WriteToStream(StandardStream::Error, "\r" + std::string(kProgramName) + ": " + text + "\x1b[K");
    LineOpen = true;
}

void AskOnOpenLine(const std::string &text) {
    std::lock_guard lock(OutputMutex);
    CloseOpenLine();
    WriteToStream(StandardStream::Error, std::string(kProgramName) + ": " + text);
    LineOpen = true;
}

void OpenLineEnded() {
    std::lock_guard lock(OutputMutex);
    LineOpen = false;
}

void Print(const std::string &text) { WriteToStream(StandardStream::Output, text); }
