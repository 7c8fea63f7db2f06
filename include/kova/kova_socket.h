/**
 * @file
 * Sockets, addresses and port bonding.
 *
 * The wrappers pass their arguments unchanged to the system call of the same name and return
 * its result, leaving errno as the call set it; they log nothing. They are the one seam between
 * the product and the network stack.
 *
 * Addresses are in network byte order throughout: an IPv4 address is 4 bytes (or the value
 * inet_addr returns, whose bytes in memory are the address bytes in order), an IPv6 address 16.
 * The parsers are the library's own and accept exactly:
 *   IPv4  four decimal parts 0..255 separated by '.', no leading zeros ("0" alone is fine),
 *         nothing before, between or after them.
 *   IPv6  the text form of RFC 4291: up to eight groups of one to four hex digits, one "::",
 *         an optional dotted IPv4 tail; no zone id ("%eth0"). One ':' after the last group is
 *         accepted and adds nothing ("1::2:" reads as "1::2"); inet_pton refuses that text.
 * Parsing costs O(length of the text) and never writes the output for text it refuses.
 */
#ifndef KOVA_KOVA_SOCKET_H
#define KOVA_KOVA_SOCKET_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Thin wrapper: socket(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_create(int domain, int type, int protocol);
/** Thin wrapper: bind(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_bind(int fd, const struct sockaddr *addr, socklen_t len);
/** Thin wrapper: listen(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_listen(int fd, int backlog);
/** Thin wrapper: accept(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_accept(int fd, struct sockaddr *addr, socklen_t *len);
/** Thin wrapper: connect(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_connect(int fd, const struct sockaddr *addr, socklen_t len);
/** Thin wrapper: send(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API ssize_t kova_socket_send(int fd, const void *buf, size_t len, int flags);
/** Thin wrapper: sendto(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API ssize_t kova_socket_sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to,
                                    socklen_t tolen);
/** Thin wrapper: recv(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API ssize_t kova_socket_recv(int fd, void *buf, size_t len, int flags);
/** Thin wrapper: recvfrom(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API ssize_t kova_socket_recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *from,
                                      socklen_t *fromlen);
/** Thin wrapper: sendmsg(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API ssize_t kova_sendmsg(int fd, const struct msghdr *msg, int flags);
/** Thin wrapper: recvmsg(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API ssize_t kova_recvmsg(int fd, struct msghdr *msg, int flags);
/** Thin wrapper: close(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_close(int fd);
/** Thin wrapper: shutdown(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_shutdown(int fd, int how);
/** Thin wrapper: getsockname(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_getsockname(int fd, struct sockaddr *addr, socklen_t *len);
/** Thin wrapper: getpeername(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_getpeername(int fd, struct sockaddr *addr, socklen_t *len);
/** Thin wrapper: setsockopt(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_setsockopt(int fd, int level, int name, const void *value, socklen_t len);
/** Thin wrapper: getsockopt(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_getsockopt(int fd, int level, int name, void *value, socklen_t *len);
/** Thin wrapper: ioctl(2) with the same arguments; its result, errno as it leaves it. */
KOVA_API int kova_socket_ioctl(int fd, unsigned long request, void *arg);
/** inet_addr: the address in network byte order, 0xFFFFFFFF for invalid text (and for
 * "255.255.255.255"). */
KOVA_API in_addr_t kova_socket_inet_addr(const char *text);
/** htonl: a 32-bit value from host to network byte order. */
KOVA_API uint32_t kova_htonl(uint32_t v);
/** ntohl: a 32-bit value from network to host byte order. */
KOVA_API uint32_t kova_ntohl(uint32_t v);
/** htons: a 16-bit value from host to network byte order. */
KOVA_API uint16_t kova_htons(uint16_t v);
/** ntohs: a 16-bit value from network to host byte order. */
KOVA_API uint16_t kova_ntohs(uint16_t v);

/** TCP keep-alive: SO_KEEPALIVE = enable, and only when enable is not 0, TCP_KEEPIDLE (s),
 * TCP_KEEPINTVL (s) and TCP_KEEPCNT in that order. 0; -1 for the descriptor -1; otherwise the
 * result of the first setsockopt that fails (logged; the later options are not set). */
KOVA_API int kova_socket_setkeepalive(int fd, unsigned int enable, unsigned int idle_s, unsigned int interval_s,
                                      unsigned int count);
