// Inside the platform layer: the program's command line as GetCommandLineA
// gives it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace qtlayer {

// The line Windows gives a program: its arguments joined with single
// blanks, the first of them, the program's path, in double quotes when it
// holds a blank, so that the text after the first blank outside those
// quotes is the arguments. The other arguments are left as they are.
std::string WindowsCommandLine(const std::vector<std::string> &arguments);

// Read once, on first use from any thread, and kept.
class CommandLineCopy {
public:
    const char *Get();  // WindowsCommandLine of the process's own arguments

private:
    std::mutex mutex_;
    bool read_ = false;
    std::string line_;
};

}  // namespace qtlayer
