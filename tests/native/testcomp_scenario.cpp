// Scenario file reading for testcomp: a small JSON reader (objects, arrays,
// strings, integers, booleans, null) and the scenario's validation, plus the
// JSON string writer the record uses.
#include "testcomp.h"

#include <wayland-server-protocol.h>

#include "screencopy-server-protocol.h"
#include "virtual_keyboard-server-protocol.h"
#include "virtual_pointer-server-protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testcomp {

namespace {

struct Json {
    enum Kind { Null, Bool, Int, Str, Arr, Obj } kind = Null;
    bool b = false;
    long long i = 0;
    std::string s;
    std::vector<Json> arr;
    std::vector<std::pair<std::string, Json>> obj;

    const Json* get(const char* key) const {
        for (auto& [k, v] : obj)
            if (k == key) return &v;
        return nullptr;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : t_(text) {}

    Json parse_document() {
        Json v = value();
        skip_ws();
        if (p_ != t_.size()) fail("trailing characters");
        return v;
    }

private:
    const std::string& t_;
    size_t p_ = 0;

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("scenario JSON, offset " + std::to_string(p_) + ": " + what);
    }
    void skip_ws() {
        while (p_ < t_.size() && strchr(" \t\r\n", t_[p_])) ++p_;
    }
    char peek() {
        skip_ws();
        return p_ < t_.size() ? t_[p_] : '\0';
    }
    void expect(char c) {
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++p_;
    }
    bool literal(const char* word) {
        size_t n = strlen(word);
        if (t_.compare(p_, n, word) != 0) return false;
        p_ += n;
        return true;
    }

    Json value() {
        Json v;
        char c = peek();
        if (c == '{') {
            v.kind = Json::Obj;
            ++p_;
            if (peek() == '}') { ++p_; return v; }
            for (;;) {
                if (peek() != '"') fail("expected a key string");
                std::string key = string();
                expect(':');
                v.obj.emplace_back(std::move(key), value());
                if (peek() == ',') { ++p_; continue; }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::Arr;
            ++p_;
            if (peek() == ']') { ++p_; return v; }
            for (;;) {
                v.arr.push_back(value());
                if (peek() == ',') { ++p_; continue; }
                expect(']');
                return v;
            }
        }
        if (c == '"') { v.kind = Json::Str; v.s = string(); return v; }
        if (literal("true")) { v.kind = Json::Bool; v.b = true; return v; }
        if (literal("false")) { v.kind = Json::Bool; return v; }
        if (literal("null")) return v;
        if (c == '-' || (c >= '0' && c <= '9')) {
            size_t start = p_;
            if (t_[p_] == '-') ++p_;
            while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
            if (p_ < t_.size() && strchr(".eE", t_[p_])) fail("only integer numbers are accepted");
            errno = 0;
            v.kind = Json::Int;
            v.i = strtoll(t_.c_str() + start, nullptr, 10);
            if (errno == ERANGE || p_ == start + (t_[start] == '-')) fail("bad number");
            return v;
        }
        fail("unexpected character");
    }

    unsigned hex4() {
        if (p_ + 4 > t_.size()) fail("short \\u escape");
        unsigned u = 0;
        for (int k = 0; k < 4; ++k) {
            char h = t_[p_++];
            u <<= 4;
            if (h >= '0' && h <= '9') u |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f') u |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') u |= unsigned(h - 'A' + 10);
            else fail("bad \\u escape");
        }
        return u;
    }

    static void put_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xc0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += char(0xe0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3f));
            out += char(0x80 | (cp & 0x3f));
        } else {
            out += char(0xf0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3f));
            out += char(0x80 | ((cp >> 6) & 0x3f));
            out += char(0x80 | (cp & 0x3f));
        }
    }

    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (p_ >= t_.size()) fail("unterminated string");
            char c = t_[p_++];
            if (c == '"') return out;
            if (c != '\\') { out += c; continue; }
            if (p_ >= t_.size()) fail("unterminated string");
            switch (char e = t_[p_++]) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = hex4();
                if (cp >= 0xd800 && cp < 0xdc00 && t_.compare(p_, 2, "\\u") == 0) {
                    p_ += 2;
                    unsigned lo = hex4();
                    if (lo < 0xdc00 || lo > 0xdfff) fail("bad surrogate pair");
                    cp = 0x10000 + ((cp - 0xd800) << 10) + (lo - 0xdc00);
                }
                put_utf8(out, cp);
                break;
            }
            default: fail("bad escape");
            }
        }
    }
};

