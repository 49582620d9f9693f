// Failures of the core are values: a short message of our own, the texts of
// the causes behind it (nearest first), and whether it is a broken invariant
// rather than an ordinary error.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pravlin_lib {

struct Error {
    std::string message;
    std::vector<std::string> causes;
    // An internal failure: something construction cannot do without. The
    // host raises these as PanicException instead of RuntimeError.
    bool internal = false;
    // Memory ran out where the core could not carry on; raised as MemoryError.
    bool out_of_memory = false;
    // The caller asked for something that cannot be (a point on no screen);
    // nothing was sent. Raised as ValueError.
    bool invalid_argument = false;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message, std::vector<std::string> causes = {})
{
    return std::unexpected(Error{std::move(message), std::move(causes), false});
}

inline std::unexpected<Error> internal_failure(std::string message)
{
    return std::unexpected(Error{std::move(message), {}, true});
}

// The error as one text: its message, then, when it has causes, a blank
// line, "Caused by:" and one line per cause (numbered when there are several).
std::string render(const Error& error);

// "No such file or directory (os error 2)"
std::string os_error_text(int errnum);

// The text in double quotes with quotes, backslashes, control characters and
// bytes that are not valid UTF-8 escaped.
std::string quoted(std::string_view text);

bool is_valid_utf8(std::string_view text);

}  // namespace pravlin_lib
