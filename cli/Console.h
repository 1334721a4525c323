// quorvel-flash's output: its messages on standard error, each a line that
// begins with the program's name, and the one line that the progress bar or
// a question keeps open on a terminal, closed before any message is written.
// Everything quorvel-flash says is said on its message loop's thread: what
// the flashes' processes tell arrives there too.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

constexpr char kProgramName[] = "quorvel-flash";

// "quorvel-flash: <line>" on standard error.
void Tell(const std::string &line);
// Text left open on standard error's line: a bar (drawn again from the
// start of the line) or a question (its answer ends the line).
void DrawOpenLine(const std::string &text);
// Several such lines, one under the other, drawn again in place each time
// (the terminal's cursor moved back up over the lines drawn before).
// A message erases them and is written in their place; the next call draws
// them again below it.
void DrawOpenLines(const std::vector<std::string> &lines);
// The open lines erased: their figures are said otherwise now.
void ClearOpenLines();
void AskOnOpenLine(const std::string &text);
// A question on the terminal: its lines said, the last left open for the
// answer, which is read from standard input on the message loop. `answered`
// runs once, with whether it is yes (IsYes; the input's end is no), or with
// nothing, at once, when there is no input to watch.
void AskOnTerminal(const std::vector<std::string> &question, std::function<void(std::optional<bool> yes)> answered);
// The user's answer ended the open line (the terminal echoed its line feed).
void OpenLineEnded();
// Standard output: what the command was asked for.
void Print(const std::string &text);
