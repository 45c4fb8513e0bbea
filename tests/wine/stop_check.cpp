// stop_check.cpp: ends the tool from outside while its target runs and reports what became of the target.
//
// Usage:
//   stop_check drive kill|ctrl-c TOOL_EXE TOOL_COMMAND_LINE_HEX PID_FILE
//       starts the tool, waits until its target has written PID_FILE, then ends the tool by force
//       (TerminateProcess) or sends Ctrl+C to the console that the tool, its target and the target's
//       child share; prints tool_exit=, target_exit= (or target_exit=running) and child=alive|gone.
//       Everything it started is ended before it exits. Exit status 0 when it could do all that.
//   stop_check target PID_FILE     the tool's target: starts a child, writes "TARGET CHILD" pids
//   stop_check child               the target's child
// Target and child handle Ctrl+C themselves (they go on) and sleep for a long time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr DWORD BOUND_MS = 30000;
constexpr DWORD LONG_SLEEP_MS = 120000;
constexpr int EXIT_TROUBLE = 2;

BOOL WINAPI go_on(DWORD) { return TRUE; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool decode(const char *hex, std::string *text) {
    for (const char *p = hex; *p != '\0'; p += 2) {
        const int high = hex_digit(p[0]);
        const int low = p[1] == '\0' ? -1 : hex_digit(p[1]);
        if (high < 0 || low < 0) return false;
        *text += static_cast<char>(high * 16 + low);
    }
    return true;
}

std::string own_executable() {
    char path[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
}

int trouble(const char *what) {
    std::printf("error=%s %lu\n", what, GetLastError());
    return EXIT_TROUBLE;
}

// Written beside and renamed into place, so that a reader never sees half of it.
bool publish(const std::string &path, const std::string &text) {
    const std::string part = path + ".part";
    std::FILE *f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) return false;
    return MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

int run_target(const char *pid_file) {
    const std::string exe = own_executable();
    std::string command_line = "\"" + exe + "\" child";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return EXIT_TROUBLE;
    }
    const std::string pids =
        std::to_string(GetCurrentProcessId()) + " " + std::to_string(pi.dwProcessId) + "\n";
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!publish(pid_file, pids)) return EXIT_TROUBLE;
    Sleep(LONG_SLEEP_MS);
    return 0;
}

// Both pids from the file the target writes, once it is there.
bool read_pids(const char *pid_file, DWORD *target, DWORD *child, HANDLE tool) {
    for (DWORD waited = 0; waited < BOUND_MS; waited += 20) {
        if (std::FILE *f = std::fopen(pid_file, "rb")) {
            unsigned long t = 0, c = 0;
            const int got = std::fscanf(f, "%lu %lu", &t, &c);
            std::fclose(f);
            *target = t;
            *child = c;
            return got == 2;
        }
        if (WaitForSingleObject(tool, 20) == WAIT_OBJECT_0) return false;
    }
    return false;
}

const DWORD WATCH_ACCESS = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE;

int drive(const char *how, const char *tool_exe, const char *command_line_hex, const char *pid_file) {
    std::string command_line;
    if (!decode(command_line_hex, &command_line)) return trouble("usage");
    const bool ctrl_c = std::strcmp(how, "ctrl-c") == 0;
    if (ctrl_c) {
        // A console of our own that the tool and its target share, so that
        // one Ctrl+C reaches all of them; we go on after it.
        FreeConsole();
        if (!AllocConsole()) return trouble("AllocConsole");
        SetConsoleCtrlHandler(go_on, TRUE);
    }
    // The tool's output goes nowhere: it is not under test here, and on a console it would first wait
    // for the console's window.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE nowhere =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    OPEN_EXISTING, 0, nullptr);
    if (nowhere == INVALID_HANDLE_VALUE) return trouble("NUL");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nowhere;
    PROCESS_INFORMATION tool{};
    if (!CreateProcessA(tool_exe, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &tool)) {
        return trouble("CreateProcess");
    }
    CloseHandle(tool.hThread);
    DWORD target_pid = 0, child_pid = 0;
    HANDLE target = nullptr, child = nullptr;
    int status = 0;
    if (!read_pids(pid_file, &target_pid, &child_pid, tool.hProcess)) {
        status = trouble("no-pids");
    } else if ((target = OpenProcess(WATCH_ACCESS, FALSE, target_pid)) == nullptr ||
               (child = OpenProcess(WATCH_ACCESS, FALSE, child_pid)) == nullptr) {
        status = trouble("OpenProcess");
    } else if (ctrl_c ? !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) : !TerminateProcess(tool.hProcess, 1)) {
        status = trouble("stop");
    } else {
        DWORD code = 0;
        if (WaitForSingleObject(tool.hProcess, BOUND_MS) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(tool.hProcess, &code)) {
            std::printf("tool_exit=%lu\n", code);
        } else {
            std::printf("tool_exit=running\n");
        }
        if (WaitForSingleObject(target, BOUND_MS) == WAIT_OBJECT_0 && GetExitCodeProcess(target, &code)) {
            std::printf("target_exit=%lu\n", code);
        } else {
            std::printf("target_exit=running\n");
        }
        std::printf("child=%s\n", WaitForSingleObject(child, 0) == WAIT_TIMEOUT ? "alive" : "gone");
    }
    std::fflush(stdout);
    for (const HANDLE h : {child, target, tool.hProcess}) {
        if (h == nullptr) continue;
        TerminateProcess(h, 1);
        WaitForSingleObject(h, BOUND_MS);
        CloseHandle(h);
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    // The tool passes its argument text as the whole command line: the mode
    // is the first word that names one.
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "child") == 0 || std::strcmp(argv[i], "target") == 0) {
            SetConsoleCtrlHandler(go_on, TRUE);
            if (argv[i][0] == 'c') {
                Sleep(LONG_SLEEP_MS);
                return 0;
            }
            return i + 1 < argc ? run_target(argv[i + 1]) : EXIT_TROUBLE;
        }
        if (std::strcmp(argv[i], "drive") == 0) {
            if (i + 4 >= argc) break;
            return drive(argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]);
        }
    }
    std::fprintf(stderr, "usage: stop_check drive kill|ctrl-c TOOL_EXE COMMAND_LINE_HEX PID_FILE | "
                         "target PID_FILE | child\n");
    return EXIT_TROUBLE;
}
