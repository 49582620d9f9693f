// The seat's keymap, read with xkbcommon: which key and modifiers produce a
// keysym, the modifier state a real keyboard would report after each key, and
// keymaps that add keys for keysyms the layout lacks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <xkbcommon/xkbcommon.h>

#include "error.hpp"

namespace pravlin_lib {

// Key codes here are Linux input event codes, as the virtual keyboard sends
// them (xkb's codes are 8 higher).
struct KeyChoice {
    uint32_t key;
    // The keys that, held, select the keysym's shift level (Shift, AltGr, ...),
    // in the order to press them.
    std::vector<uint32_t> modifier_keys;
    // Modifiers the level needs that no key of the keymap sets.
    uint32_t unkeyed_mods = 0;
    uint32_t layout = 0;
};

struct ModifierState {
    uint32_t depressed = 0;
    uint32_t latched = 0;
    uint32_t locked = 0;
    uint32_t group = 0;
    bool operator==(const ModifierState&) const = default;
};

class KeyboardLayout {
public:
    // Compiles the keymap text the seat sent (a trailing NUL is allowed).
    static Result<KeyboardLayout> compile(std::string text);

    // The key, level modifiers and layout that produce `keysym`, preferring the
    // active layout, then the keys of a PC keyboard (Shift+4 for "$" rather
    // than KEY_DOLLAR), then the lowest level, then the lowest key code. A
    // character is never found on a key X11 cannot see.
    std::optional<KeyChoice> find(xkb_keysym_t keysym) const;

    // Feeds one key into the keyboard's state, as the compositor would if it
    // tracked a virtual keyboard's keys; returns the state that follows when
    // the key changed it.
    std::optional<ModifierState> key(uint32_t key, bool pressed);
    // Sets the locked layout (the group), keeping every modifier.
    ModifierState lock_layout(uint32_t layout);
    ModifierState modifiers() const;
    uint32_t layout_count() const;

    // The keymap text the keyboard was created with, exactly as received.
    const std::string& seat_text() const { return seat_text_; }
    // The keys of the seat's keymap that can carry keysyms of our own (see
    // carrier_keys in keyboard.cpp).
    const std::vector<uint32_t>& free_keys() const { return carriers_; }
    // A keysym put on a carrier key.
    struct Placed {
        uint32_t key;
        xkb_keysym_t keysym;
    };
    // What this keymap carries beyond the seat's, least recently asked for first.
    const std::vector<Placed>& placed() const { return placed_; }
    // The same placements in a new order of use.
    void reorder(std::vector<Placed> placed) { placed_ = std::move(placed); }
    // The seat's keymap with every one of `keysyms` that this keymap lacks on a
    // carrier key: those placed already keep their keys, new ones take free
    // carriers, then the carriers of the placements asked for least recently
    // (never a key in `held`). `placed` gets what the result carries; the
    // keys of `keysyms` (0 for those the seat's layout has) come back in
    // `keys`; `reassigns` tells whether a key changes what it carries. Fails
    // when they do not fit, or the result does not compile.
    Result<std::string> extended(const std::vector<xkb_keysym_t>& keysyms, const std::vector<uint32_t>& held,
                                 std::vector<Placed>& placed, std::vector<uint32_t>& keys, bool& reassigns) const;
    // Switches the lookup tables and the state to another keymap text (the
    // seat's, or one `extended` made), keeping the modifier state; the keys
    // still held (in the order they went down) are replayed into it. `placed`
    // is what the text carries beyond the seat's keymap.
    Result<> replace(const std::string& text, const std::vector<uint32_t>& held_keys, std::vector<Placed> placed);

private:
    struct ContextFree {
        void operator()(xkb_context* c) const { xkb_context_unref(c); }
    };
    struct KeymapFree {
        void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
    };
    struct StateFree {
        void operator()(xkb_state* s) const { xkb_state_unref(s); }
    };
    using ContextPtr = std::unique_ptr<xkb_context, ContextFree>;
    using KeymapPtr = std::unique_ptr<xkb_keymap, KeymapFree>;
    using StatePtr = std::unique_ptr<xkb_state, StateFree>;

    static Result<KeymapPtr> compile_text(xkb_context* context, const std::string& text);
    void index_modifier_keys();
    void find_carriers();
    std::optional<KeyChoice> choose(xkb_keysym_t keysym, uint32_t layout) const;

    ContextPtr context_;
    KeymapPtr keymap_;
    StatePtr state_;
    std::string seat_text_;
    // The seat's keymap as xkbcommon writes it out, which extended keymaps add to.
    std::string seat_normalized_;
    std::vector<uint32_t> carriers_;
    std::vector<std::string> carrier_names_;  // as the seat's keymap names them, or empty
    std::vector<Placed> placed_;
    // For each modifier index, the key that sets it alone when held (none: 0).
    std::vector<uint32_t> modifier_key_;
};

// xkbcommon's keysym names, case-insensitively ("return", "Page_Up"); 0 when
// there is none.
xkb_keysym_t keysym_from_name(const std::string& name);
// The keysym that types a Unicode code point.
xkb_keysym_t keysym_from_char(uint32_t code_point);
std::string keysym_name(xkb_keysym_t keysym);

}  // namespace pravlin_lib
