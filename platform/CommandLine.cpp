// The program's command line as the system handed it over.
#include "platform/CommandLine.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

namespace qtlayer {

std::string WindowsCommandLine(const std::vector<std::string> &arguments) {
    std::string line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) line += ' ';
        // Only the path is quoted: the autorun name is the text after it,
        // blanks and quotes included, as the user typed it.
        if (i == 0 && arguments[i].find(' ') != std::string::npos)
            line += '"' + arguments[i] + '"';
        else
            line += arguments[i];
    }
    return line;
}

const char *CommandLineCopy::Get() {
    std::lock_guard lock(mutex_);
    if (!read_) {
        // The arguments as the system handed them to the process, byte for
        // byte: the kernel's copy, not the toolkit's (which has taken its own
        // options out and decoded the rest).
        std::string bytes;
        if (FILE *file = std::fopen("/proc/self/cmdline", "rb")) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
            std::fclose(file);
        }
        while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
        std::vector<std::string> arguments;
        for (size_t start = 0; start < bytes.size();) {
            const size_t end = bytes.find('\0', start);
            arguments.push_back(bytes.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        if (arguments.empty() && QCoreApplication::instance() != nullptr)
            for (const QString &argument : QCoreApplication::arguments())
                arguments.push_back(argument.toLocal8Bit().toStdString());
        line_ = WindowsCommandLine(arguments);
        read_ = true;
    }
    return line_.c_str();
}

}  // namespace qtlayer
