// fuzz_settings.cpp: fuzz target for the command-line settings: any words, any count, any bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings.h"

// Each word in its own block of exactly its size, so a read past its end is seen.
constexpr std::size_t MAX_WORDS = 16;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The usage block and the echo would flood the fuzzer's output.
    return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

// Words are separated by zero bytes; the input holds at least one word, an empty
// input none.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    char *words[MAX_WORDS];
    int count = 0;
    for (std::size_t start = 0; start < size && count < static_cast<int>(MAX_WORDS); ++count) {
        const void *zero = std::memchr(data + start, 0, size - start);
        const std::size_t end =
            zero != nullptr ? static_cast<std::size_t>(static_cast<const uint8_t *>(zero) - data) : size;
        words[count] = static_cast<char *>(std::malloc(end - start + 1));
        std::memcpy(words[count], data + start, end - start);
        words[count][end - start] = '\0';
        start = end + 1;
    }

    run_settings settings;
    std::memset(&settings, 0x5a, sizeof settings);
    int exit_status = -1;
    const bool ok = parse_invocation(count, words, &settings, &exit_status);
    if (ok) {
        // Whatever the words, what is kept is terminated, whole and never raised past a nowait cycle.
        if (exit_status != 0 || std::strcmp(settings.program_path_and_name, words[1]) != 0 ||
            std::strcmp(settings.command_line_arguments + 1, count > 2 ? words[2] : "") != 0 ||
            (settings.wait_mode && settings.cycle_time_in_milliseconds < settings.run_time_in_milliseconds)) {
            std::abort();
        }
    } else if (exit_status != EXIT_MISSING_PROGRAM) {
        std::abort();
    }
    for (int i = 0; i < count; ++i)
        std::free(words[i]);
    return 0;
}
