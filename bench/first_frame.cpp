// Times programs from outside: from the start of the process to the first
// full frame of its window, as the X server sees it (DAMAGE events on the new
// top-level window, until what was drawn covers the whole window), then its
// peak memory once the window has been idle for a while (VmHWM). Nothing is
// preloaded into the programs and nothing of theirs is changed.
//
//   bench_first_frame [options] -- PROGRAM [ARG...] [--vs BASELINE [ARG...]]
//
// With a baseline the two run in turn, the order swapped every round, and the
// ratios are taken round by round. --keys "alt+s o" then sends those keys to
// the program's window once it is idle (XTEST) and times them to the first
// full frame of the next top-level window that appears (a dialog).
//
// Options: --rounds N (15), --warmup N (1), --idle MS (500), --keys KEYS,
// --timeout S (30 per launch), --verbose (every round).
// Run it on a display of its own: any window that appears is taken as the
// program's (bench/first-frame.sh sets one up).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/XClient.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr char kTool[] = "bench_first_frame";
[[noreturn]] void Die(const std::string &why) { bench::Die(kTool, why); }

// A top-level window as this client has seen it: its size and, once mapped,
// which of its pixels have been drawn since.
struct TopLevel {
    xcb_damage_damage_t damage = 0;
    bool mapped = false;
    int width = 0, height = 0;
    std::vector<uint8_t> drawn;
    long drawnCount = 0;

    void Resize(int w, int h) {
        if (w == width && h == height) return;
        width = w;
        height = h;
        drawn.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
        drawnCount = 0;
    }
    // Marks a drawn rectangle; true once every pixel has been drawn.
    bool Draw(int x, int y, int w, int h) {
        const int x0 = std::max(0, x), y0 = std::max(0, y);
        const int x1 = std::min(width, x + w), y1 = std::min(height, y + h);
        for (int row = y0; row < y1; ++row) {
            uint8_t *line = drawn.data() + static_cast<size_t>(row) * static_cast<size_t>(width);
            for (int col = x0; col < x1; ++col) {
                drawnCount += line[col] == 0;
                line[col] = 1;
            }
        }
        return width > 0 && height > 0 && drawnCount == static_cast<long>(width) * height;
    }
};

class Display {
public:
    Display() : x_(kTool), connection_(x_.c), root_(x_.root) {
        if (!x_.HasExtension(&xcb_damage_id)) Die("the display has no DAMAGE extension");
        damageEvent_ = xcb_get_extension_data(connection_, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
        free(xcb_damage_query_version_reply(connection_, xcb_damage_query_version(connection_, 1, 1), nullptr));
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection_);
    }

    // Forgets every window seen so far: the next one mapped is new.
    void Forget() {
        Drain(std::chrono::milliseconds(0));
        windows_.clear();
        completed_.reset();
    }

    // Waits until a top-level window mapped after the last Forget() has been
    // drawn whole; returns the time it completed, or nothing at the deadline.
    std::optional<Clock::time_point> WaitFullFrame(Clock::time_point deadline, xcb_window_t *window) {
        while (!completed_) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return std::nullopt;
            Drain(std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1));
        }
        *window = completedWindow_;
        return completed_;
    }

    // Keeps reading events for `span` (so that nothing piles up).
    void Idle(std::chrono::milliseconds span) {
        const auto until = Clock::now() + span;
        while (Clock::now() < until)
            Drain(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()) +
                  std::chrono::milliseconds(1));
    }

    // Gives `window` the keyboard focus, lets the program take it, and types
    // KEYS (XClient.h).
    void Type(xcb_window_t window, const std::string &keys) {
        x_.Focus(window);
        Idle(std::chrono::milliseconds(50));
        x_.Type(kTool, keys);
    }

