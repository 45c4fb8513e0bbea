// stop_check.cpp: ends the tool from outside while its target runs and reports what became of the target.
//
// Usage:
//   stop_check drive kill|ctrl-c TOOL_EXE TOOL_COMMAND_LINE_HEX PID_FILE [OUTPUT_FILE]
//       starts the tool, waits until its target has written PID_FILE, then ends the tool by force
//       (TerminateProcess) or sends Ctrl+C to the console that the tool, its target and the target's
//       child share; prints tool_exit=, target_exit= (or target_exit=running) and child=alive|gone.
//       The tool's standard output goes to OUTPUT_FILE when given.
//   stop_check drive ctrl-c-at:TEXT TOOL_EXE TOOL_COMMAND_LINE_HEX TARGET_NAME
//       sends Ctrl+C as soon as the tool's output shows TEXT (the tool flushes a count just before a
//       start, "next at" just before a sleep); prints tool_exit= and left=, the number of processes
//       named TARGET_NAME still there once the tool has ended.
//   stop_check drive runs:N TOOL_EXE TOOL_COMMAND_LINE_HEX PID_FILE LOG_FILE
//       lets the tool run until its run record file LOG_FILE holds N runs, then prints child=alive|gone
//       for the child of the target that wrote PID_FILE.
//   Everything it started is ended before it exits. Exit status 0 when it could do all that.
//   stop_check target PID_FILE     the tool's target: starts a child, writes "TARGET CHILD" pids
//   stop_check child               the target's child
//   stop_check exit CODE           exits at once with CODE (decimal, all 32 bits)
//   stop_check window              a target with a window of its own, which ends with exit code 5
//                                  once the window is asked to close (WM_CLOSE)
// Target and child handle Ctrl+C themselves (they go on) and sleep for a long time.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Every wait after the tool's start shares one deadline this far away; the
// test that runs this allows it more.
constexpr DWORD BOUND_MS = 20000;
constexpr DWORD CLEANUP_MS = 5000;
constexpr DWORD LONG_SLEEP_MS = 120000;
constexpr int EXIT_TROUBLE = 2;

constexpr int WINDOW_EXIT_CODE = 5;

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

LRESULT CALLBACK close_ends(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != WM_CLOSE) return DefWindowProcA(window, message, wparam, lparam);
    PostQuitMessage(WINDOW_EXIT_CODE);
    return 0;
}

int run_window() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = close_ends;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "kadron_stop_check";
    if (RegisterClassA(&window_class) == 0 ||
        CreateWindowA(window_class.lpszClassName, "stop_check", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, window_class.hInstance,
                      nullptr) == nullptr) {
        return EXIT_TROUBLE;
    }
    MSG message{};
    BOOL got = FALSE;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0)
        DispatchMessageA(&message);
    return got == 0 ? static_cast<int>(message.wParam) : EXIT_TROUBLE;
}

// Milliseconds left until deadline (a GetTickCount value), 0 once it passed.
DWORD left_until(DWORD deadline) {
    const DWORD now = GetTickCount();
    return static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
}

// Both pids from the file the target writes, once it is there.
bool read_pids(const char *pid_file, DWORD *target, DWORD *child, HANDLE tool, DWORD deadline) {
    while (left_until(deadline) > 0) {
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

// Once the run record file holds count runs; false when the tool ended or the
// deadline passed first.
bool wait_for_runs(const char *log_file, int count, HANDLE tool, DWORD deadline) {
    const std::string run = "\"event\":\"run\"";
    while (left_until(deadline) > 0) {
        std::string text;
        if (std::FILE *f = std::fopen(log_file, "rb")) {
            char chunk[4096];
            for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
                text.append(chunk, n);
            std::fclose(f);
        }
        int found = 0;
        for (std::size_t at = text.find(run); at != std::string::npos; at = text.find(run, at + 1))
            ++found;
        if (found >= count) return true;
        if (WaitForSingleObject(tool, 20) == WAIT_OBJECT_0) return false;
    }
    return false;
}

// The exit code once process has ended within the deadline, else "running".
std::string exit_of(HANDLE process, DWORD deadline) {
    DWORD code = 0;
    if (WaitForSingleObject(process, left_until(deadline)) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process, &code)) {
        return std::to_string(code);
    }
    return "running";
}

void end_all(std::initializer_list<HANDLE> processes) {
    for (const HANDLE h : processes) {
        if (h == nullptr) continue;
        TerminateProcess(h, 1);
        WaitForSingleObject(h, CLEANUP_MS);
        CloseHandle(h);
    }
}

// A console of our own that the tool and its target share, so that one Ctrl+C
// reaches all of them; we go on after it.
bool own_console() {
    FreeConsole();
    if (!AllocConsole()) return false;
    SetConsoleCtrlHandler(go_on, TRUE);
    return true;
}

// Starts the tool with the given standard output (standard input and error go
// nowhere: on a console the tool would first wait for the console's window).
bool start_tool(const char *tool_exe, std::string command_line, HANDLE output, PROCESS_INFORMATION *tool) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE nowhere =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    OPEN_EXISTING, 0, nullptr);
    if (nowhere == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdError = nowhere;
    si.hStdOutput = output != nullptr ? output : nowhere;
    const bool started = CreateProcessA(tool_exe, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &si, tool) != 0;
    CloseHandle(nowhere);
    if (started) CloseHandle(tool->hThread);
    return started;
}

