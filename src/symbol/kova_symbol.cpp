#include "kova/kova_symbol.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "bitops/loaded_objects.h"
#include "init/kova_log.h"
#include "kova/kova_lock.h"
#include "kova/kova_mem.h"
#include "kova/kova_sched.h"
#include "kova/kova_schedwork.h"
#include "kova/kova_time.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "schedwork/dropped.h"
#include "symbol/symbol_internal.h"

KOVA_LOG_SOURCE("symbol/kova_symbol")

using kova::symbol::SymbolNode;

namespace {

constexpr std::uint64_t kAllOnes = ~0ull;
constexpr std::size_t kPhdrRecords = 1024;
constexpr int kAttemptsPerRound = 10;
constexpr std::int64_t kWriter = INT64_MIN;

struct PhdrRecord {
    bool first;
    std::uint64_t base;
    std::uint64_t vaddr_start;
    std::uint64_t vaddr_end;
    char name[KOVA_SYMBOL_FILE_MAX];
};

struct SymbolSystem {
    SymbolNode *head = nullptr;  // insertion order
    SymbolNode *tail = nullptr;
    kova_avl_tree_s tree{};
    int64_t lock = 0;
    std::atomic<bool> initialised{false};
    std::mutex init_lock;
    std::atomic<kova_symbol_find_fn> registered{nullptr};
    std::atomic<std::uint32_t> requests{0};
    std::atomic<std::uint64_t> passes{0};
    char exe_path[KOVA_SYMBOL_FILE_MAX] = {};
    // Only the pass that holds the single flight touches the records.
    PhdrRecord records[kPhdrRecords];
    std::size_t pending = 0;
};

SymbolSystem kova_symbol_sys;

int insert_compare(const void *value, const void *record)
{
    auto start = static_cast<const SymbolNode *>(value)->vaddr_start;
    auto other = static_cast<const SymbolNode *>(record)->vaddr_start;
    return start < other ? -1 : start > other ? 1 : 0;
}

int find_compare(const void *value, const void *record)
{
    auto address = *static_cast<const std::uint64_t *>(value);
    const auto *node = static_cast<const SymbolNode *>(record);
    return address < node->vaddr_start ? -1 : address >= node->vaddr_end ? 1 : 0;
}

SymbolNode *node_holding(std::uint64_t address)
{
    return static_cast<SymbolNode *>(kova_find_avl_node(&kova_symbol_sys.tree, &address, nullptr));
}

// List and tree changes happen under the write lock.
void link_node(SymbolNode *node)
{
    SymbolSystem &sys = kova_symbol_sys;
    node->prev = sys.tail;
    node->next = nullptr;
    (sys.tail != nullptr ? sys.tail->next : sys.head) = node;
    sys.tail = node;
    kova_add_avl_node(&sys.tree, node);
}

void unlink_node(SymbolNode *node)
{
    SymbolSystem &sys = kova_symbol_sys;
    (node->prev != nullptr ? node->prev->next : sys.head) = node->next;
    (node->next != nullptr ? node->next->prev : sys.tail) = node->prev;
    kova_remove_avl_node(&sys.tree, node);
}

void read_unlock() { kova_rwlock_read_unlock(&kova_symbol_sys.lock); }
void write_unlock() { kova_rwlock_write_unlock(&kova_symbol_sys.lock); }

class ReadHold {
public:
    ReadHold() : held_(symbol_rwlock_tryrdlock(&kova_symbol_sys.lock) == 0) {}
    ~ReadHold()
    {
        if (held_) read_unlock();
    }
    ReadHold(const ReadHold &) = delete;
    ReadHold &operator=(const ReadHold &) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

int collect_object(dl_phdr_info *info, std::size_t, void *data)
{
    SymbolSystem &sys = kova_symbol_sys;
    auto *iteration = static_cast<std::size_t *>(data);
    // The loader writes an object's name before publishing the object, under a lock of its own
    // that the race detector cannot see, and the detector's amnesty for the name stops short of
    // its terminator; the name is therefore read once, here, outside the detector's view.
    char name[sizeof PhdrRecord::name];
    bool name_fits = false;
    std::size_t name_length = kova::sec::copy_unobserved(name, sizeof name, info->dlpi_name, &name_fits);
    if (sys.pending == kPhdrRecords) {
        KOVA_LOG_AS("symbol_phdr_callback", kova::log::kError, "Not enough free phdr:%s", name);
        return 1;
    }
    PhdrRecord &record = sys.records[sys.pending];
    record.first = (*iteration)++ == 0;
    record.base = info->dlpi_addr;
    record.vaddr_start = kAllOnes;
    record.vaddr_end = 0;
    for (unsigned i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        std::uint64_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0 && start < record.vaddr_start)
            record.vaddr_start = start;
        if (start + segment.p_memsz > record.vaddr_end) record.vaddr_end = start + segment.p_memsz;
    }
    if (record.vaddr_start == kAllOnes || record.vaddr_start >= record.vaddr_end) {
        KOVA_LOG_RATELIMITED(kova::log::kError, kova::log::kError, "Parse phdr fail:%s", name);
        return 0;
    }
    if (!name_fits) {
        KOVA_LOG_AS("symbol_phdr_callback", kova::log::kError, "Phdr name is too long:%s", name);
        return 0;
    }
    std::memcpy(record.name, name, name_length + 1);
    ++sys.pending;
    return 0;
}

const char *path_of(const PhdrRecord &record)
{
    if (!record.first) return record.name;
    SymbolSystem &sys = kova_symbol_sys;
    if (sys.exe_path[0] == '\0') {
        ssize_t n = readlink("/proc/self/exe", sys.exe_path, sizeof sys.exe_path - 1);
        if (n <= 0) {
            int error = errno;
            KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Get proc file path failed, errno %d, %s.", error,
                        std::strerror(error));
            return "";
        }
        sys.exe_path[n] = '\0';
    }
    return sys.exe_path;
}