private:
    void Drain(std::chrono::milliseconds wait) {
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        if (xcb_connection_has_error(connection_)) Die("the display went away");
        xcb_generic_event_t *event = xcb_poll_for_event(connection_);
        if (event == nullptr) {
            poll(&fd, 1, static_cast<int>(wait.count()));
            event = xcb_poll_for_event(connection_);
        }
        for (; event != nullptr; event = xcb_poll_for_event(connection_)) {
            Handle(event);
            free(event);
        }
        xcb_flush(connection_);
    }

    // Watches a top-level window that was made before this client looked.
    void Track(xcb_window_t id) {
        auto geometry = bench::Own(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, id), nullptr));
        if (!geometry) return;
        TopLevel &window = windows_[id];
        window.Resize(geometry->width, geometry->height);
        window.damage = xcb_generate_id(connection_);
        xcb_damage_create(connection_, window.damage, id, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    }

    void Handle(xcb_generic_event_t *event) {
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_CREATE_NOTIFY) {
            auto *created = reinterpret_cast<xcb_create_notify_event_t *>(event);
            if (created->parent != root_ || created->override_redirect) return;  // menus, tooltips
            TopLevel &window = windows_[created->window];
            window.Resize(created->width, created->height);
            window.damage = xcb_generate_id(connection_);
            xcb_damage_create(connection_, window.damage, created->window,
                              XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            auto *configured = reinterpret_cast<xcb_configure_notify_event_t *>(event);
            if (auto it = windows_.find(configured->window); it != windows_.end())
                it->second.Resize(configured->width, configured->height);
        } else if (type == XCB_MAP_NOTIFY) {
            auto *mapped = reinterpret_cast<xcb_map_notify_event_t *>(event);
            if (mapped->event != root_ || mapped->override_redirect) return;
            if (windows_.find(mapped->window) == windows_.end()) Track(mapped->window);  // made before Forget()
            if (auto it = windows_.find(mapped->window); it != windows_.end()) {
                it->second.mapped = true;
                // Only what is drawn once it shows counts.
                std::fill(it->second.drawn.begin(), it->second.drawn.end(), 0);
                it->second.drawnCount = 0;
            }
        } else if (type == XCB_DESTROY_NOTIFY) {
            windows_.erase(reinterpret_cast<xcb_destroy_notify_event_t *>(event)->window);
        } else if (event->response_type == damageEvent_) {
            auto *damaged = reinterpret_cast<xcb_damage_notify_event_t *>(event);
            auto it = windows_.find(damaged->drawable);
            if (it == windows_.end() || !it->second.mapped) return;
            it->second.Resize(damaged->geometry.width, damaged->geometry.height);
            if (it->second.Draw(damaged->area.x, damaged->area.y, damaged->area.width, damaged->area.height) &&
                !completed_) {
                completed_ = Clock::now();
                completedWindow_ = damaged->drawable;
            }
        }
    }

    bench::XConnection x_;
    xcb_connection_t *connection_ = nullptr;
    xcb_window_t root_ = 0;
    uint8_t damageEvent_ = 0;
    std::map<xcb_window_t, TopLevel> windows_;
    std::optional<Clock::time_point> completed_;
    xcb_window_t completedWindow_ = 0;
};

struct Options {
    int rounds = 15;
    int warmup = 1;
    int idleMs = 500;
    int timeoutS = 30;
    std::string keys;
    bool verbose = false;
    std::vector<std::string> program, baseline;
};

struct Launch {
    double frameUs = 0;   // start of the process to its first full frame
    double peakKiB = 0;   // VmHWM once idle
    double keysUs = -1;   // the keys to the next window's first full frame
};

long StatusKiB(pid_t pid, const char *field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    return -1;
}

