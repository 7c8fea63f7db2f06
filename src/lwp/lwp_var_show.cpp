#include <atomic>
#include <cstdlib>

#include "kova/kova_lwp.h"
#include "lwp/lwp_internal.h"

using namespace kova::lwp;

namespace {

constexpr std::uint32_t kVarsPerLine = 4;
constexpr std::uint32_t kValuesPerLine = 10;

struct VarInfoWalk {
    kova_print_fn print;
    const LwpVarInfo *var;
};

const char *shown(const char *name) { return name != nullptr ? name : ""; }

std::uint64_t slot_value(LwpInstInfo *inst, std::uint32_t index)
{
    std::uint64_t *slots = std::atomic_ref(inst->vars.slots).load(std::memory_order_acquire);
    return slots != nullptr ? std::atomic_ref(slots[index]).load(std::memory_order_relaxed) : 0;
}

int32_t print_instance(uint64_t inst_id, void *arg)
{
    auto print = reinterpret_cast<kova_print_fn>(arg);
    LwpInstInfo *inst = LwpInstInfoFind(inst_id);
    if (inst == nullptr) {
        print("pInst is null, instId=%lu", inst_id);
        return 0;
    }
    char name[LWP_INST_NAME_LEN];
    read_name(inst, name);
    print("\n%-27s %-16s\n", "lwpInst name", "lwpInst Id");
    print("%-27s %016lx\n", name, inst_id);
    print("\n");
    print("lwp var addr(0x)");
    std::uint32_t constructed = std::atomic_ref(inst->vars.constructed).load();
    for (std::uint32_t v = 0; v < constructed; ++v) {
        if (v % kValuesPerLine == 0) print("\n");
        print("%016lx  ", slot_value(inst, v));
    }
    print("\n");
    return 0;
}

int32_t print_var_value(uint64_t inst_id, void *arg)
{
    auto *walk = static_cast<VarInfoWalk *>(arg);
    LwpInstInfo *inst = LwpInstInfoFind(inst_id);
    if (inst == nullptr) {
        walk->print("Inst is null, instId=%lu", inst_id);
        return 0;
    }
    char name[LWP_INST_NAME_LEN];
    read_name(inst, name);
    std::uint32_t index = static_cast<std::uint32_t>(walk->var->varId >> 32);
    walk->print("%-27s %016lx %-12u %016lx\n", name, inst_id, domain_of_id(inst_id), slot_value(inst, index));
    return 0;
}

bool domain_ok(kova_print_fn print, std::uint32_t domain)
{
    if (domain < kDomains) return true;
    print("\ndomain Type(%d) invalid\n", static_cast<int>(domain));
    return false;
}

void instance_blocks(kova_print_fn print, std::uint32_t domain)
{
    LwpInstForEachNormal(print_instance, domain, reinterpret_cast<void *>(print), 0);
}

// Decimal, or hexadecimal after 0x, as the library's string conversion reads numbers.
std::uint64_t number_from_text(const char *text)
{
    if (text == nullptr) return 0;
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return std::strtoull(text, nullptr, hex ? 16 : 10);
}

}  // namespace

extern "C" void LwpVarShow(kova_print_fn print, uint32_t domainType)
{
    if (print == nullptr || !domain_ok(print, domainType)) return;
    print("-----------Lwp domain Type(%d)-----------\n", static_cast<int>(domainType));
    print("\n-----------Lwp var(s)-----------\n");
    for (std::uint32_t i = 0; i < kVarsPerLine; ++i) print("%-35s %16s|", "lwpVar name", "lwpVar Id");
    std::uint32_t count = var_count(domainType);
    const LwpVarInfo *infos = var_infos(domainType);
    for (std::uint32_t v = 0; v < count; ++v) {
        if (v % kVarsPerLine == 0) print("\n");
        print("%-35s %16lu|", shown(infos[v].name), infos[v].varId);
    }
    print("\n\n-----------Lwp instance(s)-----------\n");
    instance_blocks(print, domainType);
    print("\n");
}

extern "C" void LwpInstShow(kova_print_fn print, uint32_t domainType)
{
    if (print == nullptr || !domain_ok(print, domainType)) return;
    print("-----------Lwp domain Type(%d)-----------\n", static_cast<int>(domainType));
    instance_blocks(print, domainType);
    print("\n");
}

extern "C" void LwpVarShowAll(kova_print_fn print)
{
    if (print == nullptr) return;
    for (std::uint32_t d = 0; d < kDomains; ++d) LwpVarShow(print, d);
    print("\n");
}

extern "C" void LwpInstShowAll(kova_print_fn print)
{
    if (print == nullptr) return;
    for (std::uint32_t d = 0; d < kDomains; ++d) LwpInstShow(print, d);
    print("\n");
}

extern "C" void LwpVarShowVarInfo(kova_print_fn print, const char *name, const char *domainType)
{
    if (print == nullptr) return;
    std::uint64_t domain = number_from_text(domainType);
    if (domain >= kDomains) {
        print("Invalid domianType(%u).\n", static_cast<unsigned>(domain));
        return;
    }
    auto d = static_cast<std::uint32_t>(domain);
    VarInfoWalk walk{print, LwpVarInfoFindByName(d, name)};
    if (walk.var == nullptr) {
        print("Invalid varName(%s), domianType(%u).\n", shown(name), d);
        return;
    }
    print("%-27s %-16s %-12s %-16s\n", "lwp Inst Name", "lwp Inst Id", "domainType", "var Addr");
    LwpInstForEachNormal(print_var_value, d, &walk, 0);
}
