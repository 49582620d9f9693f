#include "keyboard.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <string_view>

namespace pravlin_lib {

namespace {

// xkb numbers keys 8 above the Linux input event codes.
constexpr uint32_t xkb_offset = 8;
// Beyond this, X11 clients (XWayland) cannot see a key.
constexpr xkb_keycode_t highest_x11_key = 255;

// Keys a person reaches for to hold a modifier, most likely first; any other
// key that sets a modifier ranks after these, by code.
constexpr std::array<std::string_view, 8> preferred_modifier_keys = {
    "LFSH", "LCTL", "LALT", "LWIN", "RALT", "RTSH", "RCTL", "RWIN",
};

size_t modifier_key_rank(xkb_keymap* keymap, xkb_keycode_t key)
{
    const char* name = xkb_keymap_key_get_name(keymap, key);
    if (name) {
        const auto it = std::find(preferred_modifier_keys.begin(), preferred_modifier_keys.end(), name);
        if (it != preferred_modifier_keys.end()) return static_cast<size_t>(it - preferred_modifier_keys.begin());
    }
    return preferred_modifier_keys.size() + key;
}

// The end of the block that the first `section` keyword opens: the position
// of its closing brace, or npos. Quoted strings are skipped.
size_t block_end(std::string_view text, std::string_view section)
{
    const size_t start = text.find(section);
    if (start == std::string_view::npos) return start;
    int depth = 0;
    bool quoted = false;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\') ++i;
            else if (c == '"') quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

Result<KeyboardLayout::KeymapPtr> KeyboardLayout::compile_text(xkb_context* context, const std::string& text)
{
    // The text may carry the NUL the protocol sends after it.
    std::string_view body(text);
    while (!body.empty() && body.back() == '\0') body.remove_suffix(1);
    KeymapPtr keymap(xkb_keymap_new_from_buffer(context, body.data(), body.size(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) return fail("the keymap could not be compiled");
    return keymap;
}

Result<KeyboardLayout> KeyboardLayout::compile(std::string text)
{
    KeyboardLayout layout;
    layout.context_.reset(xkb_context_new(
        static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
    if (!layout.context_) return fail("failed to create an xkb context");
    auto keymap = compile_text(layout.context_.get(), text);
    if (!keymap) return std::unexpected(std::move(keymap.error()));
    layout.keymap_ = std::move(*keymap);
    layout.state_.reset(xkb_state_new(layout.keymap_.get()));
    if (!layout.state_) return fail("failed to create an xkb state");
    layout.seat_text_ = std::move(text);
    layout.index_modifier_keys();
    return layout;
}

void KeyboardLayout::index_modifier_keys()
{
    xkb_keymap* keymap = keymap_.get();
    modifier_key_.assign(xkb_keymap_num_mods(keymap), 0);
    std::vector<size_t> rank(modifier_key_.size(), SIZE_MAX);
    StatePtr scratch(xkb_state_new(keymap));
    if (!scratch) return;
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
        if (key < xkb_offset + 1 || xkb_keymap_num_layouts_for_key(keymap, key) == 0) continue;
        scratch.reset(xkb_state_new(keymap));
        if (!scratch) return;
        xkb_state_update_key(scratch.get(), key, XKB_KEY_DOWN);
        const xkb_mod_mask_t set = xkb_state_serialize_mods(scratch.get(), XKB_STATE_MODS_DEPRESSED);
        for (xkb_mod_index_t mod = 0; mod < modifier_key_.size() && mod < 32; ++mod) {
            if (!(set & (1u << mod))) continue;
            const size_t r = modifier_key_rank(keymap, key);
            if (r < rank[mod]) {
                rank[mod] = r;
                modifier_key_[mod] = key - xkb_offset;
            }
        }
    }
}

std::optional<KeyChoice> KeyboardLayout::choose(xkb_keysym_t keysym, uint32_t layout) const
{
    xkb_keymap* keymap = keymap_.get();
    std::optional<std::pair<xkb_keycode_t, xkb_level_index_t>> best;
    xkb_layout_index_t best_key_layout = 0;
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
        if (key < xkb_offset + 1) continue;
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, key);
        if (layouts == 0) continue;
        // A key with fewer groups than the keymap wraps around to them.
        const xkb_layout_index_t key_layout = layout % layouts;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, key_layout);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            if (best && level >= best->second) break;
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, key, key_layout, level, &syms);
            if (count == 1 && syms[0] == keysym) {
                best = {key, level};
                best_key_layout = key_layout;
                break;
            }
        }
    }
    if (!best) return std::nullopt;

    std::array<xkb_mod_mask_t, 16> masks{};
    const size_t count = xkb_keymap_key_get_mods_for_level(keymap, best->first, best_key_layout, best->second,
                                                           masks.data(), masks.size());
    if (count == 0) return std::nullopt;
    // The fewest modifiers; Shift rather than Caps Lock where either will do.
    const xkb_mod_index_t lock = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CAPS);
    const auto cost = [&](xkb_mod_mask_t m) {
        return std::popcount(m) * 2 + (lock < 32 && (m & (1u << lock)) ? 1 : 0);
    };
    xkb_mod_mask_t mask = masks[0];
    for (size_t i = 1; i < count; ++i)
        if (cost(masks[i]) < cost(mask)) mask = masks[i];

    KeyChoice choice{best->first - xkb_offset, {}, 0, layout};
    for (xkb_mod_index_t mod = 0; mod < 32; ++mod) {
        if (!(mask & (1u << mod))) continue;
        if (mod < modifier_key_.size() && modifier_key_[mod] != 0) {
            if (std::find(choice.modifier_keys.begin(), choice.modifier_keys.end(), modifier_key_[mod]) ==
                choice.modifier_keys.end())
                choice.modifier_keys.push_back(modifier_key_[mod]);
        } else {
            choice.unkeyed_mods |= 1u << mod;
        }
    }
    return choice;
}