Launch Run(Display &display, const std::vector<std::string> &command, const Options &options) {
    display.Forget();
    std::vector<char *> argv;
    for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        if (!options.verbose) dup2(null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    Launch launch;
    xcb_window_t window = 0;
    const auto framed = display.WaitFullFrame(start + std::chrono::seconds(options.timeoutS), &window);
    if (!framed) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        Die("no full frame from " + command[0]);
    }
    launch.frameUs = std::chrono::duration<double, std::micro>(*framed - start).count();
    display.Idle(std::chrono::milliseconds(options.idleMs));
    launch.peakKiB = static_cast<double>(StatusKiB(pid, "VmHWM"));
    if (!options.keys.empty()) {
        display.Forget();
        display.Type(window, options.keys);
        const Clock::time_point typed = Clock::now();
        xcb_window_t dialog = 0;
        if (const auto next = display.WaitFullFrame(typed + std::chrono::seconds(options.timeoutS), &dialog))
            launch.keysUs = std::chrono::duration<double, std::micro>(*next - typed).count();
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return launch;
}

struct Spread {
    double min, median, max;
};

Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

void Print(const char *what, const char *unit, const std::vector<double> &values, double scale) {
    const Spread s = SpreadOf(values);
    std::printf("  %-26s min %9.3f  median %9.3f  max %9.3f %s\n", what, s.min / scale, s.median / scale,
                s.max / scale, unit);
}

Options Parse(int argc, char **argv) {
    Options options;
    int i = 1;
    auto number = [&](const char *name) {
        if (i + 1 >= argc) Die(std::string("missing value of ") + name);
        return std::atoi(argv[++i]);
    };
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        if (option == "--rounds") options.rounds = number("--rounds");
        else if (option == "--warmup") options.warmup = number("--warmup");
        else if (option == "--idle") options.idleMs = number("--idle");
        else if (option == "--timeout") options.timeoutS = number("--timeout");
        else if (option == "--keys" && i + 1 < argc) options.keys = argv[++i];
        else if (option == "--verbose") options.verbose = true;
        else Die("unknown option " + option);
    }
    std::vector<std::string> *into = &options.program;
    for (++i; i < argc; ++i) {
        if (std::strcmp(argv[i], "--vs") == 0) into = &options.baseline;
        else into->push_back(argv[i]);
    }
    if (options.program.empty()) Die("usage: bench_first_frame [options] -- PROGRAM [ARG...] [--vs BASELINE [ARG...]]");
    if (options.rounds < 1) Die("--rounds must be 1 or more");
    return options;
}
}  // namespace

int main(int argc, char **argv) {
    const Options options = Parse(argc, argv);
    Display display;
    const bool paired = !options.baseline.empty();
    std::vector<double> frame, frameBase, frameRatio, peak, peakBase, peakRatio, keys;
    for (int round = 0; round < options.warmup + options.rounds; ++round) {
        Launch a, b;
        if (!paired) {
            a = Run(display, options.program, options);
        } else if (round % 2 == 0) {
            a = Run(display, options.program, options);
            b = Run(display, options.baseline, options);
        } else {
            b = Run(display, options.baseline, options);
            a = Run(display, options.program, options);
        }
        if (round < options.warmup) continue;
        frame.push_back(a.frameUs);
        peak.push_back(a.peakKiB);
        if (a.keysUs >= 0) keys.push_back(a.keysUs);
        if (paired) {
            frameBase.push_back(b.frameUs);
            peakBase.push_back(b.peakKiB);
            frameRatio.push_back(a.frameUs / b.frameUs);
            peakRatio.push_back(a.peakKiB / b.peakKiB);
        }
        if (options.verbose) {
            std::printf("round %d: frame %.2f ms", round - options.warmup + 1, a.frameUs / 1000);
            if (paired) std::printf(" vs %.2f ms", b.frameUs / 1000);
            std::printf(", peak %.0f KiB", a.peakKiB);
            if (paired) std::printf(" vs %.0f KiB", b.peakKiB);
            if (a.keysUs >= 0) std::printf(", keys to the next window's frame %.2f ms", a.keysUs / 1000);
            std::printf("\n");
        }
    }
    std::printf("%d rounds%s\n", options.rounds, paired ? ", alternating, the order swapped each round" : "");
    std::printf("start to the first full frame:\n");
    Print("program", "ms", frame, 1000);
    if (paired) {
        Print("baseline", "ms", frameBase, 1000);
        Print("ratio, round by round", "", frameRatio, 1);
    }
    std::printf("peak memory at the idle window (VmHWM after %d ms):\n", options.idleMs);
    Print("program", "MiB", peak, 1024);
    if (paired) {
        Print("baseline", "MiB", peakBase, 1024);
        Print("ratio, round by round", "", peakRatio, 1);
    }
    if (!options.keys.empty()) {
        std::printf("\"%s\" to the next window's first full frame:\n", options.keys.c_str());
        if (keys.empty()) std::printf("  no window came\n");
        else Print("program", "ms", keys, 1000);
    }
    return 0;
}
