// Whether the window stays alive through a whole flash, seen from outside the
// program: started with an image on its command line, its start prompt is
// cancelled, Flash > Download is typed, and then, until the result box comes,
// the window is probed in turn with the window manager's ping (_NET_WM_PING,
// answered by the program's event loop) and with a repaint (a small window of
// ours shown over it and taken away: the X server asks the program to draw
// that part again, and DAMAGE tells when it has). Prints the time from the
// keys to "WAIT.." in the status field (its pixels change) and to the result
// box (when the X server showed it, not when a probe found it), each probe's
// answer time (min / median / max), the longest the window went unanswered,
// and the processor time over the flash (utime + stime from /proc/PID/stat)
// as a share of one core: the program's, and that of the flash's own process
// (quorvel-transfer, the program's child from Download on), read between the
// probes while it runs and once more at the result box, when it is still
// waiting to be told to let the drive go. Its peak resident memory (VmHWM)
// is read with it. The last line gives the same figures for a script:
//   figures wait_ms=.. pings=.. ping_max_ms=.. repaints=.. repaint_max_ms=..
//     unanswered=.. flash_ms=.. measured_ms=.. program_cpu_s=.. transfer_pid=..
//     transfer_cpu_s=.. transfer_peak_kib=..
//
//   bench_flash_live [--interval MS] [--timeout S] PID
//
// Run it on a display of its own with the program as its only client
// (bench/flash-live.sh sets one up).
#include <poll.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/Proc.h"
#include "bench/XClient.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr char kTool[] = "bench_flash_live";
[[noreturn]] void Die(const std::string &why) { bench::Die(kTool, why); }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// utime + stime of the process, in seconds.
double ProcessorSeconds(pid_t pid) {
    const std::optional<bench::ProcStat> stat = bench::ReadStat(pid);
    if (!stat) Die("cannot read the program's /proc/PID/stat");
    return stat->cpuSeconds;
}

// The flash's own process, once the program has started it: its last
// processor time and the most it has had resident.
struct Transfer {
    pid_t pid = 0;
    double cpuSeconds = 0;
    long peakKib = 0;

    void Read(pid_t program) {
        if (pid == 0) {
            const std::optional<bench::ProcStat> child = bench::ChildNamed(program, "quorvel-transfer");
            if (!child) return;
            pid = child->pid;
        }
        const std::optional<bench::ProcStat> stat = bench::ReadStat(pid);
        if (!stat || stat->state == 'Z') return;  // ended: the last reading stands
        cpuSeconds = stat->cpuSeconds;
        peakKib = std::max(peakKib, bench::PeakResidentKib(pid));
    }
};

struct Rect {
    int x, y, w, h;
    bool Meets(int ox, int oy, int ow, int oh) const {
        return ox < x + w && x < ox + ow && oy < y + h && y < oy + oh;
    }
};

