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
// Up to here (KEY_MICMUTE and below is xkb's 8..255), the keys of PC keyboards;
// a character on one of these is what a person types it with.
constexpr xkb_keycode_t last_pc_key = 127 + xkb_offset;

// Keys that carry characters the layout lacks, as Linux input event codes,
// in the order they are taken. Chromium drops a key its table of DOM codes
// lacks (ui/events/keycodes/dom/dom_code_data.inc), and X11 cannot see codes
// above 247: these are keys every toolkit knows, that no layout the seat is
// likely to have gives characters, and that applications do not act on:
// first those the evdev keymaps leave empty (Lang5, IntlRo, IntlYen, F19,
// F24, BassBoost), then F13-F23, then the keys of Japanese and Korean input
// methods (Convert, NonConvert, KanaMode, Lang3, Lang4, Lang1, Lang2). A key
// is taken only while its keysyms in the seat's keymap are none or no
// characters, and it sets no modifier.
constexpr std::array<uint32_t, 23> carrier_keys = {
    85, 89, 124, 189, 194, 209,                          //
    183, 184, 185, 186, 187, 188, 190, 191, 192, 193,    //
    92, 94, 93, 90, 91, 122, 123,                        //
};

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
    // Default include paths, as the compositor compiled it: a keymap may
    // still name the rules files it was built from.
    layout.context_.reset(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!layout.context_) return fail("failed to create an xkb context");
    auto keymap = compile_text(layout.context_.get(), text);
    if (!keymap) return std::unexpected(std::move(keymap.error()));
    layout.keymap_ = std::move(*keymap);
    layout.state_.reset(xkb_state_new(layout.keymap_.get()));
    if (!layout.state_) return fail("failed to create an xkb state");
    layout.seat_text_ = std::move(text);
    char* normalized = xkb_keymap_get_as_string(layout.keymap_.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
    if (!normalized) return fail("the keymap could not be written out");
    layout.seat_normalized_ = normalized;
    std::free(normalized);
    layout.index_modifier_keys();
    layout.find_carriers();
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
    int best_tier = 0;
    xkb_layout_index_t best_key_layout = 0;
    const bool character = xkb_keysym_to_utf32(keysym) != 0;
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
        if (key < xkb_offset + 1) continue;
        const int tier = key <= last_pc_key ? 0 : key <= highest_x11_key ? 1 : 2;
        if (tier == 2 && character) break;
        if (best && tier > best_tier) break;
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
                best_tier = tier;
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

std::optional<ModifierState> KeyboardLayout::key(uint32_t key, bool pressed)
{
    const auto changed = xkb_state_update_key(state_.get(), key + xkb_offset, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    if (!(changed & (XKB_STATE_MODS_EFFECTIVE | XKB_STATE_LAYOUT_EFFECTIVE))) return std::nullopt;
    return modifiers();
}

ModifierState KeyboardLayout::lock_layout(uint32_t layout)
{
    const ModifierState now = modifiers();
    xkb_state_update_mask(state_.get(), now.depressed, now.latched, now.locked, 0, 0, layout);
    return modifiers();
}

uint32_t KeyboardLayout::layout_count() const { return xkb_keymap_num_layouts(keymap_.get()); }

void KeyboardLayout::find_carriers()
{
    xkb_keymap* keymap = keymap_.get();
    carriers_.clear();
    carrier_names_.clear();
    StatePtr scratch;
    for (uint32_t code : carrier_keys) {
        const xkb_keycode_t key = code + xkb_offset;
        if (key > highest_x11_key) continue;
        bool takeable = true;
        const xkb_layout_index_t layouts =
            key <= xkb_keymap_max_keycode(keymap) ? xkb_keymap_num_layouts_for_key(keymap, key) : 0;
        for (xkb_layout_index_t layout = 0; layout < layouts && takeable; ++layout) {
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, layout);
            for (xkb_level_index_t level = 0; level < levels && takeable; ++level) {
                const xkb_keysym_t* syms = nullptr;
                const int count = xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms);
                for (int i = 0; i < count; ++i)
                    if (xkb_keysym_to_utf32(syms[i]) != 0) takeable = false;
            }
        }
        if (takeable && layouts > 0) {
            scratch.reset(xkb_state_new(keymap));
            if (!scratch) return;
            const auto changed = xkb_state_update_key(scratch.get(), key, XKB_KEY_DOWN);
            if (changed & (XKB_STATE_MODS_EFFECTIVE | XKB_STATE_LAYOUT_EFFECTIVE)) takeable = false;
        }
        if (takeable) {
            carriers_.push_back(code);
            const char* name = key <= xkb_keymap_max_keycode(keymap) ? xkb_keymap_key_get_name(keymap, key) : nullptr;
            carrier_names_.push_back(name ? name : "");
        }
    }
}