struct KnownInterface {
    const char* name;
    Kind kind;
    const wl_interface* iface;
    int default_version;
};

const KnownInterface known_interfaces[] = {
    {"wl_shm", Kind::Shm, &wl_shm_interface, 1},
    {"wl_seat", Kind::Seat, &wl_seat_interface, 7},
    {"wl_output", Kind::Output, &wl_output_interface, 4},
    {"zwlr_screencopy_manager_v1", Kind::Screencopy, &zwlr_screencopy_manager_v1_interface, 3},
    {"zwp_virtual_keyboard_manager_v1", Kind::VkbdManager, &zwp_virtual_keyboard_manager_v1_interface, 1},
    {"zwlr_virtual_pointer_manager_v1", Kind::VptrManager, &zwlr_virtual_pointer_manager_v1_interface, 2},
};

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw std::runtime_error("scenario: " + where + ": " + what);
}

void check_keys(const Json& o, const std::string& where, std::initializer_list<const char*> keys) {
    if (o.kind != Json::Obj) bad(where, "must be an object");
    for (auto& [k, v] : o.obj) {
        bool found = false;
        for (const char* allowed : keys) found = found || k == allowed;
        if (!found) bad(where, "unknown key \"" + k + "\"");
    }
}

long long int_of(const Json& o, const char* key, long long dflt, const std::string& where,
                 long long lo = 0, long long hi = INT32_MAX) {
    const Json* v = o.get(key);
    if (!v) return dflt;
    if (v->kind != Json::Int) bad(where, std::string(key) + " must be an integer");
    if (v->i < lo || v->i > hi) bad(where, std::string(key) + " out of range");
    return v->i;
}

std::optional<long long> opt_int_of(const Json& o, const char* key, const std::string& where) {
    const Json* v = o.get(key);
    if (!v || v->kind == Json::Null) return std::nullopt;
    return int_of(o, key, 0, where, 0, UINT32_MAX);
}

bool bool_of(const Json& o, const char* key, const std::string& where) {
    const Json* v = o.get(key);
    if (!v) return false;
    if (v->kind != Json::Bool) bad(where, std::string(key) + " must be true or false");
    return v->b;
}

std::string str_of(const Json& o, const char* key, const std::string& dflt, const std::string& where) {
    const Json* v = o.get(key);
    if (!v) return dflt;
    if (v->kind != Json::Str) bad(where, std::string(key) + " must be a string");
    return v->s;
}

const Json& array_of(const Json& top, const char* key) {
    const Json* v = top.get(key);
    if (!v || v->kind != Json::Arr) bad(key, "must be an array");
    return *v;
}

std::unique_ptr<GlobalDef> make_global(const Json& g, const std::string& where, int output_index) {
    check_keys(g, where, {"interface", "version", "name", "name_delay_ms", "width", "height",
                          "after_syncs", "remove_after_syncs", "capabilities", "refuse_keyboard"});
    auto def = std::make_unique<GlobalDef>();
    def->iface_name = str_of(g, "interface", "", where);
    if (def->iface_name.empty()) bad(where, "interface is required");
    const wl_interface* base = nullptr;
    int default_version = 1;
    for (auto& k : known_interfaces) {
        if (def->iface_name == k.name) {
            def->kind = k.kind;
            base = k.iface;
            default_version = k.default_version;
        }
    }
    def->version = int(int_of(g, "version", default_version, where, 1));
    if (base) {
        def->iface = *base;
    } else {
        // Unknown to us: a request-less, event-less interface with that name.
        def->iface = wl_interface{nullptr, 1, 0, nullptr, 0, nullptr};
    }
    def->iface.name = def->iface_name.c_str();
    def->iface.version = std::max(def->iface.version, def->version);

    if (def->kind == Kind::Output) def->name = "OUT-" + std::to_string(output_index);
    if (def->kind == Kind::Seat) def->name = "seat0";
    if (const Json* n = g.get("name")) {
        if (n->kind == Json::Null) def->name.reset();
        else if (n->kind == Json::Str) def->name = n->s;
        else bad(where, "name must be a string or null");
    }
    def->name_delay_ms = int(int_of(g, "name_delay_ms", 0, where));
    def->width = int(int_of(g, "width", 64, where, 1, 1 << 15));
    def->height = int(int_of(g, "height", 48, where, 1, 1 << 15));
    def->after_syncs = int(int_of(g, "after_syncs", 0, where));
    def->remove_after_syncs = int(int_of(g, "remove_after_syncs", 0, where));
    def->capabilities = uint32_t(int_of(g, "capabilities", 3, where, 0, 7));
    def->refuse_keyboard = bool_of(g, "refuse_keyboard", where);
    return def;
}

}  // namespace

