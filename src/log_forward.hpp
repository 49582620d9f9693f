// The core's log records as records of Python's `logging`.
#pragma once

#include "py_ref.hpp"

// Imports `logging` and makes the forwarder the core's log sink, at most once
// per process (later calls do nothing). Needs the interpreter lock. On
// failure, raises PanicException and returns false.
//
// Built with -DPRAVLIN_LOG_OFF, the sink is never registered: every log
// statement of the core stays a single relaxed load.
bool install_log_forwarding();
