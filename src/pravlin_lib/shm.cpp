#include "shm.hpp"

#include <cerrno>
#include <fcntl.h>
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

// "/wl_shm-" and six letters or digits from the kernel's random source.
std::string fresh_name()
{
    std::string name = "/wl_shm-";
    while (name.size() < 14) {
        unsigned char bytes[16];
        ssize_t got = getrandom(bytes, sizeof bytes, 0);
        for (ssize_t i = 0; i < got && name.size() < 14; ++i) {
            // 248 is the largest multiple of 62 below 256: no bias.
            if (bytes[i] < 248) name += alphabet[bytes[i] % alphabet_size];
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
        const std::string name = fresh_name();
        PRAVLIN_INFO(log::target::shm, "Trying to create shm file: " + name);
        Fd fd(shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
        if (!fd) {
            last_error = errno;
            continue;
        }
        shm_unlink(name.c_str());
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
