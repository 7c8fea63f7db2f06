#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_strutil.h"

KOVA_LOG_SOURCE("str/kova_str_common")

using kova::log::kError;
using kova::log::kInfo;

namespace {

// Atomic only so that a forbidden concurrent use is a wrong answer rather than a data race.
std::atomic<char *> g_token_next{nullptr};

bool has_hex_prefix(const char *str) { return str[0] == '0' && (str[1] == 'x' || str[1] == 'X'); }

bool is_delimiter(char c, const char *delimiters) { return c != '\0' && std::strchr(delimiters, c) != nullptr; }

}  // namespace

extern "C" int kova_str_isuint(const char *str)
{
    if (str == nullptr) return -EINVAL;
    bool hex = has_hex_prefix(str);
    for (const char *p = hex ? str + 2 : str; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (hex ? std::isxdigit(c) == 0 : std::isdigit(c) == 0) return -1;
    }
    return 0;
}

extern "C" uint64_t kova_str_tou64(const char *str)
{
    if (str == nullptr) {
        KOVA_LOG(kError, "Strtou64 fail because pStr is null.");
        return 0;
    }
    errno = 0;
    unsigned long long value = std::strtoull(str, nullptr, has_hex_prefix(str) ? 16 : 10);
    int error = errno;
    if (error != 0) KOVA_LOG(kError, "Strtou64 fail because of error %d, %s.", error, strerrordesc_np(error));
    return value;
}

extern "C" int64_t kova_str_tos64(const char *str)
{
    if (str == nullptr) {
        KOVA_LOG(kInfo, "Strtos64 fail because pStr is null.");
        return 0;
    }
    // Negated in unsigned arithmetic: two's complement wrap, never signed overflow.
    if (str[0] == '-') return static_cast<int64_t>(0 - kova_str_tou64(str + 1));
    return static_cast<int64_t>(kova_str_tou64(str));
}

extern "C" int kova_get_charpos(const char *str, char c, uint32_t *position)
{
    if (str == nullptr || position == nullptr) {
        KOVA_LOG(kError, "Parameter is NULL.");
        return -EINVAL;
    }
    const void *found = std::memchr(str, c, std::strlen(str));
    if (found == nullptr) return -1;
    *position = static_cast<uint32_t>(static_cast<const char *>(found) - str);
    return 0;
}

extern "C" void kova_filter_newlinesymbol(char *str)
{
    if (str == nullptr) {
        KOVA_LOG(kError, "Parameter is NULL.");
        return;
    }
    str[std::strcspn(str, "\r")] = '\0';
    str[std::strcspn(str, "\n")] = '\0';
}

extern "C" void kova_str_tolower(char *str)
{
    if (str == nullptr) return;
    for (char *p = str; *p != '\0'; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
}

extern "C" char *check_parameter(char **str, char *saved, const char *delimiters)
{
    if (str == nullptr) {
        KOVA_LOG(kError, "Param(%p)  is null.", static_cast<void *>(str));
        return nullptr;
    }
    if (*str == nullptr && saved == nullptr) {
        KOVA_LOG(kError, "Param(%p %p )  is null.", static_cast<void *>(*str), static_cast<void *>(saved));
        return nullptr;
    }
    if (delimiters == nullptr) {
        KOVA_LOG(kError, "Param(%p)  is null.", static_cast<const void *>(delimiters));
        return nullptr;
    }
    if (*str == nullptr) *str = saved;
    return *str;
}

extern "C" char *kova_str_tok(char *str, const char *delimiters)
{
    char *p = check_parameter(&str, g_token_next.load(std::memory_order_relaxed), delimiters);
    if (p == nullptr) {
        KOVA_LOG(kError, "Param(%p)  is null.", static_cast<void *>(p));
        return nullptr;
    }
    while (is_delimiter(*p, delimiters)) *p++ = '\0';
    char *token = p;
    while (*p != '\0' && !is_delimiter(*p, delimiters)) ++p;
    while (is_delimiter(*p, delimiters)) *p++ = '\0';
    g_token_next.store(*p != '\0' ? p : nullptr, std::memory_order_relaxed);
    return token;
}
