// Tokenizes arbitrary text with a delimiter set taken from the input's first bytes.
#include <cstdint>
#include <string>

#include "kova/kova_strutil.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::size_t split = size > 0 ? data[0] % 4 + 1 : 0;
    if (split >= size) return 0;
    std::string delimiters(reinterpret_cast<const char *>(data) + 1, split - 1);
    std::string text(reinterpret_cast<const char *>(data) + split, size - split);
    for (char *t = kova_str_tok(text.data(), delimiters.c_str()); t != nullptr; t = kova_str_tok(nullptr, delimiters.c_str()))
        kova_str_isuint(t), kova_str_tou64(t);
    return 0;
}
