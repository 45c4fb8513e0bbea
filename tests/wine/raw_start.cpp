// raw_start.cpp: test starter that hands a program an exact, unquoted-by-anyone command line.
//
// Usage: raw_start BOUND_MS APPLICATION_HEX COMMAND_LINE_HEX
// The texts come hex-encoded so that no runtime's quoting touches them; an
// empty APPLICATION_HEX ("-") lets CreateProcessA take the program from the
// command line. The program shares our standard handles. Exits with the
// program's exit code, or 124 after ending it when it outlives BOUND_MS.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int EXIT_USAGE = 125;
constexpr int EXIT_TIMED_OUT = 124;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decode(const char *hex, std::string *text) {
    text->clear();
    if (hex[0] == '-' && hex[1] == '\0') return true;
    for (const char *p = hex; *p != '\0'; p += 2) {
        const int high = hex_digit(p[0]);
        const int low = p[1] == '\0' ? -1 : hex_digit(p[1]);
        if (high < 0 || low < 0) return false;
        *text += static_cast<char>(high * 16 + low);
    }
    return true;
}

// Our own standard handles, made inheritable for the program.
HANDLE inheritable(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    if (h != NULL && h != INVALID_HANDLE_VALUE)
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

} // namespace

int main(int argc, char **argv) {
    std::string application;
    std::string command_line;
    if (argc != 4 || !decode(argv[2], &application) || !decode(argv[3], &command_line)) {
        std::fprintf(stderr, "usage: raw_start BOUND_MS APPLICATION_HEX|- COMMAND_LINE_HEX\n");
        return EXIT_USAGE;
    }
    const DWORD bound_ms = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(application.empty() ? nullptr : application.c_str(), command_line.data(), nullptr,
                        nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "raw_start: CreateProcessA failed: %lu\n", GetLastError());
        return EXIT_USAGE;
    }
    DWORD code = EXIT_TIMED_OUT;
    if (WaitForSingleObject(pi.hProcess, bound_ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(pi.hProcess, &code);
    } else {
        TerminateProcess(pi.hProcess, EXIT_TIMED_OUT);
        WaitForSingleObject(pi.hProcess, 5000);
        code = EXIT_TIMED_OUT;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}
