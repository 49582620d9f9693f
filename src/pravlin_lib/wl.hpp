// Owners for Wayland client objects and file descriptors.
//
// Dropping a Proxy frees the client-side proxy only: no destroy or release
// request goes to the compositor, whose objects end with the connection.
#pragma once

#include <memory>
#include <unistd.h>
#include <utility>
#include <wayland-client.h>

namespace pravlin_lib {

struct ProxyFree {
    template <class T>
    void operator()(T* proxy) const { wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy)); }
};
template <class T>
using Proxy = std::unique_ptr<T, ProxyFree>;

// Any proxy, kept only so that it is freed with the session.
using AnyProxy = Proxy<wl_proxy>;

template <class T>
AnyProxy erase(Proxy<T> proxy)
{
    return AnyProxy(reinterpret_cast<wl_proxy*>(proxy.release()));
}

struct DisplayDisconnect {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
using DisplayPtr = std::unique_ptr<wl_display, DisplayDisconnect>;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace pravlin_lib
