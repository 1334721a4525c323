// quorvel-flash's output: its messages on standard error, each a line that
// begins with the program's name, and the one line that the progress bar or
// a question keeps open on a terminal, closed before any message is written.
// Safe from any thread.
#pragma once

#include <string>

constexpr char kProgramName[] = "quorvel-flash";

// "quorvel-flash: <line>" on standard error.
void Tell(const std::string &line);
// Text left open on standard error's line: a bar (drawn again from the
// start of the line) or a question (its answer ends the line).
void DrawOpenLine(const std::string &text);
void AskOnOpenLine(const std::string &text);
// The user's answer ended the open line (the terminal echoed its line feed).
void OpenLineEnded();
// Standard output: what the command was asked for.
void Print(const std::string &text);
