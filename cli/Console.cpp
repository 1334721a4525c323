#include "cli/Console.h"

#include "cli/Words.h"
#include "platform/Terminal.h"

namespace {
bool LineOpen = false;
size_t LinesDrawn = 0;  // the open lines, the cursor on the last
bool BlockOpen = false;  // they are DrawOpenLines' block

// Back to the start of the first open line, everything below it erased.
std::string EraseOpenLines() {
    std::string out = "\r";
    if (LinesDrawn > 1) out += "\x1b[" + std::to_string(LinesDrawn - 1) + "A";
    return out + "\x1b[J";
}

void CloseOpenLine() {
    // A block of lines gives way to the message, and is drawn again below
    // it; a single bar or question stays, ended by the line feed.
    if (BlockOpen)
        WriteToStream(StandardStream::Error, EraseOpenLines());
    else if (LineOpen)
        WriteToStream(StandardStream::Error, "\n");
    LineOpen = false;
    LinesDrawn = 0;
    BlockOpen = false;
}
}  // namespace

void Tell(const std::string &line) {
    CloseOpenLine();
    WriteToStream(StandardStream::Error, std::string(kProgramName) + ": " + line + "\n");
}

void DrawOpenLine(const std::string &text) {
    // Back to the start of the line, and whatever a longer text left there
    // erased.
    WriteToStream(StandardStream::Error, "\r" + std::string(kProgramName) + ": " + text + "\x1b[K");
    LineOpen = true;
    LinesDrawn = 1;
    BlockOpen = false;
}

void DrawOpenLines(const std::vector<std::string> &lines) {
    std::string out = "\r";
    // Up to the first of the lines drawn last time.
    if (LinesDrawn > 1) out += "\x1b[" + std::to_string(LinesDrawn - 1) + "A";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += "\n";
        out += std::string(kProgramName) + ": " + lines[i] + "\x1b[K";
    }
    // Whatever more lines left below.
    WriteToStream(StandardStream::Error, out + "\x1b[J");
    LineOpen = !lines.empty();
    LinesDrawn = lines.size();
    BlockOpen = LineOpen;
}

void ClearOpenLines() {
    if (LineOpen) WriteToStream(StandardStream::Error, EraseOpenLines());
    LineOpen = false;
    LinesDrawn = 0;
    BlockOpen = false;
}

void AskOnOpenLine(const std::string &text) {
    CloseOpenLine();
    WriteToStream(StandardStream::Error, std::string(kProgramName) + ": " + text);
    LineOpen = true;
    LinesDrawn = 1;
}

void OpenLineEnded() {
    LineOpen = false;
}

void Print(const std::string &text) { WriteToStream(StandardStream::Output, text); }

void AskOnTerminal(const std::vector<std::string> &question, std::function<void(std::optional<bool> yes)> answered) {
    for (size_t i = 0; i + 1 < question.size(); ++i) Tell(question[i]);
    AskOnOpenLine(question.empty() ? std::string() : question.back());
    const bool watching = ReadLineFromInput([answered](const std::optional<std::string> &answer) {
        // The end of the input is no yes.
        if (!answer) return answered(false);
        OpenLineEnded();  // the user's Enter ended the line
        answered(IsYes(*answer));
    });
    if (!watching) answered(std::nullopt);
}
