// File lookup as the program's home system does it, where the letter case of
// a name does not matter; see ResolveFileName in win32.h.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/win32.h"

namespace {

// Only the ASCII letters fold: other bytes of a name are compared as they are.
bool SameIgnoringAsciiCase(const char *a, const std::string &b) {
    size_t i = 0;
    for (; a[i] != '\0'; ++i) {
        if (i >= b.size()) return false;
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == b.size();
}

}  // namespace

std::string ResolveFileName(const std::string &path) {
    if (path.empty()) return path;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) return path;

    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return path;
    std::string directory = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    if (directory.empty()) directory.assign(1, '/');  // not = "/": GCC 12 warns falsely at -O3 (-Wrestrict)

    DIR *dir = ::opendir(directory.c_str());
    if (dir == nullptr) return path;
    std::string found;
    int matches = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (SameIgnoringAsciiCase(entry->d_name, name)) {
            if (++matches == 1) found = entry->d_name;
        }
    }
    ::closedir(dir);
    if (matches != 1) return path;
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + found;
}
