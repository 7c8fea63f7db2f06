#include "support/log_capture.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>

#include "kova/kova_types.h"

namespace kova::test {
namespace {
constexpr std::uint32_t kCaptureSlot = KOVALOG_CALLBACK_SLOTS - 1;
std::atomic<LogCapture *> active{nullptr};
std::atomic<std::uint64_t> next_arrival{0};

// Raw lines may come from a signal handler, which must neither allocate nor wait for a lock that
// the thread it interrupted may hold. They are copied into fixed slots, claimed and published
// with atomics only, and merged into the vector at the next read.
struct RawLine {
    std::atomic<std::uint64_t> published;  // 1 + the ticket of the line the slot holds, once whole
    std::uint64_t arrival;
    char text[KOVALOG_MESSAGE_MAX + 1];
};
constexpr std::uint64_t kRawSlots = 2048;
RawLine raw_lines[kRawSlots];
std::atomic<std::uint64_t> raw_claimed{0};
std::atomic<std::uint64_t> raw_merged{0};
std::atomic<std::uint64_t> raw_lost{0};

void keep_raw_line(const char *text)
{
    std::uint64_t ticket = raw_claimed.load();
    do {
        if (ticket - raw_merged.load() >= kRawSlots) {
            raw_lost.fetch_add(1);
            return;
        }
    } while (!raw_claimed.compare_exchange_weak(ticket, ticket + 1));
    RawLine &line = raw_lines[ticket % kRawSlots];
    line.arrival = next_arrival.fetch_add(1);
    std::size_t length = strnlen(text, KOVALOG_MESSAGE_MAX);
    std::memcpy(line.text, text, length);
    line.text[length] = '\0';
    line.published.store(ticket + 1, std::memory_order_release);
}
}  // namespace

LogCapture::LogCapture(int level) : saved_level_(kovalog_loglevel_get(KOVA_MODULE_ID))
{
    LogCapture *expected = nullptr;
    bool installed = active.compare_exchange_strong(expected, this);
    assert(installed && "one LogCapture at a time");
    (void)installed;
    raw_merged.store(raw_claimed.load());  // nothing writes now: the previous capture unregistered
    raw_lost.store(0);
    kovalog_loglevel_set(KOVA_MODULE_ID, level);
    kovalog_content_callback_s registration{kCaptureSlot, &LogCapture::on_message};
    kovalog_register_content_callback(&registration);
}

LogCapture::~LogCapture()
{
    kovalog_content_callback_s registration{kCaptureSlot, nullptr};
    kovalog_register_content_callback(&registration);
    kovalog_loglevel_set(KOVA_MODULE_ID, saved_level_);
    active.store(nullptr);
}

void LogCapture::on_message(const kovalog_message_s *m)
{
    LogCapture *self = active.load();
    if (self == nullptr) return;
    if ((m->flags & KOVALOG_MSG_RAW) != 0) {
        keep_raw_line(m->text);
        return;
    }
    std::lock_guard guard(self->lock_);
    self->messages_.push_back({m->module, m->level, m->file, m->line, m->function, m->text, false});
    self->arrival_.push_back(next_arrival.fetch_add(1));
}

void LogCapture::merge_raw_lines() const
{
    std::uint64_t ticket = raw_merged.load();
    for (; ticket != raw_claimed.load(); ++ticket) {
        const RawLine &line = raw_lines[ticket % kRawSlots];
        if (line.published.load(std::memory_order_acquire) != ticket + 1) break;  // still being written
        auto at = std::upper_bound(arrival_.begin(), arrival_.end(), line.arrival) - arrival_.begin();
        messages_.insert(messages_.begin() + at, {0, -1, "", 0, "", line.text, true});
        arrival_.insert(arrival_.begin() + at, line.arrival);
        raw_merged.store(ticket + 1);  // frees the slot for writers
    }
    if (std::uint64_t lost = raw_lost.exchange(0); lost != 0) {
        messages_.push_back({0, -1, "", 0, "", "LogCapture lost " + std::to_string(lost) + " raw lines", true});
        arrival_.push_back(next_arrival.fetch_add(1));
    }
}

std::vector<LoggedMessage> LogCapture::messages() const
{
    std::lock_guard guard(lock_);
    merge_raw_lines();
    return messages_;
}

std::vector<LoggedMessage> LogCapture::with_text(const std::string &text) const
{
    std::vector<LoggedMessage> found;
    for (const LoggedMessage &m : messages())
        if (m.text == text) found.push_back(m);
    return found;
}

void LogCapture::clear()
{
    std::lock_guard guard(lock_);
    merge_raw_lines();
    messages_.clear();
    arrival_.clear();
}

}  // namespace kova::test
