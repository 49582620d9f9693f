// Preloaded by tests in place of the global operator new (the extension's
// allocations go through it; the interpreter's and libwayland's do not):
//   SHIM_NEW_BIG=N    counts allocations of N bytes or more; shim_big_allocations()
//                     returns the count so far (ctypes.CDLL(None) finds it)
//   SHIM_NEW_FAIL=N   every allocation of exactly N bytes throws std::bad_alloc
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::size_t env_size(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::strtoull(value, nullptr, 10) : 0;
}

std::atomic<long> big_allocations{0};

}  // namespace

extern "C" __attribute__((visibility("default"))) long shim_big_allocations() { return big_allocations.load(); }

void* operator new(std::size_t size)
{
    static const std::size_t big = env_size("SHIM_NEW_BIG");
    static const std::size_t fail = env_size("SHIM_NEW_FAIL");
    if (fail != 0 && size == fail) throw std::bad_alloc();
    if (big != 0 && size >= big) ++big_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
