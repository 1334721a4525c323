// The words of the machine and state files (formats in aspi/sim/README.md):
// lines, words, numbers and quoted strings. The trace quotes its paths and
// revisions the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel_sim {

// The next line of `text` from `pos` (without its line feed) into `line`,
// moving `pos` past it; false at the end of the text.
bool NextLine(const std::string &text, size_t &pos, std::string &line);

// Splits one line into words. Blanks inside double quotes belong to the word;
// a backslash inside quotes keeps the next character in the word. '#' outside
// quotes ends the line. An unterminated quote is an error.
bool SplitWords(const std::string &line, std::vector<std::string> &words, std::string &error);

// A whole unsigned number, decimal or 0x-hex, within [0, max].
bool ParseNumber(const std::string &text, unsigned long max, unsigned long &out);

// A byte run as a quoted string with \\, \" and \xHH escapes.
std::string Quote(const uint8_t *bytes, size_t length);
// The bytes of a quoted string ("..." with escapes); nullopt when malformed.
std::optional<std::string> Unquote(const std::string &quoted);

}  // namespace quorvel_sim