// Takes the nodes `doomed` picks out of the list and the tree, chained through `next`; the caller
// holds the write lock and frees the chain once it has released it.
template <typename Doomed>
SymbolNode *unlink_all(Doomed doomed)
{
    SymbolNode *chain = nullptr;
    for (SymbolNode *node = kova_symbol_sys.head, *next; node != nullptr; node = next) {
        next = node->next;
        if (!doomed(*node)) continue;
        unlink_node(node);
        node->next = chain;
        chain = node;
    }
    return chain;
}

void free_chain(SymbolNode *chain)
{
    while (chain != nullptr) {
        SymbolNode *next = chain->next;
        kova::symbol::free_node(chain);
        chain = next;
    }
}

void add_or_mark(const PhdrRecord &record)
{
    SymbolSystem &sys = kova_symbol_sys;
    const char *path = path_of(record);
    symbol_rwlock_rdlock_mayblock(&sys.lock);
    SymbolNode *known = node_holding(record.vaddr_start);
    // The path counts too: another object may have been loaded exactly where an unloaded one was.
    bool same = known != nullptr && known->vaddr_start == record.vaddr_start && known->base == record.base &&
                known->vaddr_end == record.vaddr_end && std::strcmp(known->path, path) == 0;
    if (same) std::atomic_ref(known->flags).fetch_or(kova::symbol::kPresent, std::memory_order_relaxed);
    read_unlock();
    if (same || path[0] == '\0' || std::strstr(path, "linux-vdso.so") != nullptr) return;
    SymbolNode *node = kova::symbol::build_node(path, record.base, record.vaddr_start, record.vaddr_end);
    if (node == nullptr) return;
    node->flags = kova::symbol::kPresent;
    symbol_rwlock_wrlock_mayblock(&sys.lock);
    // Nodes of unloaded objects whose range the new one covers go now, not at the end of the
    // pass: overlapping ranges would leave the tree's order ambiguous and answer from the old file.
    SymbolNode *stale = unlink_all([node](const SymbolNode &old) {
        return old.vaddr_start < node->vaddr_end && node->vaddr_start < old.vaddr_end;
    });
    link_node(node);
    write_unlock();
    free_chain(stale);
}

void drop_absent()
{
    symbol_rwlock_wrlock_mayblock(&kova_symbol_sys.lock);
    SymbolNode *absent = unlink_all([](const SymbolNode &node) { return (node.flags & kova::symbol::kPresent) == 0; });
    write_unlock();
    free_chain(absent);
}

void run_pass()
{
    SymbolSystem &sys = kova_symbol_sys;
    symbol_rwlock_rdlock_mayblock(&sys.lock);
    for (SymbolNode *node = sys.head; node != nullptr; node = node->next)
        std::atomic_ref(node->flags).fetch_and(~kova::symbol::kPresent, std::memory_order_relaxed);
    read_unlock();
    sys.pending = 0;
    std::size_t iteration = 0;
    if (dl_iterate_phdr(collect_object, &iteration) < 0) KOVA_LOG_AS("symbol_update", kova::log::kError, "Init symlist failed.");
    for (std::size_t i = 0; i < sys.pending; ++i) add_or_mark(sys.records[i]);
    sys.pending = 0;
    drop_absent();
    sys.passes.fetch_add(1, std::memory_order_relaxed);
}

