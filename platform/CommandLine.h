// Inside the platform layer: the program's command line as GetCommandLineA
// gives it.
#pragma once

#include <mutex>
#include <string>

namespace qtlayer {

// Read once, on first use from any thread, and kept.
class CommandLineCopy {
public:
    // The program's path and arguments joined with single blanks.
    const char *Get();

private:
    std::mutex mutex_;
    bool read_ = false;
    std::string line_;
};

}  // namespace qtlayer
