// The kernel notification channel. Closing a socket does not wake a thread blocked on it, so a
// listener waits on its socket and on an eventfd of its own, and TIRO_Netlink_ext3_release
// marks every listener on the descriptor, wakes it and closes the descriptor, all under the
// registry lock. A listener receives (without blocking) only under that lock after checking its
// mark, so it never reads from a descriptor number the release has already given back.
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_fileops.h"
#include "kova/kova_fs.h"
#include "kova/kova_mem.h"

KOVA_LOG_SOURCE("fs/tiro_fs")

namespace {

constexpr std::size_t kHeaderSize = 16;
static_assert(sizeof(nlmsghdr) == kHeaderSize);

struct Listener {
    int fd;
    int wake_fd;
    bool released = false;
    Listener *next = nullptr;
};

std::mutex m_registryLock;
Listener *m_listeners = nullptr;

void enlist(Listener &l)
{
    std::lock_guard guard(m_registryLock);
    l.next = m_listeners;
    m_listeners = &l;
}

void delist(Listener &l)
{
    std::lock_guard guard(m_registryLock);
    for (Listener **p = &m_listeners; *p != nullptr; p = &(*p)->next)
        if (*p == &l) {
            *p = l.next;
            break;
        }
}

enum class Received { kMessage, kRetry, kReleased, kFailed };

// One message into `buffer`, or why there is none.
Received receive(Listener &l, void *buffer, ssize_t &length)
{
    std::lock_guard guard(m_registryLock);
    if (l.released) return Received::kReleased;
    iovec io{buffer, TIRO_NETLINK_BUFFER_SIZE};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    length = recvmsg(l.fd, &msg, MSG_DONTWAIT);
    if (length > 0) return Received::kMessage;
    if (length == 0) return Received::kFailed;  // a sender that closed; the kernel refuses empty messages
    if (errno == EINTR || errno == EAGAIN) return Received::kRetry;
    return errno == EBADF ? Received::kReleased : Received::kFailed;
}

int listen_loop(Listener &l, unsigned char *buffer, tiro_netlink_callback_fn callback)
{
    for (;;) {
        pollfd fds[2] = {{l.fd, POLLIN, 0}, {l.wake_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return TIRO_NETLINK_RECV_FAILED;
        ssize_t length = 0;
        switch (receive(l, buffer, length)) {
        case Received::kReleased: return TIRO_NETLINK_CLOSED;
        case Received::kFailed: return TIRO_NETLINK_RECV_FAILED;
        case Received::kRetry: continue;
        case Received::kMessage: break;
        }
        // Messages too short to carry the event value are ignored: the buffer still holds the
        // last message, whose value must not be taken for theirs.
        std::uint32_t event;
        if (static_cast<std::size_t>(length) < kHeaderSize + sizeof event) continue;
        std::memcpy(&event, buffer + kHeaderSize, sizeof event);
        if (event == TIRO_NETLINK_EVENT) callback(buffer + kHeaderSize);
    }
}

}  // namespace

extern "C" {

int TIRO_Netlink_ext3_create(void)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, TIRO_NETLINK_PROTOCOL);
    if (fd < 0) {
        int error = errno;
        KOVA_LOG(kova::log::kError, "TIRO_Netlink_ext3_create failed, sockfd:%d, errno:%d,%s.", fd, error,
                 strerror(error));
        return -1;
    }
    return fd;
}

int TIRO_Netlink_ext3_listen(int fd, int port_id, tiro_netlink_callback_fn callback)
{
    if (fd < 0) return TIRO_NETLINK_BAD_FD;
    if (port_id < 1) return TIRO_NETLINK_BAD_PORT;
    if (callback == nullptr) return TIRO_NETLINK_NO_CALLBACK;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = static_cast<std::uint32_t>(port_id);
    address.nl_groups = 1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return TIRO_NETLINK_BIND_FAILED;
    auto *buffer = static_cast<unsigned char *>(
        kova_mallocsubstandard(KOVA_MODULE_ID, TIRO_NETLINK_BUFFER_SIZE, 0, __func__, __LINE__));
    if (buffer == nullptr) return TIRO_NETLINK_NO_MEMORY;
    std::memset(buffer, 0, TIRO_NETLINK_BUFFER_SIZE);
    Listener l{fd, eventfd(0, EFD_CLOEXEC)};
    int result = TIRO_NETLINK_NO_MEMORY;
    if (l.wake_fd >= 0) {
        enlist(l);
        result = listen_loop(l, buffer, callback);
        delist(l);
        close(l.wake_fd);
    }
    kova_freesub(buffer, __func__, __LINE__);
    return result;
}

void TIRO_Netlink_ext3_release(int fd)
{
    if (fd < 0) return;
    std::lock_guard guard(m_registryLock);
    for (Listener *l = m_listeners; l != nullptr; l = l->next)
        if (l->fd == fd && !l->released) {
            l->released = true;
            std::uint64_t one = 1;
            [[maybe_unused]] ssize_t written = write(l->wake_fd, &one, sizeof one);
        }
    kova_close(fd);
}

}  // extern "C"
