// What the benchmarks that watch a program from outside share: the X
// connection, the keyboard typed through XTEST, reading a window's title.
#pragma once

#include <fcntl.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

[[noreturn]] inline void Die(const char *tool, const std::string &why) {
    std::fprintf(stderr, "%s: %s\n", tool, why.c_str());
    std::exit(2);
}

template <typename T>
using Reply = std::unique_ptr<T, decltype(&free)>;

template <typename T>
Reply<T> Own(T *reply) {
    return Reply<T>(reply, &free);
}

struct XConnection {
    xcb_connection_t *c = nullptr;
    xcb_window_t root = 0;

    explicit XConnection(const char *tool) {
        int screenNumber = 0;
        c = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(c)) Die(tool, "cannot open the display");
        // The programs started must not inherit this connection.
        fcntl(xcb_get_file_descriptor(c), F_SETFD, FD_CLOEXEC);
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
        root = it.data->root;
    }
    ~XConnection() { xcb_disconnect(c); }
    XConnection(const XConnection &) = delete;
    XConnection &operator=(const XConnection &) = delete;

    bool HasExtension(xcb_extension_t *extension) const {
        const xcb_query_extension_reply_t *reply = xcb_get_extension_data(c, extension);
        return reply != nullptr && reply->present;
    }

    xcb_atom_t Atom(const char *name) const {
        auto reply = Own(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name),
                                               nullptr));
        return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }

    std::string Title(xcb_window_t window) const {
        auto reply = Own(xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
        if (!reply) return {};
        return std::string(static_cast<const char *>(xcb_get_property_value(reply.get())),
                           static_cast<size_t>(xcb_get_property_value_length(reply.get())));
    }

    // A keysym's key on this keyboard.
    xcb_keycode_t KeycodeOf(const char *tool, const std::string &name) const {
        static const std::map<std::string, xcb_keysym_t> named = {
            {"alt", 0xffe9}, {"ctrl", 0xffe3}, {"shift", 0xffe1}, {"Return", 0xff0d},
            {"Escape", 0xff1b}, {"space", 0x20}, {"Tab", 0xff09}};
        xcb_keysym_t sym = 0;
        if (auto it = named.find(name); it != named.end()) {
            sym = it->second;
        } else if (name.size() == 1) {
            sym = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(name[0])));
        } else {
            Die(tool, "unknown key " + name);
        }
        const xcb_setup_t *setup = xcb_get_setup(c);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto mapping = Own(xcb_get_keyboard_mapping_reply(
            c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<uint8_t>(count)), nullptr));
        if (!mapping) Die(tool, "no keyboard mapping");
        const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int per = mapping->keysyms_per_keycode;
        for (int k = 0; k < count; ++k)
            for (int j = 0; j < per; ++j)
                if (syms[k * per + j] == sym) return static_cast<xcb_keycode_t>(setup->min_keycode + k);
        Die(tool, "no key for " + name);
    }

    void Focus(xcb_window_t window) const {
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    // Types KEYS to the window that has the focus: groups separated by blanks,
    // the keys of a group joined by '+' and held together ("alt+s o").
    // Returns once the server has taken every key.
    void Type(const char *tool, const std::string &keys) const {
        if (!HasExtension(&xcb_test_id)) Die(tool, "the display has no XTEST extension");
        std::istringstream groups(keys);
        std::string group;
        while (groups >> group) {
            std::vector<xcb_keycode_t> held;
            std::stringstream parts(group);
            std::string name;
            while (std::getline(parts, name, '+')) held.push_back(KeycodeOf(tool, name));
            for (xcb_keycode_t key : held)
                xcb_test_fake_input(c, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            for (auto key = held.rbegin(); key != held.rend(); ++key)
                xcb_test_fake_input(c, XCB_KEY_RELEASE, *key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        }
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // a round trip: all taken
    }
};

}  // namespace bench
