// Port bonding through ifconfig and ifenslave. The commands run through the metacharacter filter
// with nothing allowed, so a port or bond name cannot smuggle in a second command.
#include "init/kova_log.h"
#include "kova/kova_socket.h"
#include "kova/kova_str.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("socket/kova_socket_add")

using kova::log::kError;
using kova::log::kInfo;

namespace {

constexpr std::size_t kCommandSize = 128;

struct Command {
    char text[kCommandSize] = {};
};

// Builds the command; one that does not fit is logged and run cut short, as the tools expect.
template <typename... Args>
Command format(const char *caller, const char *format, Args... args)
{
    Command c;
    if (kova::sec::snprintf_s(c.text, kCommandSize, kCommandSize - 1, format, args...) < 0)
        KOVA_LOG_AS(caller, kError, "snprintf_s secure function failed, destMax<%lu>, count<%lu>.",
                    static_cast<unsigned long>(kCommandSize), static_cast<unsigned long>(kCommandSize - 1));
    return c;
}

int run(const Command &c) { return kova_system_s(c.text, ""); }

bool bond_arguments_bad(const char *bond, char *const *ports) { return bond == nullptr || ports == nullptr; }

}  // namespace

extern "C" {

int kova_socket_initbond(const char *port)
{
    if (port == nullptr) return -1;
    Command clear = format(__func__, "ifconfig %s %s", port, "0.0.0.0");
    int ret = run(clear);
    if (ret != 0) {
        KOVA_LOG(kError, "Execute bash failed(%d), cmd(%s).", ret, clear.text);
        return -1;
    }
    KOVA_LOG(kInfo, "Set bond port(%s) default ip when init bond port.", port);
    for (const char *step : {"ifconfig %s down", "ifconfig %s up"}) {
        Command c = format(__func__, step, port);
        ret = run(c);
        if (ret != 0) {
            KOVA_LOG(kError, "Execute reset port failed(%d) when init bond port, cmd(%s).", ret, c.text);
            return -1;
        }
    }
    KOVA_LOG(kInfo, "Reset bond port finish.");
    return 0;
}

int kova_socket_setbond(const char *bond, char *const *ports, uint32_t count)
{
    if (bond_arguments_bad(bond, ports)) return -22;
    if (count == 0) {
        KOVA_LOG(kError, "Input para error, uiPortNum=(%u).", count);
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (ports[i] == nullptr) {
            KOVA_LOG(kError, "Input para error, port %u is NULL.", i);
            return -1;
        }
        Command c = format(__func__, "ifenslave %s %s", bond, ports[i]);
        int ret = run(c);
        if (ret != 0) {
            KOVA_LOG(kInfo, "Execute set bonding command(%s) failed,the return value is %d.", c.text, ret);
            return -1;
        }
    }
    return 0;
}

int kova_socket_cancelbond(const char *bond, char *const *ports, uint32_t count)
{
    if (bond_arguments_bad(bond, ports)) return -22;
    if (count == 0) {
        KOVA_LOG(kError, "Input the ethernet port number is zero (invalid).");
        return -1;
    }
    int result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (ports[i] == nullptr) {
            KOVA_LOG(kError, "Input para error, port %u is NULL.", i);
            result = -1;
            continue;
        }
        Command c = format(__func__, "ifenslave -d %s %s", bond, ports[i]);
        int ret = run(c);
        if (ret != 0) {
            KOVA_LOG(kError, "Execute cancel bonding command(%s) failed,the return value is %d.", c.text, ret);
            result = -1;
        }
    }
    return result;
}

}  // extern "C"