class Watch {
public:
    explicit Watch(pid_t pid) : x_(kTool), c_(x_.c), pid_(pid) {
        if (!x_.HasExtension(&xcb_damage_id)) Die("the display has no DAMAGE extension");
        damageEvent_ = xcb_get_extension_data(c_, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
        bench::Own(xcb_damage_query_version_reply(c_, xcb_damage_query_version(c_, 1, 1), nullptr));
        // The program answers a ping by sending it to the root window, for
        // the clients that listen there for the root's structure (Qt) or its
        // children's.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, x_.root, XCB_CW_EVENT_MASK, &mask);
        ping_ = x_.Atom("_NET_WM_PING");
        protocols_ = x_.Atom("WM_PROTOCOLS");
        pidAtom_ = x_.Atom("_NET_WM_PID");
        xcb_flush(c_);
    }

    // A shown top-level window of the program titled `title`, other than `not`.
    std::optional<xcb_window_t> Find(const std::string &title, xcb_window_t other = 0) {
        auto tree = bench::Own(xcb_query_tree_reply(c_, xcb_query_tree(c_, x_.root), nullptr));
        if (!tree) return std::nullopt;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t window = children[i];
            if (window == other) continue;
            auto attributes =
                bench::Own(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr));
            if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
            if (x_.Title(window) != title || PidOf(window) != pid_) continue;
            return window;
        }
        return std::nullopt;
    }

    std::optional<xcb_window_t> WaitFor(const std::string &title, Clock::time_point deadline, xcb_window_t other = 0) {
        for (;;) {
            if (auto window = Find(title, other)) return window;
            if (Clock::now() >= deadline) return std::nullopt;
            Drain(std::chrono::milliseconds(20));
        }
    }

    void Idle(std::chrono::milliseconds span) {
        for (const auto until = Clock::now() + span; Clock::now() < until;)
            Drain(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()) +
                  std::chrono::milliseconds(1));
    }

    void Type(xcb_window_t window, const std::string &keys) {
        x_.Focus(window);
        Idle(std::chrono::milliseconds(50));
        x_.Type(kTool, keys);
    }

    int Height(xcb_window_t window) {
        auto geometry = bench::Own(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr));
        return geometry ? geometry->height : 0;
    }

    std::vector<uint8_t> Pixels(xcb_window_t window, const Rect &r) {
        auto image = bench::Own(xcb_get_image_reply(
            c_,
            xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<int16_t>(r.x), static_cast<int16_t>(r.y),
                          static_cast<uint16_t>(r.w), static_cast<uint16_t>(r.h), ~0u),
            nullptr));
        if (!image) return {};
        const uint8_t *data = xcb_get_image_data(image.get());
        return {data, data + xcb_get_image_data_length(image.get())};
    }

    void WatchDamage(xcb_window_t window) {
        watched_ = window;
        xcb_damage_create(c_, xcb_generate_id(c_), window, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
        xcb_flush(c_);
    }

    // One ping: the time until the program's answer, or nothing by the deadline.
    std::optional<Clock::duration> Ping(xcb_window_t window, Clock::time_point deadline) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = protocols_;
        message.data.data32[0] = ping_;
        message.data.data32[1] = ++pingStamp_;
        message.data.data32[2] = window;
        pongStamp_ = 0;
        const Clock::time_point sent = Clock::now();
        xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
        xcb_flush(c_);
        while (pongStamp_ != pingStamp_) {
            if (Clock::now() >= deadline) return std::nullopt;
            Drain(std::chrono::milliseconds(5));
        }
        return pongAt_ - sent;
    }

    // One repaint: a small window of ours over `area` of the program's
    // window, shown and taken away; the time until the program has drawn
    // that part again.
    std::optional<Clock::duration> Repaint(xcb_window_t window, const Rect &area, Clock::time_point deadline) {
        auto origin = bench::Own(xcb_translate_coordinates_reply(
            c_, xcb_translate_coordinates(c_, window, x_.root, static_cast<int16_t>(area.x), static_cast<int16_t>(area.y)),
            nullptr));
        if (!origin) return std::nullopt;
        if (cover_ == 0) {
            cover_ = xcb_generate_id(c_);
            const uint32_t values[] = {0x00ff00ff, 1};  // background pixel, override-redirect
            xcb_create_window(c_, XCB_COPY_FROM_PARENT, cover_, x_.root, origin->dst_x, origin->dst_y,
                              static_cast<uint16_t>(area.w), static_cast<uint16_t>(area.h), 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                              XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        }
        xcb_map_window(c_, cover_);
        bench::Own(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // shown
        repainted_.reset();
        probe_ = area;
        const Clock::time_point uncovered = Clock::now();
        xcb_unmap_window(c_, cover_);
        xcb_flush(c_);
        while (!repainted_) {
            if (Clock::now() >= deadline) return std::nullopt;
            Drain(std::chrono::milliseconds(5));
        }
        return *repainted_ - uncovered;
    }

    // When the top-level `window` was shown, as the X server told it: the
    // probes look for a new window only between them, this says when it came.
    std::optional<Clock::time_point> MappedAt(xcb_window_t window) {
        Drain(std::chrono::milliseconds(0));
        const auto it = mappedAt_.find(window);
        if (it == mappedAt_.end()) return std::nullopt;
        return it->second;
    }

private:
    pid_t PidOf(xcb_window_t window) {
        auto reply = bench::Own(
            xcb_get_property_reply(c_, xcb_get_property(c_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1), nullptr));
        if (!reply || xcb_get_property_value_length(reply.get()) < 4) return 0;
        return static_cast<pid_t>(*static_cast<const uint32_t *>(xcb_get_property_value(reply.get())));
    }

    void Drain(std::chrono::milliseconds wait) {
        if (xcb_connection_has_error(c_)) Die("the display went away");
        xcb_generic_event_t *event = xcb_poll_for_event(c_);
        if (event == nullptr) {
            pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(wait.count()));
            event = xcb_poll_for_event(c_);
        }
        for (; event != nullptr; event = xcb_poll_for_event(c_)) {
            const Clock::time_point now = Clock::now();
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                auto *mapped = reinterpret_cast<xcb_map_notify_event_t *>(event);
                if (mapped->event == x_.root) mappedAt_[mapped->window] = now;
            } else if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
                if (message->window == x_.root && message->data.data32[0] == ping_) {
                    pongStamp_ = message->data.data32[1];
                    pongAt_ = now;
                }
            } else if (event->response_type == damageEvent_) {
                auto *damaged = reinterpret_cast<xcb_damage_notify_event_t *>(event);
                if (damaged->drawable == watched_ && !repainted_ &&
                    probe_.Meets(damaged->area.x, damaged->area.y, damaged->area.width, damaged->area.height))
                    repainted_ = now;
            }
            free(event);
        }
    }

    bench::XConnection x_;
    xcb_connection_t *c_;
    pid_t pid_;
    uint8_t damageEvent_ = 0;
    xcb_atom_t ping_ = 0, protocols_ = 0, pidAtom_ = 0;
    uint32_t pingStamp_ = 0, pongStamp_ = 0;
    Clock::time_point pongAt_;
    xcb_window_t watched_ = 0, cover_ = 0;
    Rect probe_{0, 0, 0, 0};
    std::optional<Clock::time_point> repainted_;
    std::map<xcb_window_t, Clock::time_point> mappedAt_;
};

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread SpreadOf(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return {values.front(), n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, values.back()};
}
}  // namespace