// One pass at a time; requests made during a pass are folded into one more.
void update(bool wait)
{
    std::atomic<std::uint32_t> &requests = kova_symbol_sys.requests;
    if (requests.fetch_add(1) != 0) {
        while (wait && requests.load() != 0) kova_msleep(1);
        return;
    }
    do {
        requests.store(1);
        run_pass();
    } while (requests.fetch_sub(1) != 1);
}

void run_update_work(kova_sched_work_s *work)
{
    update(false);
    kova_freesub(work, "symbol_update_work", __LINE__);
}

// An update work that a scheduler destruction dropped never runs to free itself.
void free_dropped_update_work(kova_sched_work_s *work)
{
    if (work->func == run_update_work) kova_freesub(work, "symbol_update_work", __LINE__);
}

void refresh_after_dlopen() { kova_symbol_update(); }

void initialise()
{
    jiffies_Init();
    SymbolSystem &sys = kova_symbol_sys;
    if (sys.initialised.load(std::memory_order_acquire)) return;
    std::lock_guard guard(sys.init_lock);
    if (sys.initialised.load(std::memory_order_relaxed)) return;
    kova::schedwork::set_dropped_work_hook(free_dropped_update_work);
    sched_work_init();
    symbol_rwlock_wrlock_mayblock(&sys.lock);
    sys.head = sys.tail = nullptr;
    kova_create_avl_new(&sys.tree, insert_compare, find_compare, sizeof(SymbolNode), offsetof(SymbolNode, tree));
    write_unlock();
    kova::bitops::set_objects_changed_hook(refresh_after_dlopen);
    sys.initialised.store(true, std::memory_order_release);
}

// Rounds of ten attempts; between rounds a 1 ms sleep lets a descheduled holder finish.
template <typename Attempt>
void acquire_mayblock(Attempt attempt)
{
    for (bool first = true;; first = false) {
        if (!first) kova_msleep(1);
        for (int i = 0; i < kAttemptsPerRound; ++i)
            if (attempt()) return;
    }
}

bool bad_address(std::uint64_t address) { return address == 0 || address == kAllOnes; }

// The lookup proper; the caller holds the read lock.
int32_t find_locked(std::uint64_t address, kova_symbol_info_s *info, kova_symbol_range_s *range)
{
    const SymbolNode *node = node_holding(address);
    if (node == nullptr) return -1;
    const Elf64_Sym *symbol = kova::symbol::nearest_symbol(*node, address - node->base);
    if (symbol == nullptr) return -1;
    const char *name = node->strtab + symbol->st_name;
    if (kova::sec::strncpy_s(info->file, sizeof info->file, node->path, sizeof info->file - 1) != 0 ||
        kova::sec::strncpy_s(info->name, sizeof info->name, name, sizeof info->name - 1) != 0)
        KOVA_LOG_AS("symbol_find_by_own", kova::log::kError, "strncpy_s(%s, %s) failed.", node->path, name);
    info->start = node->base + symbol->st_value;
    info->value = symbol->st_value;
    info->type = ELF64_ST_TYPE(symbol->st_info);
    info->size = static_cast<std::uint32_t>(symbol->st_size);
    if (range != nullptr) *range = {node->base, node->vaddr_start, node->vaddr_end};
    return 0;
}

const char *const kTypeNames[] = {"NOTYPE", "OBJECT", "FUNC", "SECTION"};
const char *const kBindNames[] = {"LOCAL", "GLOBAL", "WEAK"};

}  // namespace

std::int64_t *kova::symbol::index_lock() { return &kova_symbol_sys.lock; }
std::uint32_t kova::symbol::pending_requests() { return kova_symbol_sys.requests.load(); }
std::uint64_t kova::symbol::passes_run() { return kova_symbol_sys.passes.load(); }

kova::symbol::IndexSize kova::symbol::index_size()
{
    IndexSize size{};
    if (!kova_symbol_sys.initialised.load(std::memory_order_acquire)) return size;
    symbol_rwlock_rdlock_mayblock(&kova_symbol_sys.lock);
    for (const SymbolNode *node = kova_symbol_sys.head; node != nullptr; node = node->next)
        size = {size.objects + 1, size.heap_bytes + sizeof *node + node->count * sizeof *node->symbols,
                size.mapped_bytes + node->map_length};
    read_unlock();
    return size;
}

