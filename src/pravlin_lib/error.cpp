#include "error.hpp"

#include <cstdio>
#include <cstring>

namespace pravlin_lib {

std::string render(const Error& error)
{
    std::string text = error.message;
    if (error.causes.empty()) return text;
    text += "\n\nCaused by:";
    const bool numbered = error.causes.size() > 1;
    // Later lines of a cause line up under its first.
    const std::string continuation = numbered ? "\n       " : "\n    ";
    for (size_t i = 0; i < error.causes.size(); ++i) {
        if (numbered) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "\n%5zu: ", i);
            text += prefix;
        } else {
            text += "\n    ";
        }
        for (char c : error.causes[i]) {
            if (c == '\n') text += continuation;
            else text += c;
        }
    }
    return text;
}

std::string os_error_text(int errnum)
{
    return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")";
}

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 if none does.
size_t utf8_sequence_length(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t len;
    unsigned int lowest, cp;
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) { len = 2; cp = lead & 0x1F; lowest = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { len = 3; cp = lead & 0x0F; lowest = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { len = 4; cp = lead & 0x07; lowest = 0x10000; }
    else return 0;
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

bool is_valid_utf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8_sequence_length(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string quoted(std::string_view text)
{
    std::string out = "\"";
    char buf[16];
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t len = utf8_sequence_length(text, i);
        if (len == 0) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
            continue;
        }
        if (len > 1) {
            out.append(text.substr(i, len));
            i += len;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

}  // namespace pravlin_lib
