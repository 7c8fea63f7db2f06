/**
 * @file
 * The product's kernel notification channel: a raw netlink socket of protocol 28.
 *
 * One thread blocks in TIRO_Netlink_ext3_listen and receives messages of up to 72 bytes (a
 * 16-byte netlink header and 56 bytes of payload); each message whose payload begins with the
 * 32-bit value TIRO_NETLINK_EVENT is handed to the callback, on that thread, one at a time.
 * Anything else (other values, messages too short to hold the value) is ignored. Longer messages
 * are cut to 72 bytes. Another thread ends the listener by TIRO_Netlink_ext3_release on its
 * descriptor: the listener then returns 0. A plain close(2) does not wake a thread blocked on
 * the socket in Linux, so the release is the way to stop it.
 */
#ifndef KOVA_KOVA_FS_H
#define KOVA_KOVA_FS_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define TIRO_NETLINK_PROTOCOL 28 /**< netlink protocol number the listener binds */
#define TIRO_NETLINK_EVENT 0x0AE32014u /**< message type of the events handed to the callback */
#define TIRO_NETLINK_BUFFER_SIZE 72 /**< bytes of an event's payload */

/** @{ */
/** Results of TIRO_Netlink_ext3_listen. */
#define TIRO_NETLINK_CLOSED 0         /**< the descriptor was released: normal end */
#define TIRO_NETLINK_BAD_FD (-2)      /**< descriptor below 0 */
#define TIRO_NETLINK_NO_CALLBACK (-3) /**< null callback */
#define TIRO_NETLINK_BIND_FAILED (-4)  /**< the netlink address could not be bound */
#define TIRO_NETLINK_NO_MEMORY (-5)   /**< receive buffer (or the wake-up channel) unavailable */
#define TIRO_NETLINK_RECV_FAILED (-6) /**< receive error, or the receive returned 0 */
#define TIRO_NETLINK_BAD_PORT (-7)    /**< port id below 1 */
/** @} */

/** Called on the listener thread with each event's payload. */
typedef void (*tiro_netlink_callback_fn)(void *payload);

/** The socket (close-on-exec), or -1 (logged) when the kernel refuses it, as it does where no
 * component serves protocol 28. */
KOVA_API int TIRO_Netlink_ext3_create(void);
/** Binds `fd` to port id `port_id` with multicast group 1 and delivers events until the
 * descriptor is released. Checks in the order descriptor, port id, callback. Interrupted
 * receives are resumed. */
KOVA_API int TIRO_Netlink_ext3_listen(int fd, int port_id, tiro_netlink_callback_fn callback);
/** Ends any listener on `fd` and closes it (nothing for a negative descriptor). */
KOVA_API void TIRO_Netlink_ext3_release(int fd);

KOVA_EXTERN_C_END

#endif