extern "C" int32_t symbol_rwlock_tryrdlock(int64_t *lock) { return kova_rwlock_try_read_lock(lock) == 1 ? 0 : -1; }

extern "C" void symbol_rwlock_rdlock_mayblock(int64_t *lock)
{
    acquire_mayblock([lock] { return kova_rwlock_try_read_lock(lock) == 1; });
}

extern "C" void symbol_rwlock_wrlock_mayblock(int64_t *lock)
{
    acquire_mayblock([lock] {
        std::int64_t expected = 0;
        return std::atomic_ref(*lock).compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                                              std::memory_order_relaxed);
    });
}

extern "C" int32_t kova_symbol_init_async(void)
{
    initialise();
    void *memory = kova_mallocsubstandard(KOVA_MODULE_ID, sizeof(kova_sched_work_s), 0, __func__, __LINE__);
    if (memory == nullptr) {
        KOVA_LOG(kova::log::kError, "Malloc sched work fail");
        return KOVA_SYMBOL_ENOMEM;
    }
    auto *work = static_cast<kova_sched_work_s *>(memory);
    kova_sched_init_work(work, run_update_work, nullptr);
    if (kova_sched_add_work(work) != 0) kova_freesub(work, __func__, __LINE__);
    return 0;
}

extern "C" int32_t kova_symbol_init(void) { return kova_symbol_init_async(); }
extern "C" int32_t kova_symbol_update(void) { return kova_symbol_init_async(); }

extern "C" int32_t kova_symbol_init_sync(void)
{
    initialise();
    update(true);
    return 0;
}

extern "C" int32_t kova_symbol_update_sync(void) { return kova_symbol_init_sync(); }

extern "C" int32_t kova_symbol_fini(void)
{
    SymbolSystem &sys = kova_symbol_sys;
    if (sys.initialised.load(std::memory_order_acquire)) {
        symbol_rwlock_wrlock_mayblock(&sys.lock);
        SymbolNode *all = unlink_all([](const SymbolNode &) { return true; });
        write_unlock();
        free_chain(all);
    }
    KOVA_LOG(kova::log::kInfo, "Kova_symbol fini success!");
    return 0;
}

extern "C" int32_t symbol_find_by_own(uint64_t address, kova_symbol_info_s *info, kova_symbol_range_s *range)
{
    if (bad_address(address) || info == nullptr || reinterpret_cast<std::uintptr_t>(info) == kAllOnes)
        return KOVA_SYMBOL_EINVAL;
    ReadHold hold;
    if (!hold.held()) return KOVA_SYMBOL_EBUSY;
    if (!kova_symbol_sys.initialised.load(std::memory_order_acquire)) return KOVA_SYMBOL_ENOTINIT;
    return find_locked(address, info, range);
}

extern "C" int32_t kova_symbol_find_detail(uint64_t address, kova_symbol_info_s *info, kova_symbol_range_s *range)
{
    return symbol_find_by_own(address, info, range);
}

extern "C" int32_t kova_symbol_find(uint64_t address, kova_symbol_info_s *info)
{
    kova_symbol_find_fn registered = kova_symbol_sys.registered.load(std::memory_order_acquire);
    if (registered != nullptr && info != nullptr && registered(address, info) == 0) return 0;
    return symbol_find_by_own(address, info, nullptr);
}

extern "C" char *kova_symbol_addr_to_string(uint64_t address, char *buffer, uint32_t size)
{
    if (buffer == nullptr || size == 0) return nullptr;
    buffer[0] = '\0';
    if (bad_address(address)) return nullptr;
    kova_symbol_info_s info;
    bool found = false;
    kova_symbol_find_fn registered = kova_symbol_sys.registered.load(std::memory_order_acquire);
    if (registered != nullptr && registered(address, &info) == 0) {
        found = true;
    } else {
        ReadHold hold;
        if (!hold.held()) {
            KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Kova symbol updating,  please try again later.");
            return nullptr;
        }
        found = kova_symbol_sys.initialised.load(std::memory_order_acquire) &&
                find_locked(address, &info, nullptr) == 0;
    }
    if (!found) return nullptr;
    if (kova::sec::snprintf_s(buffer, size, size - 1, "%s+0x%lx", info.name,
                              static_cast<unsigned long>(address - info.start)) < 0) {
        KOVA_LOG(kova::log::kError, "snprintf_s(%s) failed.", info.name);
        buffer[0] = '\0';
        return nullptr;
    }
    return buffer;
}

