// What the scheduler's diagnostics borrow from the symbol resolver and the signal family, in one
// place (diagnostics.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::schedwork {

constexpr std::size_t kSymbolTextSize = 256;

// The address as a symbol text ("name+0x1c"), or in hex where no symbol is known.
void symbol_text(std::uintptr_t address, char (&text)[kSymbolTextSize]);

}  // namespace kova::schedwork
