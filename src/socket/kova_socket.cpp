// The socket wrappers and the settings expressed in the product's units.
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "init/kova_log.h"
#include "kova/kova_socket.h"

KOVA_LOG_SOURCE("socket/kova_socket")

using kova::log::kError;

extern "C" {

int kova_socket_create(int domain, int type, int protocol) { return socket(domain, type, protocol); }
int kova_socket_bind(int fd, const sockaddr *addr, socklen_t len) { return bind(fd, addr, len); }
int kova_socket_listen(int fd, int backlog) { return listen(fd, backlog); }
int kova_socket_accept(int fd, sockaddr *addr, socklen_t *len) { return accept(fd, addr, len); }
int kova_socket_connect(int fd, const sockaddr *addr, socklen_t len) { return connect(fd, addr, len); }
ssize_t kova_socket_send(int fd, const void *buf, size_t len, int flags) { return send(fd, buf, len, flags); }
ssize_t kova_socket_sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to, socklen_t tolen)
{
    return sendto(fd, buf, len, flags, to, tolen);
}
ssize_t kova_socket_recv(int fd, void *buf, size_t len, int flags) { return recv(fd, buf, len, flags); }
ssize_t kova_socket_recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from, socklen_t *fromlen)
{
    return recvfrom(fd, buf, len, flags, from, fromlen);
}
ssize_t kova_sendmsg(int fd, const msghdr *msg, int flags) { return sendmsg(fd, msg, flags); }
ssize_t kova_recvmsg(int fd, msghdr *msg, int flags) { return recvmsg(fd, msg, flags); }
int kova_socket_close(int fd) { return close(fd); }
int kova_socket_shutdown(int fd, int how) { return shutdown(fd, how); }
int kova_socket_getsockname(int fd, sockaddr *addr, socklen_t *len) { return getsockname(fd, addr, len); }
int kova_socket_getpeername(int fd, sockaddr *addr, socklen_t *len) { return getpeername(fd, addr, len); }
int kova_socket_setsockopt(int fd, int level, int name, const void *value, socklen_t len)
{
    return setsockopt(fd, level, name, value, len);
}
int kova_socket_getsockopt(int fd, int level, int name, void *value, socklen_t *len)
{
    return getsockopt(fd, level, name, value, len);
}
int kova_socket_ioctl(int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }
in_addr_t kova_socket_inet_addr(const char *text) { return inet_addr(text); }
uint32_t kova_htonl(uint32_t v) { return htonl(v); }
uint32_t kova_ntohl(uint32_t v) { return ntohl(v); }
uint16_t kova_htons(uint16_t v) { return htons(v); }
uint16_t kova_ntohs(uint16_t v) { return ntohs(v); }

int kova_socket_setkeepalive(int fd, unsigned int enable, unsigned int idle_s, unsigned int interval_s,
                             unsigned int count)
{
    if (fd == -1) {
        KOVA_LOG(kError, "Input socket error.");
        return -1;
    }
    int ret = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof enable);
    if (ret != 0) {
        KOVA_LOG(kError, "Set socket SO_KEEPALIVE fail, ret = (%d).", ret);
        return ret;
    }
    if (enable == 0) return 0;
    struct Option { int name; const unsigned int *value; const char *message; } const options[] = {
        {TCP_KEEPIDLE, &idle_s, "Set socket TCP_KEEPIDLE fail, ret = (%d)."},
        {TCP_KEEPINTVL, &interval_s, "Set socket TCP_KEEPINTVL fail, ret = (%d)."},
        {TCP_KEEPCNT, &count, "Set socket TCP_KEEPCNT fail, ret = (%d)."},
    };
    for (const Option &o : options) {
        ret = setsockopt(fd, IPPROTO_TCP, o.name, o.value, sizeof *o.value);
        if (ret != 0) {
            KOVA_LOG(kError, o.message, ret);
            return ret;
        }
    }
    return 0;
}

int kova_socket_setsendrecvtmout(int fd, int option, int timeout_ms)
{
    // A negative time-out would reach the kernel as "never" or as EDOM, whichever its parts give.
    if ((option != SO_RCVTIMEO && option != SO_SNDTIMEO) || fd == -1 || timeout_ms < 0) {
        KOVA_LOG(kError, "Input param error.");
        return -1;
    }
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int ret = setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
    if (ret != 0) KOVA_LOG(kError, "Setsockopt error.");
    return ret;
}

}  // extern "C"
