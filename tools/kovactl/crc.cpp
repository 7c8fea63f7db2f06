#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

double seconds_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One checksum over a stream: start, update per chunk, finish, print.
struct Checksum {
    const char *command;
    std::uint32_t (*start)();
    std::uint32_t (*update)(std::uint32_t, const void *, std::uint32_t);
    std::uint32_t (*finish)(std::uint32_t);
    int digits;
};

const Checksum kCrc32c{"crc32c", [] { return 0xFFFFFFFFu; }, kova_crc32cContinue, kova_crc32cEnd, 8};
const Checksum kCrc16{"crc16", [] { return 0u; },
                      [](std::uint32_t crc, const void *p, std::uint32_t n) -> std::uint32_t {
                          return kova_crc16(static_cast<std::uint16_t>(crc), p, n);
                      },
                      [](std::uint32_t crc) { return crc; }, 4};

// Prints the checksum of each file and then the kernel and its throughput, counting only the
// time spent checksumming (not reading).
int run_checksum(const Checksum &sum, const char *kernel, int argc, char **argv)
{
    if (argc < 1) return usage_error();
    std::vector<unsigned char> chunk(1 << 20);
    double busy = 0;
    unsigned long long bytes = 0;
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        const bool stdin_wanted = std::strcmp(argv[i], "-") == 0;
        int fd = stdin_wanted ? STDIN_FILENO : open(argv[i], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "kovactl %s: %s: %s\n", sum.command, argv[i], std::strerror(errno));
            status = 1;
            continue;
        }
        std::uint32_t crc = sum.start();
        ssize_t got;
        while ((got = read(fd, chunk.data(), chunk.size())) > 0 || (got < 0 && errno == EINTR)) {
            if (got < 0) continue;
            double t0 = seconds_now();
            crc = sum.update(crc, chunk.data(), static_cast<std::uint32_t>(got));
            busy += seconds_now() - t0;
            bytes += static_cast<unsigned long long>(got);
        }
        if (got < 0) {
            std::fprintf(stderr, "kovactl %s: %s: %s\n", sum.command, argv[i], std::strerror(errno));
            status = 1;
        } else {
            std::printf("%0*x  %s\n", sum.digits, sum.finish(crc), argv[i]);
        }
        if (!stdin_wanted) close(fd);
    }
    std::printf("kernel %s: %llu bytes in %.3f ms, %.2f GB/s\n", kernel, bytes, busy * 1e3,
                busy > 0 ? static_cast<double>(bytes) / busy / 1e9 : 0.0);
    return status;
}

}  // namespace

int run_crc32c(int argc, char **argv) { return run_checksum(kCrc32c, kova_crc32c_kernel_name(), argc, argv); }
int run_crc16(int argc, char **argv) { return run_checksum(kCrc16, kova_crc16_kernel_name(), argc, argv); }

constexpr char kCrcDetails[] =
    "Prints the checksum of each file in hexadecimal followed by its name, then the kernel the library chose for "
    "this processor and its throughput, counting only the time spent checksumming.\n\n"
    "  FILE  a file to read; '-' reads standard input";
constexpr char kCrcExit[] = "0 when every file was read, 1 when one could not be, 2 for a usage error.";

KOVACTL_COMMAND("crc32c", "CRC-32C of each file ('-' for standard input), the kernel used and its throughput", run_crc32c,
                "FILE...", kCrcDetails, kCrcExit);
KOVACTL_COMMAND("crc16", "CRC-16/T10-DIF of each file ('-' for standard input), the kernel used and its throughput", run_crc16,
                "FILE...", kCrcDetails, kCrcExit);

}  // namespace kovactl
