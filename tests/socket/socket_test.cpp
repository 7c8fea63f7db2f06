// The socket wrappers and settings on loopback (refusals, expiring time-outs, resets, no leaks) and
// port bonding through the command seam (exact command texts, order, stops and messages).
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_socket.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"

namespace {

int lowest_free_fd() { int fd = dup(0); close(fd); return fd; }

int opt(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    return kova_socket_getsockopt(fd, level, name, &v, &len) == 0 ? v : -1;
}

TEST(Socket, RefusedTimedOutAndResetConnectionsReportTheirErrorsAndLeakNothing)
{
    int first_free = lowest_free_fd(), server = kova_socket_create(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {kova_socket_inet_addr("127.0.0.1")}, {}};
    socklen_t len = sizeof addr;
    auto *sa = reinterpret_cast<sockaddr *>(&addr);
    ASSERT_EQ(kova_socket_bind(server, sa, len) + kova_socket_getsockname(server, sa, &len), 0);
    int client = kova_socket_create(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(kova_socket_connect(client, sa, len), -1) << "bound but not listening";
    EXPECT_EQ(errno, ECONNREFUSED);
    kova_socket_close(client);
    ASSERT_EQ(kova_socket_listen(server, 1), 0);
    client = kova_socket_create(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(kova_socket_connect(client, sa, len), 0);
    int peer = kova_socket_accept(server, nullptr, nullptr);
    ASSERT_EQ(kova_socket_setsendrecvtmout(client, SO_RCVTIMEO, 20), 0);
    char byte;
    EXPECT_EQ(kova_socket_recv(client, &byte, 1, 0), -1) << "nothing was sent: the time-out expires";
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(kova_socket_send(peer, "x", 1, 0) + kova_socket_recv(client, &byte, 1, 0), 2);
    linger abort_on_close{1, 0};
    kova_socket_setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    kova_socket_close(peer);
    EXPECT_EQ(kova_socket_recv(client, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(kova_socket_close(client) + kova_socket_close(server), 0);
    EXPECT_EQ(lowest_free_fd(), first_free);
}

TEST(Socket, KeepAliveAndTimeOutSettings)
{
    kova::test::LogCapture log;
    int fd = kova_socket_create(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(kova_socket_setkeepalive(fd, 1, 30, 5, 4), 0);
    auto keepalive = [&] {
        return std::vector{opt(fd, SOL_SOCKET, SO_KEEPALIVE), opt(fd, IPPROTO_TCP, TCP_KEEPIDLE),
                           opt(fd, IPPROTO_TCP, TCP_KEEPINTVL), opt(fd, IPPROTO_TCP, TCP_KEEPCNT)};
    };
    EXPECT_EQ(keepalive(), (std::vector{1, 30, 5, 4}));
    EXPECT_EQ(kova_socket_setkeepalive(fd, 0, 7, 7, 7), 0);
    EXPECT_EQ(keepalive(), (std::vector{0, 30, 5, 4})) << "only SO_KEEPALIVE changes";
    EXPECT_EQ(kova_socket_setkeepalive(fd, 1, 0, 7, 7), -1) << "the kernel refuses an idle time of 0";
    EXPECT_EQ(keepalive(), (std::vector{1, 30, 5, 4})) << "nothing after the failing option is set";
    EXPECT_EQ(kova_socket_setsendrecvtmout(fd, SO_SNDTIMEO, 1500), 0);
    timeval tv{};
    socklen_t len = sizeof tv;
    kova_socket_getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec * 1000000 + tv.tv_usec, 1500000);
    EXPECT_EQ(kova_socket_setsendrecvtmout(fd, 7, 10) + kova_socket_setsendrecvtmout(-1, SO_RCVTIMEO, 10) +
                  kova_socket_setsendrecvtmout(fd, SO_RCVTIMEO, -1000), -3);
    kova_socket_close(fd);
    EXPECT_EQ(kova_socket_setkeepalive(-1, 1, 1, 1, 1) + kova_socket_setkeepalive(fd, 1, 1, 1, 1) +
                  kova_socket_setsendrecvtmout(fd, SO_RCVTIMEO, 10), -3);
    for (const char *text : {"Set socket TCP_KEEPIDLE fail, ret = (-1).", "Input socket error.", "Setsockopt error.",
                             "Set socket SO_KEEPALIVE fail, ret = (-1)."})
        EXPECT_EQ(log.count(text), 1u) << text;
    EXPECT_EQ(log.count("Input param error."), 3u);
}

using Commands = std::vector<std::string>;
char eth0[] = "eth0", eth1[] = "eth1", eth2[] = "eth2";
char *ports[] = {eth0, eth1, eth2};

TEST(Bond, InitStopsAtTheFirstFailureEnslavingTooReleasingTriesEveryPort)
{
    kova::test::LogCapture log;
    kova::test::CommandIntercept cmd;
    cmd.answer("ifconfig eth1 down", 1);
    cmd.answer("ifconfig eth2 0", 2);
    EXPECT_EQ(kova_socket_initbond("eth0") + kova_socket_initbond("eth1") * 10 + kova_socket_initbond("eth2") * 100, -110);
    EXPECT_EQ(cmd.commands(), (Commands{"ifconfig eth0 0.0.0.0", "ifconfig eth0 down", "ifconfig eth0 up",
                                        "ifconfig eth1 0.0.0.0", "ifconfig eth1 down", "ifconfig eth2 0.0.0.0"}));
    EXPECT_EQ(kova_socket_initbond(nullptr) + kova_socket_initbond("eth0;reboot"), -2) << "the filter refuses a command";
    EXPECT_EQ(cmd.commands().size(), 6u);
    for (const char *text : {"Reset bond port finish.", "Execute bash failed(512), cmd(ifconfig eth2 0.0.0.0).",
                             "Execute reset port failed(256) when init bond port, cmd(ifconfig eth1 down)."})
        EXPECT_EQ(log.count(text), 1u) << text;
    log.clear();
    cmd.answer("ifenslave bond0 eth1", 1);
    cmd.answer("ifenslave -d bond0 eth1", 1);
    EXPECT_EQ(kova_socket_setbond("bond0", ports, 3) + kova_socket_cancelbond("bond0", ports, 3), -2);
    Commands all = cmd.commands();
    EXPECT_EQ(Commands(all.begin() + 6, all.end()),
              (Commands{"ifenslave bond0 eth0", "ifenslave bond0 eth1", "ifenslave -d bond0 eth0", "ifenslave -d bond0 eth1",
                        "ifenslave -d bond0 eth2"}));
    EXPECT_EQ(log.with_text("Execute set bonding command(ifenslave bond0 eth1) failed,the return value is 256.").at(0).level, 6);
    EXPECT_EQ(log.with_text("Execute cancel bonding command(ifenslave -d bond0 eth1) failed,the return value is 256.")
                  .at(0).level, 3);
    EXPECT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(kova_socket_setbond(nullptr, ports, 3) + kova_socket_cancelbond("bond0", nullptr, 3), -44);
    EXPECT_EQ(log.messages().size(), 2u) << "null arguments are refused silently";
    EXPECT_EQ(kova_socket_setbond("bond0", ports, 0) + kova_socket_cancelbond("bond0", ports, 0), -2);
    EXPECT_EQ(log.count("Input para error, uiPortNum=(0).") + log.count("Input the ethernet port number is zero (invalid)."), 2u);
    std::string long_bond(200, 'b');
    EXPECT_EQ(kova_socket_setbond(long_bond.c_str(), ports, 1), 0);
    EXPECT_EQ(cmd.commands().back(), "ifenslave " + long_bond.substr(0, 117)) << "cut to 127 characters and run";
    EXPECT_EQ(log.count("snprintf_s secure function failed, destMax<128>, count<127>."), 1u);
}

}  // namespace