const char AT_TEXT[] = "ctrl-c-at:";
const char RUNS_TEXT[] = "runs:";

const DWORD WATCH_ACCESS = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE;

int drive(const char *how, const char *tool_exe, const std::string &command_line, const char *pid_file,
          const char *output_file) {
    const bool ctrl_c = std::strcmp(how, "ctrl-c") == 0;
    const int runs =
        std::strncmp(how, RUNS_TEXT, sizeof RUNS_TEXT - 1) == 0 ? std::atoi(how + sizeof RUNS_TEXT - 1) : 0;
    if (ctrl_c && !own_console()) return trouble("AllocConsole");
    HANDLE output = nullptr;
    if (output_file != nullptr && runs == 0) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        output =
            CreateFileA(output_file, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        if (output == INVALID_HANDLE_VALUE) return trouble("output");
    }
    PROCESS_INFORMATION tool{};
    const bool started = start_tool(tool_exe, command_line, output, &tool);
    if (output != nullptr) CloseHandle(output);
    if (!started) return trouble("CreateProcess");
    const DWORD deadline = GetTickCount() + BOUND_MS;
    DWORD target_pid = 0, child_pid = 0;
    HANDLE target = nullptr, child = nullptr;
    int status = 0;
    if (!read_pids(pid_file, &target_pid, &child_pid, tool.hProcess, deadline)) {
        status = trouble("no-pids");
    } else if ((target = OpenProcess(WATCH_ACCESS, FALSE, target_pid)) == nullptr ||
               (child = OpenProcess(WATCH_ACCESS, FALSE, child_pid)) == nullptr) {
        status = trouble("OpenProcess");
    } else if (runs > 0) {
        if (output_file == nullptr || !wait_for_runs(output_file, runs, tool.hProcess, deadline)) {
            status = trouble("no-runs");
        } else {
            std::printf("child=%s\n", WaitForSingleObject(child, 0) == WAIT_TIMEOUT ? "alive" : "gone");
        }
    } else if (ctrl_c ? !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) : !TerminateProcess(tool.hProcess, 1)) {
        status = trouble("stop");
    } else {
        std::printf("tool_exit=%s\n", exit_of(tool.hProcess, deadline).c_str());
        std::printf("target_exit=%s\n", exit_of(target, deadline).c_str());
        std::printf("child=%s\n", WaitForSingleObject(child, 0) == WAIT_TIMEOUT ? "alive" : "gone");
    }
    std::fflush(stdout);
    end_all({child, target, tool.hProcess});
    return status;
}

// The processes whose executable file is named name; ended once counted.
int end_leftovers(const char *name) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, name) != 0) continue;
        ++count;
        end_all({OpenProcess(WATCH_ACCESS, FALSE, entry.th32ProcessID)});
    }
    CloseHandle(snapshot);
    return count;
}

int drive_at_text(const char *text, const char *tool_exe, const std::string &command_line,
                  const char *target_name) {
    if (!own_console()) return trouble("AllocConsole");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return trouble("CreatePipe");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION tool{};
    const bool started = start_tool(tool_exe, command_line, write_end, &tool);
    CloseHandle(write_end);
    if (!started) return trouble("CreateProcess");
    // Targets may hold the pipe's write end past the tool's end: the output
    // is read only up to the text.
    std::string output;
    int status = 0;
    char chunk[4096];
    DWORD n = 0;
    while (output.find(text) == std::string::npos && ReadFile(read_end, chunk, sizeof chunk, &n, nullptr) &&
           n > 0) {
        output.append(chunk, n);
    }
    if (output.find(text) == std::string::npos) {
        status = trouble("no-text");
    } else if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        status = trouble("stop");
    } else {
        std::printf("tool_exit=%s\n", exit_of(tool.hProcess, GetTickCount() + BOUND_MS).c_str());
        std::printf("left=%d\n", end_leftovers(target_name));
    }
    std::fflush(stdout);
    end_all({tool.hProcess});
    CloseHandle(read_end);
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
        if (std::strcmp(argv[i], "window") == 0) return run_window();
        if (std::strcmp(argv[i], "exit") == 0 && i + 1 < argc) {
            ExitProcess(static_cast<UINT>(std::strtoul(argv[i + 1], nullptr, 10)));
        }
        std::string command_line;
        if (std::strcmp(argv[i], "drive") == 0) {
            if (i + 4 >= argc || !decode(argv[i + 3], &command_line)) break;
            if (std::strncmp(argv[i + 1], AT_TEXT, sizeof AT_TEXT - 1) == 0) {
                return drive_at_text(argv[i + 1] + sizeof AT_TEXT - 1, argv[i + 2], command_line,
                                     argv[i + 4]);
            }
            return drive(argv[i + 1], argv[i + 2], command_line, argv[i + 4],
                         i + 5 < argc ? argv[i + 5] : nullptr);
        }
    }
    std::fprintf(stderr,
                 "usage: stop_check drive kill|ctrl-c|ctrl-c-at:TEXT|runs:N TOOL_EXE COMMAND_LINE_HEX "
                 "PID_FILE|TARGET_NAME [OUTPUT_FILE|LOG_FILE] | target PID_FILE | child | exit CODE | "
                 "window\n");
    return EXIT_TROUBLE;
}
