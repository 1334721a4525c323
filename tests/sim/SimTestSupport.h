// Helpers for the simulated machine's tests: a scratch directory, files, the
// trace read back as key=value fields.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

inline std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-simtest-XXXXXX").string();
    char *dir = ::mkdtemp(pattern.data());
    EXPECT_NE(dir, nullptr);
    return pattern;
}

inline void WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "KIND a=1 b=2" -> {"": KIND, "a": "1", "b": "2"}; a value may be quoted
// (with blanks inside).
inline std::map<std::string, std::string> Fields(const std::string &line) {
    std::map<std::string, std::string> fields;
    size_t pos = line.find(' ');
    fields[""] = line.substr(0, pos);
    while (pos != std::string::npos && pos < line.size()) {
        size_t start = pos + 1;
        size_t eq = line.find('=', start);
        if (eq == std::string::npos) break;
        std::string key = line.substr(start, eq - start);
        size_t end;
        if (eq + 1 < line.size() && line[eq + 1] == '"') {
            end = eq + 2;
            while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
            ++end;
        } else {
            end = line.find(' ', eq);
        }
        fields[key] = line.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
        pos = end;
    }
    return fields;
}

// Polls cond for up to limit; for waiting on other processes and threads,
// never for asserting how long something took.
template <typename Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace simtest