std::optional<KeyChoice> KeyboardLayout::find(xkb_keysym_t keysym) const
{
    const xkb_layout_index_t active = xkb_state_serialize_layout(state_.get(), XKB_STATE_LAYOUT_EFFECTIVE);
    if (auto choice = choose(keysym, active)) return choice;
    for (xkb_layout_index_t layout = 0; layout < layout_count(); ++layout)
        if (layout != active)
            if (auto choice = choose(keysym, layout)) return choice;
    return std::nullopt;
}

ModifierState KeyboardLayout::modifiers() const
{
    xkb_state* s = state_.get();
    return {xkb_state_serialize_mods(s, XKB_STATE_MODS_DEPRESSED), xkb_state_serialize_mods(s, XKB_STATE_MODS_LATCHED),
            xkb_state_serialize_mods(s, XKB_STATE_MODS_LOCKED),
            xkb_state_serialize_layout(s, XKB_STATE_LAYOUT_EFFECTIVE)};
}

ModifierState KeyboardLayout::key(uint32_t key, bool pressed)
{
    xkb_state_update_key(state_.get(), key + xkb_offset, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    return modifiers();
}

ModifierState KeyboardLayout::lock_layout(uint32_t layout)
{
    const ModifierState now = modifiers();
    xkb_state_update_mask(state_.get(), now.depressed, now.latched, now.locked, 0, 0, layout);
    return modifiers();
}

uint32_t KeyboardLayout::layout_count() const { return xkb_keymap_num_layouts(keymap_.get()); }

std::vector<uint32_t> KeyboardLayout::free_keys() const
{
    std::vector<uint32_t> keys;
    xkb_keymap* keymap = keymap_.get();
    const xkb_keycode_t last = std::min(xkb_keymap_max_keycode(keymap), highest_x11_key);
    for (xkb_keycode_t key = std::max(xkb_keymap_min_keycode(keymap), xkb_offset + 1); key <= last; ++key)
        if (xkb_keymap_num_layouts_for_key(keymap, key) == 0) keys.push_back(key - xkb_offset);
    return keys;
}

Result<std::string> KeyboardLayout::extended(const std::vector<xkb_keysym_t>& keysyms,
                                             std::vector<uint32_t>& keys) const
{
    // Built from the seat's own keymap, whatever this one has become.
    auto base = compile_text(context_.get(), seat_text_);
    if (!base) return std::unexpected(std::move(base.error()));
    KeyboardLayout seat;
    seat.keymap_ = std::move(*base);
    const std::vector<uint32_t> free = seat.free_keys();
    if (keysyms.size() > free.size())
        return fail(std::to_string(keysyms.size()) + " characters the layout lacks, but only " +
                    std::to_string(free.size()) + " free keys to put them on");

    char* normalized = xkb_keymap_get_as_string(seat.keymap_.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
    if (!normalized) return fail("the keymap could not be written out");
    std::string text(normalized);
    std::free(normalized);

    std::string names, symbols;
    keys.clear();
    for (size_t i = 0; i < keysyms.size(); ++i) {
        const xkb_keycode_t code = free[i] + xkb_offset;
        std::string name;
        if (const char* known = xkb_keymap_key_get_name(seat.keymap_.get(), code)) {
            name = known;
        } else {
            name = "PV" + std::to_string(code);
            names += "\t<" + name + "> = " + std::to_string(code) + ";\n";
        }
        symbols += "\tkey <" + name + "> { [ " + keysym_name(keysyms[i]) + " ] };\n";
        keys.push_back(free[i]);
    }
    const size_t symbols_end = block_end(text, "xkb_symbols");
    const size_t keycodes_end = block_end(text, "xkb_keycodes");
    if (symbols_end == std::string::npos || keycodes_end == std::string::npos || keycodes_end > symbols_end)
        return fail("the keymap has no keycodes and symbols sections to extend");
    text.insert(symbols_end, symbols);
    text.insert(keycodes_end, names);
    if (auto check = compile_text(context_.get(), text); !check) return std::unexpected(std::move(check.error()));
    return text;
}

Result<> KeyboardLayout::replace(const std::string& text, const std::vector<uint32_t>& held_keys)
{
    auto keymap = compile_text(context_.get(), text);
    if (!keymap) return std::unexpected(std::move(keymap.error()));
    StatePtr state(xkb_state_new(keymap->get()));
    if (!state) return fail("failed to create an xkb state");
    // The keys still held replay into the new state, so that their release
    // later undoes what they set; the locks and the layout carry over.
    const ModifierState before = modifiers();
    for (uint32_t key : held_keys) xkb_state_update_key(state.get(), key + xkb_offset, XKB_KEY_DOWN);
    const ModifierState pressed{xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED), 0, 0, 0};
    xkb_state_update_mask(state.get(), pressed.depressed, before.latched, before.locked, 0, 0, before.group);
    keymap_ = std::move(*keymap);
    state_ = std::move(state);
    index_modifier_keys();
    return {};
}

xkb_keysym_t keysym_from_name(const std::string& name)
{
    const xkb_keysym_t exact = xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_NO_FLAGS);
    if (exact != XKB_KEY_NoSymbol) return exact;
    return xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_CASE_INSENSITIVE);
}

xkb_keysym_t keysym_from_char(uint32_t code_point) { return xkb_utf32_to_keysym(code_point); }

std::string keysym_name(xkb_keysym_t keysym)
{
    char buf[64];
    const int n = xkb_keysym_get_name(keysym, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(std::min<int>(n, sizeof buf - 1))) : std::string();
}

}  // namespace pravlin_lib
