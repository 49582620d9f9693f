// Anonymous POSIX shared-memory files.
#pragma once

#include <cstdint>

#include "error.hpp"
#include "wl.hpp"

namespace pravlin_lib {

// A shared-memory object of `size` bytes whose name is already removed: it
// lives exactly as long as some descriptor or mapping of it.
Result<Fd> create_shm_file(uint64_t size);

}  // namespace pravlin_lib
