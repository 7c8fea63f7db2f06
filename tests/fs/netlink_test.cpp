// The netlink listener, fed by a sender inside the test over NETLINK_USERSOCK (the product's
// protocol 28 has no kernel component here): unicast to the listener's port, nothing else sees it.
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_fs.h"
#include "support/log_capture.h"

namespace {

std::mutex lock;
std::condition_variable delivered;
std::vector<std::string> payloads;

void on_event(void *payload)
{
    std::lock_guard guard(lock);
    payloads.emplace_back(static_cast<char *>(payload), TIRO_NETLINK_BUFFER_SIZE - 16);
    delivered.notify_all();
}

std::string event(char tag)
{
    std::uint32_t value = TIRO_NETLINK_EVENT;
    return std::string(reinterpret_cast<char *>(&value), 4) + std::string(52, tag);
}

TEST(Netlink, ChecksArgumentsInOrderAndReportsABindFailure)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(TIRO_Netlink_ext3_listen(-1, 0, nullptr), TIRO_NETLINK_BAD_FD);
    EXPECT_EQ(TIRO_Netlink_ext3_listen(pipe_fds[0], 0, nullptr), TIRO_NETLINK_BAD_PORT);
    EXPECT_EQ(TIRO_Netlink_ext3_listen(pipe_fds[0], 1, nullptr), TIRO_NETLINK_NO_CALLBACK);
    EXPECT_EQ(TIRO_Netlink_ext3_listen(pipe_fds[0], 1, on_event), TIRO_NETLINK_BIND_FAILED);
    TIRO_Netlink_ext3_release(pipe_fds[0]);
    TIRO_Netlink_ext3_release(-1);
    EXPECT_EQ(fcntl(pipe_fds[0], F_GETFD) + close(pipe_fds[1]), -1) << "released, the other end still open";
    kova::test::LogCapture log;
    int fd = TIRO_Netlink_ext3_create();  // refused where nothing serves protocol 28
    std::string refused = "TIRO_Netlink_ext3_create failed, sockfd:-1, errno:" + std::to_string(errno) + ",";
    EXPECT_TRUE(fd >= 0 || log.contains(refused + strerror(errno) + "."));
    TIRO_Netlink_ext3_release(fd);
}

TEST(Netlink, DeliversWholeEventsSurvivesMalformedMessagesAndEndsWhenReleased)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
    int sender = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
    if (fd < 0 || sender < 0) GTEST_SKIP() << "this machine refuses NETLINK_USERSOCK sockets: " << strerror(errno);
    int port = 0x40000000 | getpid();  // above the ids the kernel hands out
    payloads.clear();
    auto listener = std::async(std::launch::async, TIRO_Netlink_ext3_listen, fd, port, on_event);
    sockaddr_nl to{AF_NETLINK, 0, static_cast<std::uint32_t>(port), 0};
    for (std::string body : {event('a'), "\x01\x02\x03\x04" + std::string(52, 'b'), std::string(), event('c').substr(0, 3),
                             event('d') + std::string(500, 'e'), event('f')}) {
        // A 16-byte header, or a message shorter than one where the body is empty.
        std::string message = std::string(body.empty() ? 10 : 16, '\0') + body;
        while (sendto(sender, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0 &&
               errno == ECONNREFUSED) {  // until the listener has bound its port
        }
    }
    {
        // Messages arrive in order: once the last event is in, every earlier message was judged.
        std::unique_lock guard(lock);
        delivered.wait(guard, [] { return payloads.size() >= 3; });
        EXPECT_EQ(payloads, (std::vector<std::string>{event('a'), event('d').substr(0, 56), event('f')}));
    }
    TIRO_Netlink_ext3_release(fd);
    EXPECT_EQ(listener.get(), TIRO_NETLINK_CLOSED);
    EXPECT_EQ(fcntl(fd, F_GETFD) + close(sender), -1) << "the listened descriptor is closed";
}

}  // namespace
