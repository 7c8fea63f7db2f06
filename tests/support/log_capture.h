// Captures the library's log messages through a kovalog content callback, with module 381 at
// debug level, so that tests assert exact texts, levels and function names.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kovalog/kovalog.h"

namespace kova::test {

struct LoggedMessage {
    unsigned module;
    int level;
    std::string file;
    int line;
    std::string function;
    std::string text;
    bool raw;
};

class LogCapture {
public:
    explicit LogCapture(int level = 7);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LoggedMessage> messages() const;
    // Messages whose text equals `text` exactly.
    std::vector<LoggedMessage> with_text(const std::string &text) const;
    std::size_t count(const std::string &text) const { return with_text(text).size(); }
    bool contains(const std::string &text) const { return count(text) != 0; }
    void clear();

private:
    static void on_message(const kovalog_message_s *message);
    // Moves the raw lines kept aside since the last read into `messages_`, in arrival order;
    // the caller holds `lock_`.
    void merge_raw_lines() const;
    int saved_level_;
    mutable std::mutex lock_;
    mutable std::vector<LoggedMessage> messages_;
    mutable std::vector<std::uint64_t> arrival_;  // the arrival number of each of `messages_`
};

}  // namespace kova::test
