#include "shm.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.hpp"

namespace pravlin_lib {

namespace {

constexpr int attempts = 100;
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr unsigned alphabet_size = sizeof alphabet - 1;

// Fills `out` from the kernel's random source: getrandom, or /dev/urandom
// where getrandom is missing or refused (an old kernel, a seccomp filter).
// 0, or the error number of the last source tried.
int random_bytes(unsigned char* out, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(out + done, size - done, 0);
        if (got > 0) done += static_cast<size_t>(got);
        else if (got == 0 || errno != EINTR) break;
    }
    if (done == size) return 0;
    Fd urandom(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!urandom) return errno;
    while (done < size) {
        const ssize_t got = ::read(urandom.get(), out + done, size - done);
        if (got > 0) done += static_cast<size_t>(got);
        else if (got == 0) return EIO;
        else if (errno != EINTR) return errno;
    }
    return 0;
}

// "/wl_shm-" and six letters or digits from the kernel's random source;
// nothing, with `errnum` set, when that source cannot be read.
std::optional<std::string> fresh_name(int& errnum)
{
    std::string name = "/wl_shm-";
    while (name.size() < 14) {
        unsigned char bytes[16];
        if ((errnum = random_bytes(bytes, sizeof bytes)) != 0) return std::nullopt;
        for (unsigned char byte : bytes) {
            // 248 is the largest multiple of 62 below 256: no bias.
            if (byte < 248 && name.size() < 14) name += alphabet[byte % alphabet_size];
        }
    }
    return name;
}

std::unexpected<Error> shm_error(int errnum)
{
    if (errnum == EEXIST) return fail("Failed to create shm file");
    return fail("Failed to create shm file: " + os_error_text(errnum));
}

}  // namespace

Result<Fd> create_shm_file(uint64_t size)
{
    int last_error = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int random_error = 0;
        const std::optional<std::string> name = fresh_name(random_error);
        if (!name) {
            last_error = random_error;
            continue;
        }
        PRAVLIN_INFO(log::target::shm, "Trying to create shm file: " + *name);
        Fd fd(shm_open(name->c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
        if (!fd) {
            last_error = errno;
            continue;
        }
        shm_unlink(name->c_str());
        int rc;
        do {
            rc = ftruncate(fd.get(), static_cast<off_t>(size));
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) return shm_error(errno);
        return fd;
    }
    return shm_error(last_error);
}

}  // namespace pravlin_lib
