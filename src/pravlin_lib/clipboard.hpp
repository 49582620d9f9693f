// The seat's clipboard and primary selection through data control: no
// window, no keyboard focus. A clipboard has its own connection, served by a
// thread of its own, so that what this process offers is handed to other
// applications while no call is in progress; calls hand their work to that
// thread and wait for its answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"

namespace pravlin_lib {

enum class Selection { clipboard, primary };

// What reading a selection found.
struct Received {
    enum class Status {
        ok,           // `data` holds what the owner wrote
        empty,        // nothing is copied
        not_offered,  // the owner offers other types only: `types`
        timed_out,    // the owner did not finish writing in time: `data` holds what came
    };
    Status status = Status::ok;
    std::string data;
    std::vector<std::string> types;
};

// Data to offer, one entry per MIME type.
using Offered = std::vector<std::pair<std::string, std::string>>;

class Clipboard {
public:
    Clipboard(Clipboard&&) noexcept;
    Clipboard& operator=(Clipboard&&) = delete;
    // Gives up the selections this clipboard owns and disconnects.
    ~Clipboard();

    // The MIME types offered now; none when nothing is copied.
    Result<std::optional<std::vector<std::string>>> types(Selection which);
    // Asks the owner for the data in this type and reads it until the owner
    // closes, for at most `timeout`.
    Result<Received> read(Selection which, const std::string& mime_type, std::chrono::milliseconds timeout);
    // Makes this process the owner, offering these types; with none, clears
    // the selection. Returns once the compositor has taken the request.
    Result<> write(Selection which, Offered offered);
    // While what this process wrote last is still the selection, how many
    // times an application has asked for it; none once another owner took over.
    Result<std::optional<uint32_t>> served(Selection which);
    // Whether the compositor offers the primary selection through data control.
    bool has_primary() const;

    struct Service;

private:
    friend Result<Clipboard> open_clipboard(const std::optional<std::string>&);
    explicit Clipboard(std::unique_ptr<Service> service);
    std::unique_ptr<Service> service_;
};

// Connects as `connect` does and binds the seat and the data control
// manager; fails when the compositor has no data control.
Result<Clipboard> open_clipboard(const std::optional<std::string>& wayland_display);

}  // namespace pravlin_lib