Result<std::string> KeyboardLayout::extended(const std::vector<xkb_keysym_t>& keysyms,
                                             const std::vector<uint32_t>& held, std::vector<Placed>& placed,
                                             std::vector<uint32_t>& keys, bool& reassigns) const
{
    const auto has = [](const auto& list, auto value) {
        return std::find(list.begin(), list.end(), value) != list.end();
    };
    const auto placement = [&](xkb_keysym_t sym) {
        return std::find_if(placed_.begin(), placed_.end(), [&](const Placed& p) { return p.keysym == sym; });
    };
    // Which keysyms need a carrier, and which placements stay.
    std::vector<xkb_keysym_t> wanted, fresh;
    for (xkb_keysym_t sym : keysyms) {
        if (has(wanted, sym)) continue;
        if (placement(sym) == placed_.end() && find(sym)) continue;  // the seat's layout has it
        wanted.push_back(sym);
        if (placement(sym) == placed_.end()) fresh.push_back(sym);
    }
    if (wanted.size() > carriers_.size())
        return fail(std::to_string(wanted.size()) + " characters the layout lacks, but only " +
                    std::to_string(carriers_.size()) + " keys to put them on");
    std::vector<Placed> dropped;
    for (const Placed& p : placed_)
        if (!has(wanted, p.keysym)) dropped.push_back(p);
    std::vector<uint32_t> open;
    for (uint32_t key : carriers_)
        if (!has(held, key) && std::none_of(placed_.begin(), placed_.end(), [&](const Placed& p) { return p.key == key; }))
            open.push_back(key);
    reassigns = fresh.size() > open.size();
    // Then the keys of the placements asked for least recently, unless held.
    for (const Placed& p : dropped)
        if (!has(held, p.key)) open.push_back(p.key);
    if (fresh.size() > open.size()) return fail("a key that would carry a new character is held");
    // Those not asked for stay on their keys, older first, unless a new one takes the key.
    placed.clear();
    size_t next = 0;
    std::vector<Placed> fresh_placed;
    for (xkb_keysym_t sym : fresh) fresh_placed.push_back({open[next++], sym});
    for (const Placed& p : dropped)
        if (std::none_of(fresh_placed.begin(), fresh_placed.end(), [&](const Placed& f) { return f.key == p.key; }))
            placed.push_back(p);
    // The ones asked for now are the most recently used, in the order asked.
    for (xkb_keysym_t sym : wanted) {
        const auto old = placement(sym);
        if (old != placed_.end()) placed.push_back(*old);
        else placed.push_back(*std::find_if(fresh_placed.begin(), fresh_placed.end(),
                                            [&](const Placed& f) { return f.keysym == sym; }));
    }
    keys.clear();
    for (xkb_keysym_t sym : keysyms) {
        const auto p = std::find_if(placed.begin(), placed.end(), [&](const Placed& q) { return q.keysym == sym; });
        keys.push_back(p != placed.end() && has(wanted, sym) ? p->key : 0);
    }

    std::string text = seat_normalized_;
    std::string names, symbols;
    for (const Placed& p : placed) {
        const xkb_keycode_t code = p.key + xkb_offset;
        // The seat's name for the key, or one of ours for a code it leaves unnamed.
        std::string name = carrier_names_[static_cast<size_t>(
            std::find(carriers_.begin(), carriers_.end(), p.key) - carriers_.begin())];
        if (name.empty()) {
            name = "PV" + std::to_string(code);
            names += "\t<" + name + "> = " + std::to_string(code) + ";\n";
        }
        // "replace": a borrowed key loses its own keysyms in every group.
        symbols += "\treplace key <" + name + "> { [ " + keysym_name(p.keysym) + " ] };\n";
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

Result<> KeyboardLayout::replace(const std::string& text, const std::vector<uint32_t>& held_keys,
                                 std::vector<Placed> placed)
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
    placed_ = std::move(placed);
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