/** SO_RCVTIMEO or SO_SNDTIMEO (the option) to `timeout_ms` milliseconds. 0; -1 for another option
 * or the descriptor -1; the setsockopt result when it fails. */
KOVA_API int kova_socket_setsendrecvtmout(int fd, int option, int timeout_ms);

/** Text to address bytes. `out` must have room for 16 bytes (AF_INET writes 4). 1 when the text
 * is a valid address of the family; 0 when not, or for a family other than AF_INET and AF_INET6;
 * -1 for a null text or output. */
KOVA_API int kova_socket_inet_pton(int family, const char *text, void *out);
/** The IPv4 parser behind it: dotted-quad text to 4 bytes; 1 and the bytes written, or 0. */
KOVA_API int socket_inet_pton4(const char *text, unsigned char *out);
/** The IPv6 parser behind it: text (with "::" and a trailing dotted quad) to 16 bytes; 1 and the
 * bytes written, or 0. */
KOVA_API int socket_inet_pton6(const char *text, unsigned char *out);
/** Address bytes to text through inet_ntop. 0, or -1 (logged) for a null pointer, a buffer too
 * small or a family other than AF_INET and AF_INET6. */
KOVA_API int kova_inet_ntop(int family, const void *addr, char *buf, socklen_t len);
/** "a.b.c.d" of the address bytes in memory order into `buf` (16 bytes), or for a null `buf` into
 * one static buffer shared by every thread. Returns the text. */
KOVA_API char *kova_socket_inet_ntoa(uint32_t addr, char *buf);

/** Whether two IPv4 networks overlap: the addresses are compared on the bits of the smaller of the
 * two masks (as unsigned values in network byte order, which for contiguous masks is the
 * shorter). 1 overlap, 0 not, -22 for a null argument. Invalid text (and "255.255.255.255",
 * which inet_addr cannot tell from it) or equal addresses count as overlapping. */
KOVA_API int kova_socket_ifconflict(const char *addr1, const char *mask1, const char *addr2, const char *mask2);
/** The same for IPv6 with prefix lengths: the first min(len1, len2) bits decide. Unparsable text
 * counts as overlapping. 1 or 0. */
KOVA_API int kova_socket_ifconflictip6(const char *addr1, unsigned int len1, const char *addr2, unsigned int len2);

/** The network of `text` with a prefix of `prefix_len` bits, written as text into `out`. The
 * kova_inet_ntop result (0); -22 for a null text or output; -1 for text that does not parse, a
 * length beyond the family's 32 or 128 bits, or another family. */
KOVA_API int kova_inet_prefix_addr(int family, const char *text, unsigned int prefix_len, char *out, socklen_t len);
/** The same on 4 address bytes: the first prefix_len bits kept, the rest zero; 0, or -22
 * (logged) for a null pointer or a length beyond 32. */
KOVA_API int kova_inet_prefix_addr_v4(const unsigned char *addr, unsigned int prefix_len, unsigned char *out);
/** The same on 16 address bytes: the first prefix_len bits kept, the rest zero; 0, or -22
 * (logged) for a null pointer or a length beyond 128. */
KOVA_API int kova_inet_prefix_addr_v6(const unsigned char *addr, unsigned int prefix_len, unsigned char *out);

/** Prepares a port for bonding through the standard tools, run with kova_system_s and no
 * metacharacter allowed: "ifconfig PORT 0.0.0.0", "ifconfig PORT down", "ifconfig PORT up";
 * 0, or -1 when a command fails (the later ones are not run) or the name is null. */
KOVA_API int kova_socket_initbond(const char *port);
/** Enslaves ports to a bond: "ifenslave BOND PORT" for each port in order, run as
 * kova_socket_initbond runs its commands; stops at the first failure (ports before it stay
 * enslaved). 0; -22 for a null bond or array; -1 for a count of 0, a null port name or a
 * failing command. */
KOVA_API int kova_socket_setbond(const char *bond, char *const *ports, uint32_t count);
/** Releases ports from a bond: "ifenslave -d BOND PORT" for every port, failures or not. 0; -22
 * for a null bond or array; -1 for a count of 0 or when any port failed. */
KOVA_API int kova_socket_cancelbond(const char *bond, char *const *ports, uint32_t count);

KOVA_EXTERN_C_END

#endif
