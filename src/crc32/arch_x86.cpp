// x86_64 kernels: SSE4.2 crc32 for the CRC-32C steps, PCLMULQDQ for the merges and the CRC-16
// folds. Everything in this file is compiled for those instructions.
#if defined(__x86_64__)
#pragma GCC target("sse4.2,pclmul")
#include "crc32/x86_isa.h"

#include "crc32/define_kernels.h"

KOVA_CRC_DEFINE_KERNELS(kova::crc::X86, kova::crc::X86Vector)
#endif