// Strings from clients are arbitrary bytes; invalid UTF-8 becomes U+FFFD so
// every record line stays loadable.
std::string jstr(const char* s) {
    if (!s) return "null";
    std::string out = "\"";
    auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') { out += '\\'; out += char(c); ++p; continue; }
        if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++p;
            continue;
        }
        if (c < 0x80) { out += char(c); ++p; continue; }
        int len = (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
        bool ok = len > 0 && !(c == 0xc0 || c == 0xc1 || c > 0xf4);
        for (int k = 1; ok && k < len; ++k) ok = (p[k] & 0xc0) == 0x80;
        if (ok) {
            out.append(reinterpret_cast<const char*>(p), size_t(len));
            p += len;
        } else {
            out += "\\ufffd";
            ++p;
        }
    }
    return out + "\"";
}
std::string jstr(const std::string& s) { return jstr(s.c_str()); }

Scenario load_scenario(const std::string& path) {
    Scenario sc;
    Json top;
    if (!path.empty()) {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read scenario file " + path);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        top = JsonReader(text).parse_document();
    } else {
        top.kind = Json::Obj;
    }
    check_keys(top, "top level", {"globals", "keymaps", "frame", "faults"});

    int outputs = 0;
    if (top.get("globals")) {
        const Json& gl = array_of(top, "globals");
        for (size_t k = 0; k < gl.arr.size(); ++k) {
            const Json* iface = gl.arr[k].get("interface");
            if (iface && iface->kind == Json::Str && iface->s == "wl_output") ++outputs;
            sc.globals.push_back(make_global(gl.arr[k], "globals[" + std::to_string(k) + "]", outputs));
        }
    } else {
        for (auto& k : known_interfaces) {
            Json g;
            g.kind = Json::Obj;
            Json name;
            name.kind = Json::Str;
            name.s = k.name;
            g.obj.emplace_back("interface", name);
            sc.globals.push_back(make_global(g, k.name, 1));
        }
    }

    if (top.get("keymaps")) {
        const Json& km = array_of(top, "keymaps");
        for (size_t k = 0; k < km.arr.size(); ++k) {
            std::string where = "keymaps[" + std::to_string(k) + "]";
            check_keys(km.arr[k], where, {"format", "text", "nul"});
            sc.keymaps.push_back({uint32_t(int_of(km.arr[k], "format", 1, where, 0, UINT32_MAX)),
                                  str_of(km.arr[k], "text", "", where), bool_of(km.arr[k], "nul", where)});
        }
    } else {
        // Short, but a real keymap, so a client that compiles it still works.
        sc.keymaps.push_back({1,
                              "xkb_keymap {\n"
                              "  xkb_keycodes { include \"evdev\" };\n"
                              "  xkb_types { include \"complete\" };\n"
                              "  xkb_compat { include \"complete\" };\n"
                              "  xkb_symbols { include \"pc+us+inet(evdev)\" };\n"
                              "};\n",
                              false});
    }

    if (const Json* fr = top.get("frame")) {
        check_keys(*fr, "frame", {"format", "width", "height", "stride", "extra_buffer_events",
                                  "y_invert", "fail", "fail_times", "pattern"});
        FrameSetup& f = sc.frame;
        f.format = uint32_t(int_of(*fr, "format", 1, "frame", 0, UINT32_MAX));
        f.width = opt_int_of(*fr, "width", "frame");
        f.height = opt_int_of(*fr, "height", "frame");
        f.stride = opt_int_of(*fr, "stride", "frame");
        f.y_invert = bool_of(*fr, "y_invert", "frame");
        if (const Json* ex = fr->get("extra_buffer_events")) {
            if (ex->kind != Json::Arr) bad("frame", "extra_buffer_events must be an array");
            for (size_t k = 0; k < ex->arr.size(); ++k) {
                std::string where = "frame.extra_buffer_events[" + std::to_string(k) + "]";
                const Json& e = ex->arr[k];
                check_keys(e, where, {"format", "width", "height", "stride"});
                f.extra.push_back({opt_int_of(e, "format", where), opt_int_of(e, "width", where),
                                   opt_int_of(e, "height", where), opt_int_of(e, "stride", where)});
            }
        }
        const Json* fail = fr->get("fail");
        if (fail && fail->kind != Json::Null) {
            std::string v = str_of(*fr, "fail", "", "frame");
            if (v == "capture") f.fail = FrameSetup::Capture;
            else if (v == "pool") f.fail = FrameSetup::Pool;
            else if (v == "buffer") f.fail = FrameSetup::Buffer;
            else if (v == "copy") f.fail = FrameSetup::Copy;
            else bad("frame", "fail must be null, \"capture\", \"pool\", \"buffer\" or \"copy\"");
        }
        f.fail_times = int_of(*fr, "fail_times", -1, "frame", -1);
        std::string pattern = str_of(*fr, "pattern", "gradient", "frame");
        if (pattern.rfind("solid:", 0) == 0 && pattern.size() == 12 &&
            pattern.find_first_not_of("0123456789abcdefABCDEF", 6) == std::string::npos) {
            unsigned long rgb = strtoul(pattern.c_str() + 6, nullptr, 16);
            f.solid = true;
            f.r = uint8_t(rgb >> 16);
            f.g = uint8_t(rgb >> 8);
            f.b = uint8_t(rgb);
        } else if (pattern != "gradient") {
            bad("frame", "pattern must be \"gradient\" or \"solid:RRGGBB\"");
        }
    }

    if (top.get("faults")) {
        const Json& fl = array_of(top, "faults");
        for (size_t k = 0; k < fl.arr.size(); ++k) {
            std::string where = "faults[" + std::to_string(k) + "]";
            const Json& f = fl.arr[k];
            check_keys(f, where, {"request", "occurrence", "action", "code", "message", "client", "words"});
            Fault fs;
            fs.request = str_of(f, "request", "", where);
            if (fs.request.find('.') == std::string::npos) bad(where, "request must be \"interface.request\"");
            fs.occurrence = int(int_of(f, "occurrence", 1, where, 1));
            std::string a = str_of(f, "action", "", where);
            if (a == "close") fs.action = Action::Close;
            else if (a == "protocol_error") fs.action = Action::ProtocolError;
            else if (a == "bad_opcode") fs.action = Action::BadOpcode;
            else if (a == "truncated") fs.action = Action::Truncated;
            else if (a == "hang") fs.action = Action::Hang;
            else if (a == "raw") fs.action = Action::Raw;
            else bad(where, "unknown action \"" + a + "\"");
            fs.code = uint32_t(int_of(f, "code", 0, where, 0, UINT32_MAX));
            fs.message = str_of(f, "message", fs.message, where);
            fs.client = int(int_of(f, "client", 0, where));
            if (const Json* words = f.get("words")) {
                if (words->kind != Json::Arr) bad(where, "words must be an array");
                for (const Json& w : words->arr) {
                    RawWord word;
                    if (w.kind == Json::Int && w.i >= 0 && w.i <= UINT32_MAX) {
                        word.value = uint32_t(w.i);
                    } else if (w.kind == Json::Str && w.s == "object") {
                        word.kind = RawWord::Object;
                    } else if (w.kind == Json::Str && w.s.rfind("arg", 0) == 0 && w.s.size() == 4 &&
                               w.s[3] >= '0' && w.s[3] <= '9') {
                        word.kind = RawWord::Arg;
                        word.value = uint32_t(w.s[3] - '0');
                    } else {
                        bad(where, "a word is a uint32, \"object\" or \"arg0\"..\"arg9\"");
                    }
                    fs.words.push_back(word);
                }
            }
            if (fs.action == Action::Raw && fs.words.size() < 2) bad(where, "raw needs at least a header");
            sc.faults.push_back(std::move(fs));
        }
    }
    return sc;
}

}  // namespace testcomp
