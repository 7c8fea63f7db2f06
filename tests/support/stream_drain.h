// What a command stream said: a read stream's whole output and what its close returned.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace kova::test {

// {"no stream", -1} when the stream did not open.
using Ran = std::pair<std::string, int>;

inline Ran drain(std::FILE *stream, int (*close)(std::FILE *))
{
    if (stream == nullptr) return {"no stream", -1};
    std::string text;
    char chunk[256];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, stream)) > 0;) text.append(chunk, got);
    return {text, close(stream)};
}

}  // namespace kova::test
