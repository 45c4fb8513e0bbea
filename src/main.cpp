// main.cpp: process entry; hands the tool's words to the core.
#include "cycle_loop.h"
#include "platform.h"

int main(int argc, char **argv) {
    platform_setup_output();
    int word_count = 0;
    const char *const *words = nullptr;
    if (!platform_tool_words(argc, argv, &word_count, &words)) return EXIT_MISSING_PROGRAM;
    return kadron_main(word_count, words);
}
