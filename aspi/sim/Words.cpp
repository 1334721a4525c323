#include "aspi/sim/Words.h"

#include <cerrno>
#include <cstdlib>

namespace quorvel_sim {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool NextLine(const std::string &text, size_t &pos, std::string &line) {
    if (pos >= text.size()) return false;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    line.assign(text, pos, end - pos);
    pos = end + 1;
    return true;
}

bool SplitWords(const std::string &line, std::vector<std::string> &words, std::string &error) {
    words.clear();
    std::string word;
    bool inWord = false, inQuote = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inQuote) {
            word += c;
            if (c == '\\') {
                if (i + 1 >= line.size()) break;
                word += line[++i];
            } else if (c == '"') {
                inQuote = false;
            }
            continue;
        }
        if (c == '#') break;
        if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) words.push_back(word), word.clear(), inWord = false;
            continue;
        }
        inWord = true;
        word += c;
        if (c == '"') inQuote = true;
    }
    if (inQuote) {
        error = "unterminated quoted string";
        return false;
    }
    if (inWord) words.push_back(word);
    return true;
}

bool ParseNumber(const std::string &text, unsigned long max, unsigned long &out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char *end = nullptr;
    int base = (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

std::string Quote(const uint8_t *bytes, size_t length) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b >= 0x20 && b <= 0x7E) {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    out += '"';
    return out;
}

std::optional<std::string> Unquote(const std::string &quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
    std::string out;
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '"') return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 2 >= quoted.size()) return std::nullopt;  // a backslash before the closing quote
        char next = quoted[++i];
        if (next == '\\' || next == '"') {
            out += next;
        } else if (next == 'x') {
            if (i + 3 >= quoted.size()) return std::nullopt;
            int high = HexDigit(quoted[i + 1]), low = HexDigit(quoted[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace quorvel_sim
