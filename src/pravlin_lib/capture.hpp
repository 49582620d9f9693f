// Frames of the outputs for sessions that capture often: shared-memory
// buffers kept from one capture to the next, pixels handed out without a
// copy, several outputs at once, and frames that wait for the screen to
// change (the compositor's damage) instead of polling.
//
// A buffer whose pixels a caller still holds is never written again; the
// next frame goes into another one. Each output keeps a few buffers, so the
// compositor copies into memory it has touched before (the fresh file of
// every capture is what makes a one-off screenshot cost several times more).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app_data.hpp"
#include "error.hpp"
#include "helper.hpp"
#include "queue.hpp"
#include "wl.hpp"

namespace pravlin_lib {

struct Frame {
    std::string screen;
    Image image;
    // When the compositor presented the frame, on the monotonic clock.
    uint64_t time_ns = 0;
    // The part that changed since this session's previous frame of the output
    // (frames that waited for a change only): x, y, width, height.
    std::optional<std::array<uint32_t, 4>> damage;
};

struct CaptureRequest {
    std::vector<std::string> screens;  // empty: every output
    // Wait for a change since this session's previous such frame of each
    // output (the first one comes at once), and return the outputs that have
    // one, at least one of them; otherwise a frame of every output.
    bool damage = false;
    // How long a wait for a change may last; none: as long as it takes.
    std::optional<std::chrono::milliseconds> timeout;
    // A file that, once readable, ends a wait for a change early, as a
    // time-out would (-1: none). It is not read.
    int wake_fd = -1;
    bool cursor = false;
};

class Capture {
public:
    Capture();
    Capture(Capture&&) noexcept;
    ~Capture();
    Capture& operator=(Capture&&) = delete;
    Capture(const Capture&) = delete;

    // The frames the request asks for; with `damage`, an empty list when the
    // time ran out first. Frames still waiting for a change stay in flight
    // for the next call.
    Result<std::vector<Frame>> next(AppData& app_data, EventQueue& queue, const CaptureRequest& request);

    struct Slot;
    struct Pending;
    struct PerOutput;

private:
    std::map<uint32_t, std::unique_ptr<PerOutput>> outputs_;  // by the output's global name
};

}  // namespace pravlin_lib
