// The standard streams as a program for the terminal uses them: whether one
// is a terminal and how wide, text written to them whole, and a line of an
// answer read from standard input without holding up the message loop (so
// that a termination request is still read while the user thinks).
#pragma once

#include <functional>
#include <optional>
#include <string>

enum class StandardStream { Input, Output, Error };

bool IsTerminal(StandardStream stream);
// The columns of the terminal on `stream`; 0 when it is none or does not say.
int TerminalColumns(StandardStream stream);
// Writes `text` as it is, whole, over short writes and interruptions; false
// when it could not (a reader that has gone, say).
bool WriteToStream(StandardStream stream, const std::string &text);
// Reads one line of standard input on the user-interface thread: `onLine`
// runs there once, from the message loop, with the line (without its line
// feed), or with nothing at the end of the input or on an error. Needs the
// application object; false when the input cannot be watched.
bool ReadLineFromInput(std::function<void(std::optional<std::string>)> onLine);
namespace qtlayer {
// Standard output and error let go of (pointed at /dev/null): a process that
// outlives the program that started it keeps none of that program's streams
// open, so that whoever reads them sees their end when the program ends.
// Behind Win32Layer::LetGoOfStandardStreams.
void LetGoOfTheStreams();
}  // namespace qtlayer