extern "C" int32_t kova_symbol_valid_address(uint64_t address)
{
    if (bad_address(address)) return 0;
    ReadHold hold;
    if (!hold.held()) return KOVA_SYMBOL_EBUSY;
    if (!kova_symbol_sys.initialised.load(std::memory_order_acquire)) return KOVA_SYMBOL_ENOTINIT;
    return node_holding(address) != nullptr ? 1 : 0;
}

extern "C" int32_t kova_symbol_fn_register(kova_symbol_find_fn func)
{
    kova_symbol_sys.registered.store(func, std::memory_order_release);
    return 0;
}

extern "C" void kova_symbol_show_all_node(kova_print_fn print)
{
    if (print == nullptr) return;
    print("%3s|%8s|%15s %15s %15s|%5s|%-32s %32s|%s\n", "NO.", "Time(us)", "Vaddr Base", "Vaddr Start", "Vaddr End",
          "Cnt", "First Sym", "Last Sym", "File Path");
    SymbolSystem &sys = kova_symbol_sys;
    if (!sys.initialised.load(std::memory_order_acquire)) return;
    symbol_rwlock_rdlock_mayblock(&sys.lock);
    unsigned position = 0;
    for (const SymbolNode *node = sys.head; node != nullptr; node = node->next) {
        ++position;
        if (node->count == 0) continue;
        print("%3u|%8lu|%15p %15p %15p|%5u|%-32s %32s|%s\n", position, static_cast<unsigned long>(node->parse_ns / 1000),
              reinterpret_cast<void *>(node->base), reinterpret_cast<void *>(node->vaddr_start),
              reinterpret_cast<void *>(node->vaddr_end), static_cast<unsigned>(node->count),
              node->strtab + node->symbols[0]->st_name, node->strtab + node->symbols[node->count - 1]->st_name,
              node->path);
    }
    read_unlock();
}

extern "C" void kova_symbol_show_elf_by_path(kova_print_fn print, const char *path)
{
    if (print == nullptr || path == nullptr) return;
    SymbolSystem &sys = kova_symbol_sys;
    if (!sys.initialised.load(std::memory_order_acquire)) return;
    symbol_rwlock_rdlock_mayblock(&sys.lock);
    const SymbolNode *found = sys.head;
    while (found != nullptr && std::strcmp(found->path, path) != 0) found = found->next;
    if (found == nullptr) {
        read_unlock();
        print("Can't find elf file %s in all symbol node.\n", path);
        return;
    }
    kova::platform::ProductPath out("/tmp/symbol_info.log");
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        for (std::uint64_t i = 0; i < found->count; ++i) {
            const Elf64_Sym *symbol = found->symbols[i];
            unsigned type = ELF64_ST_TYPE(symbol->st_info), bind = ELF64_ST_BIND(symbol->st_info);
            dprintf(fd, "%016lx %-4lu %-6s %-6s %s\n", static_cast<unsigned long>(symbol->st_value),
                    static_cast<unsigned long>(symbol->st_size), type < 4 ? kTypeNames[type] : "",
                    bind < 3 ? kBindNames[bind] : "", found->strtab + symbol->st_name);
        }
        close(fd);
    }
    read_unlock();
    print("Dump symbol of %s to file %s %s\n", path, "/tmp/symbol_info.log", fd >= 0 ? "Success" : "Fail");
}

extern "C" void kova_symbol_show_sym_by_vaddr(kova_print_fn print, uint64_t address)
{
    if (print == nullptr) return;
    kova_symbol_info_s info;
    if (kova_symbol_find(address, &info) != 0) {
        print("Can't find symbol of addr %x.\n", static_cast<unsigned>(address));
        return;
    }
    print("%16s: 0x%x\n", "Vaddr", static_cast<unsigned>(address));
    print("%16s: %s+0x%x\n", "Symbol", info.name, static_cast<unsigned>(address - info.start));
    print("%16s: %s\n", "File", info.file);
}

extern "C" int32_t kova_symbol_rwlock_deadlock_nodump_stack(uint32_t seconds)
{
    KOVA_LOG(kova::log::kInfo, "Kova symbol rwlock deadlock nodump test start.");
    symbol_rwlock_wrlock_mayblock(&kova_symbol_sys.lock);
    sleep(seconds);
    write_unlock();
    KOVA_LOG(kova::log::kInfo, "Kova symbol rwlock deadlock nodump test end.");
    return 0;
}
