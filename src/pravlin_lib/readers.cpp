#include "readers.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace pravlin_lib {

namespace {

constexpr uint32_t established = 1;  // TCP_ESTABLISHED, as Unix sockets use it
constexpr size_t receive_bytes = 64 * 1024;

struct Request {
    nlmsghdr header;
    unix_diag_req body;
};

// One socket of a dump.
struct Entry {
    uint32_t inode = 0;
    uint32_t peer = 0;
    const char* name = nullptr;
    size_t name_size = 0;
    uint32_t queued = 0;
    uint32_t buffer = 0;
};

bool send_dump_request(int netlink, uint32_t sequence)
{
    Request request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.sdiag_family = AF_UNIX;
    request.body.udiag_states = 1u << established;
    request.body.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER | UDIAG_SHOW_RQLEN | UDIAG_SHOW_MEMINFO;
    for (;;) {
        const ssize_t n = ::send(netlink, &request, sizeof request, 0);
        if (n == static_cast<ssize_t>(sizeof request)) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

// Calls `each` with every socket of a dump; false when the dump failed.
template <class Each>
bool dump(int netlink, uint32_t sequence, std::vector<char>& buffer, Each each)
{
    if (!send_dump_request(netlink, sequence)) return false;
    buffer.resize(receive_bytes);
    for (;;) {
        const ssize_t got = ::recv(netlink, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        auto left = static_cast<int>(got);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_seq != sequence) continue;
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
                continue;
            const auto* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
            Entry entry;
            entry.inode = message->udiag_ino;
            auto attributes_left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *message));
            for (auto* a = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(message) + 1);
                 RTA_OK(a, attributes_left); a = RTA_NEXT(a, attributes_left)) {
                const auto* data = static_cast<const char*>(RTA_DATA(a));
                const size_t size = RTA_PAYLOAD(a);
                switch (a->rta_type) {
                case UNIX_DIAG_NAME:
                    entry.name = data;
                    entry.name_size = size;
                    break;
                case UNIX_DIAG_PEER:
                    if (size >= sizeof(uint32_t)) std::memcpy(&entry.peer, data, sizeof(uint32_t));
                    break;
                case UNIX_DIAG_RQLEN:
                    // For a connected socket: bytes to read, then bytes sent and not yet read.
                    if (size >= sizeof(unix_diag_rqlen))
                        entry.queued = reinterpret_cast<const unix_diag_rqlen*>(data)->udiag_wqueue;
                    break;
                case UNIX_DIAG_MEMINFO:
                    if (size >= (SK_MEMINFO_SNDBUF + 1) * sizeof(uint32_t))
                        std::memcpy(&entry.buffer, data + SK_MEMINFO_SNDBUF * sizeof(uint32_t), sizeof(uint32_t));
                    break;
                default:
                    break;
                }
            }
            each(entry);
        }
    }
}

std::vector<Readers::Backlog>::const_iterator find_inode(const std::vector<Readers::Backlog>& list, uint32_t inode)
{
    return std::find_if(list.begin(), list.end(), [&](const Readers::Backlog& b) { return b.inode == inode; });
}

bool over(const Readers::Backlog& b) { return b.queued > b.buffer / 4; }

void pause(std::chrono::microseconds length)
{
    timespec t{static_cast<time_t>(length.count() / 1000000), static_cast<long>(length.count() % 1000000) * 1000};
    while (::nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::optional<Readers> Readers::find(int our_socket)
{
    struct stat ours;
    if (::fstat(our_socket, &ours) < 0 || !S_ISSOCK(ours.st_mode)) return std::nullopt;
    Fd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!netlink) return std::nullopt;
    std::vector<char> buffer;
    uint32_t own_inode = 0;
    std::vector<char> address;
    const bool dumped = dump(netlink.get(), 1, buffer, [&](const Entry& e) {
        if (e.peer == ours.st_ino && e.name_size > 0) {
            own_inode = e.inode;
            address.assign(e.name, e.name + e.name_size);
        }
    });
    if (!dumped || own_inode == 0) return std::nullopt;
    Readers readers(std::move(netlink), own_inode, std::move(address));
    readers.sequence_ = 1;
    readers.buffer_ = std::move(buffer);
    // The levels as they are now: growth counts from here.
    if (!readers.read(readers.seen_)) return std::nullopt;
    return readers;
}

bool Readers::read(std::vector<Backlog>& out)
{
    out.clear();
    return dump(netlink_.get(), ++sequence_, buffer_, [&](const Entry& e) {
        if (e.inode == own_inode_ || e.name_size != address_.size() ||
            std::memcmp(e.name, address_.data(), address_.size()) != 0)
            return;
        out.push_back(Backlog{e.inode, e.queued, e.buffer});
    });
}

Readers::Settled Readers::settle(std::chrono::milliseconds patience)
{
    if (!read(now_)) return Settled::CaughtUp;
    std::vector<uint32_t> behind;
    for (const Backlog& b : now_) {
        if (!over(b)) continue;
        const bool was_behind = std::find(behind_.begin(), behind_.end(), b.inode) != behind_.end();
        const auto before = find_inode(seen_, b.inode);
        if (was_behind || (before != seen_.end() && b.queued > before->queued)) behind.push_back(b.inode);
    }
    behind_ = std::move(behind);
    std::swap(seen_, now_);
    if (!seen_.empty())
        smallest_buffer_ = std::min_element(seen_.begin(), seen_.end(), [](const Backlog& a, const Backlog& b) {
                               return a.buffer < b.buffer;
                           })->buffer;
    if (behind_.empty()) return Settled::CaughtUp;

    // The least each one has had queued while we waited: less is progress.
    std::vector<uint32_t> least;
    for (uint32_t inode : behind_) least.push_back(find_inode(seen_, inode)->queued);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + patience;
    bool progress = false;
    auto nap = std::chrono::microseconds(100);
    for (;;) {
        pause(nap);
        nap = std::min(nap * 2, std::chrono::microseconds(2000));
        if (!read(now_)) return Settled::CaughtUp;
        std::swap(seen_, now_);
        for (size_t i = 0; i < behind_.size();) {
            const auto at = find_inode(seen_, behind_[i]);
            if (at == seen_.end() || !over(*at)) {  // gone, or caught up
                behind_.erase(behind_.begin() + static_cast<ptrdiff_t>(i));
                least.erase(least.begin() + static_cast<ptrdiff_t>(i));
                progress = true;
                continue;
            }
            if (at->queued < least[i]) {
                least[i] = at->queued;
                progress = true;
            }
            ++i;
        }
        if (behind_.empty()) return Settled::CaughtUp;
        if (Clock::now() >= deadline) return progress ? Settled::Reading : Settled::Stalled;
    }
}

}  // namespace pravlin_lib
