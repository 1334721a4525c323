// The program's command line as the system handed it over.
#include "platform/CommandLine.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

namespace qtlayer {

const char *CommandLineCopy::Get() {
    std::lock_guard lock(mutex_);
    if (!read_) {
        // The arguments as the system handed them to the process, byte for
        // byte: the kernel's copy, not the toolkit's (which has taken its own
        // options out and decoded the rest).
        std::string line;
        if (FILE *file = std::fopen("/proc/self/cmdline", "rb")) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) line.append(chunk, n);
            std::fclose(file);
        }
        while (!line.empty() && line.back() == '\0') line.pop_back();
        for (char &c : line)
            if (c == '\0') c = ' ';
        if (line.empty() && QCoreApplication::instance() != nullptr)
            line = QCoreApplication::arguments().join(QLatin1Char(' ')).toLocal8Bit().toStdString();
        line_ = line;
        read_ = true;
    }
    return line_.c_str();
}

}  // namespace qtlayer