int main(int argc, char **argv) {
    int intervalMs = 50;
    int timeoutS = 120;
    pid_t pid = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--interval" && i + 1 < argc) intervalMs = std::atoi(argv[++i]);
        else if (option == "--timeout" && i + 1 < argc) timeoutS = std::atoi(argv[++i]);
        else pid = static_cast<pid_t>(std::atoi(argv[i]));
    }
    if (pid <= 0) Die("usage: bench_flash_live [--interval MS] [--timeout S] PID");
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutS);
    Watch watch(pid);

    // The start prompt offers the image; Cancel keeps it loaded.
    const auto prompt = watch.WaitFor("MESSAGE", deadline);
    if (!prompt) Die("no start prompt came");
    const auto main = watch.WaitFor("QUORVEL", deadline);
    if (!main) Die("no main window");
    watch.Type(*prompt, "Escape");
    while (watch.Find("MESSAGE")) {
        if (Clock::now() >= deadline) Die("the start prompt stayed");
        watch.Idle(std::chrono::milliseconds(20));
    }
    watch.Idle(std::chrono::milliseconds(300));

    // Where the window's parts are: the 429 x 167 client area under the menu
    // bar; the status field StaticText5 in Panel1, and a probe area inside
    // the panel that nothing of the flash redraws.
    const int menuBar = watch.Height(*main) - 167;
    const Rect status{136, menuBar + 26 + 80, 73, 15};
    const Rect probe{20, menuBar + 26 + 40, 16, 16};
    watch.WatchDamage(*main);
    const std::vector<uint8_t> ready = watch.Pixels(*main, status);
    if (ready.empty()) Die("cannot read the status field");

    // The flash's own process is started at Download, never before.
    if (const std::optional<bench::ProcStat> early = bench::ChildNamed(pid, "quorvel-transfer"))
        Die("quorvel-transfer (pid " + std::to_string(early->pid) + ") runs before Download");

    // Download from the menu; "WAIT.." is the first change of the field.
    const double cpuBefore = ProcessorSeconds(pid);
    Transfer transfer;
    watch.Type(*main, "alt+f d");
    const Clock::time_point pressed = Clock::now();
    std::optional<double> waitShown;
    while (!waitShown && Clock::now() < pressed + std::chrono::seconds(5)) {
        if (watch.Pixels(*main, status) != ready) waitShown = Ms(Clock::now() - pressed);
        else watch.Idle(std::chrono::milliseconds(1));
    }

    // Probes, a ping and a repaint in turn, until the result box comes.
    std::vector<double> pings, repaints;
    double longest = 0;
    int unanswered = 0;
    std::optional<xcb_window_t> result;
    bool pingNext = true;
    while (!(result = watch.Find("MESSAGE"))) {
        if (Clock::now() >= deadline) Die("no result box came");
        transfer.Read(pid);
        const Clock::time_point sent = Clock::now();
        const auto answer = pingNext ? watch.Ping(*main, deadline) : watch.Repaint(*main, probe, deadline);
        if (!answer) {
            ++unanswered;
            continue;
        }
        (pingNext ? pings : repaints).push_back(Ms(*answer));
        longest = std::max(longest, Ms(*answer));
        pingNext = !pingNext;
        watch.Idle(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(Clock::duration::zero(), sent + std::chrono::milliseconds(intervalMs) - Clock::now())));
    }
    const double flash = Ms(watch.MappedAt(*result).value_or(Clock::now()) - pressed);
    const double cpu = ProcessorSeconds(pid) - cpuBefore;
    transfer.Read(pid);
    // The processor times are read now, a probe's interval at most after
    // the box came: their share is of the time until now.
    const double measured = Ms(Clock::now() - pressed);

    std::printf("keys to \"WAIT..\" in the status field: %s\n",
                waitShown ? (std::to_string(*waitShown).substr(0, 6) + " ms").c_str() : "never");
    const Spread p = SpreadOf(pings), r = SpreadOf(repaints);
    std::printf("pings answered:    %3zu  min %7.2f  median %7.2f  max %7.2f ms\n", pings.size(), p.min, p.median,
                p.max);
    std::printf("repaints answered: %3zu  min %7.2f  median %7.2f  max %7.2f ms\n", repaints.size(), r.min,
                r.median, r.max);
    std::printf("longest unanswered: %.2f ms; probes never answered: %d\n", longest, unanswered);
    std::printf("flash (keys to result box): %.0f ms; program's processor time %.3f s = %.1f %% of a core\n", flash,
                cpu, 100.0 * cpu / (measured / 1000.0));
    if (transfer.pid != 0) {
        std::printf("flash's own process (pid %d): processor time %.3f s = %.1f %% of a core; peak resident %.2f MiB\n",
                    static_cast<int>(transfer.pid), transfer.cpuSeconds,
                    100.0 * transfer.cpuSeconds / (measured / 1000.0), static_cast<double>(transfer.peakKib) / 1024);
        std::printf("the two together: %.1f %% of a core\n",
                    100.0 * (cpu + transfer.cpuSeconds) / (measured / 1000.0));
    } else {
        std::printf("the flash's own process was never seen\n");
    }
    std::printf("figures wait_ms=%.3f pings=%zu ping_max_ms=%.3f repaints=%zu repaint_max_ms=%.3f unanswered=%d "
                "flash_ms=%.3f measured_ms=%.3f program_cpu_s=%.3f transfer_pid=%d transfer_cpu_s=%.3f "
                "transfer_peak_kib=%ld\n",
                waitShown ? *waitShown : -1.0, pings.size(), p.max, repaints.size(), r.max, unanswered, flash,
                measured, cpu, static_cast<int>(transfer.pid), transfer.cpuSeconds, transfer.peakKib);
    return unanswered == 0 && waitShown ? 0 : 1;
}
