#include "support/log_capture.h"

#include <atomic>
#include <cassert>

#include "kova/kova_types.h"

namespace kova::test {
namespace {
constexpr std::uint32_t kCaptureSlot = KOVALOG_CALLBACK_SLOTS - 1;
std::atomic<LogCapture *> active{nullptr};
}  // namespace

LogCapture::LogCapture(int level) : saved_level_(kovalog_loglevel_get(KOVA_MODULE_ID))
{
    LogCapture *expected = nullptr;
    bool installed = active.compare_exchange_strong(expected, this);
    assert(installed && "one LogCapture at a time");
    (void)installed;
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
    std::lock_guard guard(self->lock_);
    self->messages_.push_back({m->module, m->level, m->file, m->line, m->function, m->text,
                               (m->flags & KOVALOG_MSG_RAW) != 0});
}

std::vector<LoggedMessage> LogCapture::messages() const
{
    std::lock_guard guard(lock_);
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
    messages_.clear();
}

}  // namespace kova::test
