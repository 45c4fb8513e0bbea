// platform_win32.cpp: the platform services on Windows, each a direct KERNEL32 or VERSION call.
#include <windows.h>

#include <io.h>

#include <cstdio>

#include "platform.h"
#include "supervised_run.h"
#include "words.h"

// The runtime must not expand wildcards: the tool reads its own command line.
extern "C" {
int _dowildcard = 0;
}

namespace {

static_assert(WAIT_FOREVER_MS == INFINITE, "the core's endless wait must be the Win32 one");
static_assert(sizeof(HANDLE) <= sizeof(intptr_t), "handles travel as intptr_t");

constexpr std::size_t OUTPUT_BLOCK_SIZE = 4096;

// The longest command line Windows passes, terminator included; every word
// takes at least one character or a separating blank, so words never need
// more room than the text itself, plus one terminator.
constexpr std::size_t COMMAND_LINE_SIZE = 32768;
constexpr std::size_t MAX_TOOL_WORDS = COMMAND_LINE_SIZE / 2 + 1;

HANDLE handle_of(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t value_of(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// calendar_time has the fields of SYSTEMTIME, in the same order.
calendar_time from_system_time(const SYSTEMTIME &st) {
    return calendar_time{st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                         st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
}

SYSTEMTIME to_system_time(const calendar_time &t) {
    SYSTEMTIME st;
    st.wYear = t.year;
    st.wMonth = t.month;
    st.wDayOfWeek = t.day_of_week;
    st.wDay = t.day;
    st.wHour = t.hour;
    st.wMinute = t.minute;
    st.wSecond = t.second;
    st.wMilliseconds = t.milliseconds;
    return st;
}

// The system's message for the last error, without its line end, and its kind.
void describe_last_error(start_failure *failure, char *reason, std::size_t reason_size) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                         error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME;
    *failure = missing ? start_failure::not_found : start_failure::refused;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                             reason, static_cast<DWORD>(reason_size), NULL);
    if (n == 0) {
        std::snprintf(reason, reason_size, "error %lu", static_cast<unsigned long>(error));
        return;
    }
    while (n > 0 && (reason[n - 1] == '\r' || reason[n - 1] == '\n'))
        reason[--n] = '\0';
}

// How long the console handler waits for the target it ended, so that its
// exit code is set before the tool's own end closes the job.
constexpr DWORD STOP_WAIT_MS = 2000;

// Made once, at the first start. The job ends the target when the tool's
// process ends, however that happens; without it (it could not be made or
// set up) targets run as before.
bool stopping_ready = false;
HANDLE target_job = NULL;

// The console handler runs on a thread of its own: the running target's
// handle and the tool's stop are shared with it under this lock, and the
// handle is closed only once it is out of the slot.
CRITICAL_SECTION target_lock;
HANDLE running_target = NULL;
bool tool_stopping = false;

// Ctrl+C, Ctrl+Break, the console closing, logoff and shutdown end the tool
// by default; the running target is ended first, with the forced end's code,
// as a target that handles the event itself or has no console would outlive
// the tool.
BOOL WINAPI stop_on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    EnterCriticalSection(&target_lock);
    tool_stopping = true;
    if (running_target != NULL && TerminateProcess(running_target, TERMINATE_EXIT_CODE)) {
        WaitForSingleObject(running_target, STOP_WAIT_MS);
    }
    LeaveCriticalSection(&target_lock);
    return FALSE; // the default handling ends the tool
}

HANDLE make_target_job() {
    const HANDLE job = CreateJobObjectA(NULL, NULL);
    if (job == NULL) return NULL;
    // Silent breakaway: what the target starts itself stays outside, as
    // without the job.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

void setup_stopping() {
    if (stopping_ready) return;
    InitializeCriticalSection(&target_lock);
    target_job = make_target_job();
    SetConsoleCtrlHandler(stop_on_console_event, TRUE);
    stopping_ready = true;
}

// The tool is ending on the console handler's thread; this one must start
// nothing more meanwhile.
[[noreturn]] void wait_for_own_end() {
    for (;;)
        Sleep(INFINITE);
}

// Shares the suspended target with the console handler; false when the tool
// is already stopping.
bool publish_target(HANDLE process) {
    EnterCriticalSection(&target_lock);
    const bool go_on = !tool_stopping;
    if (go_on) running_target = process;
    LeaveCriticalSection(&target_lock);
    return go_on;
}

bool stopping() {
    EnterCriticalSection(&target_lock);
    const bool stop = tool_stopping;
    LeaveCriticalSection(&target_lock);
    return stop;
}

void withdraw_target(HANDLE process) {
    EnterCriticalSection(&target_lock);
    if (running_target == process) running_target = NULL;
    LeaveCriticalSection(&target_lock);
}

} // namespace

bool platform_start(const char *application_name, char *command_line, process_ref *started,
                    start_failure *failure, char *reason, std::size_t reason_size) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    setup_stopping();
    // Suspended until it is in the job: a target that has not run yet cannot
    // have started anything that the job would miss.
    if (!CreateProcessA(application_name, command_line, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &si,
                        &pi)) {
        describe_last_error(failure, reason, reason_size);
        return false;
    }
    if (!publish_target(pi.hProcess)) {
        TerminateProcess(pi.hProcess, TERMINATE_EXIT_CODE);
        wait_for_own_end();
    }
    // Inside a job that allows no nested one (before Windows 8) this fails:
    // the target then runs without.
    if (target_job != NULL) AssignProcessToJobObject(target_job, pi.hProcess);
    if (ResumeThread(pi.hThread) == static_cast<DWORD>(-1)) {
        describe_last_error(failure, reason, reason_size);
        *failure = start_failure::refused;
        withdraw_target(pi.hProcess);
        TerminateProcess(pi.hProcess, TERMINATE_EXIT_CODE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return false;
    }
    started->process = value_of(pi.hProcess);
    started->thread = value_of(pi.hThread);
    return true;
}

wait_outcome platform_wait(const process_ref &started, uint32_t timeout_ms) {
    switch (WaitForSingleObject(handle_of(started.process), timeout_ms)) {
    case WAIT_OBJECT_0:
        // Ended by the console handler: the status line stays as it was.
        if (stopping()) wait_for_own_end();
        return wait_outcome::ended;
    case WAIT_TIMEOUT:
        return wait_outcome::timed_out;
    default:
        return wait_outcome::failed;
    }
}

bool platform_terminate(const process_ref &started, uint32_t exit_code) {
    return TerminateProcess(handle_of(started.process), exit_code) != 0;
}

void platform_close(process_ref *started) {
    if (started->process != 0) {
        withdraw_target(handle_of(started->process));
        CloseHandle(handle_of(started->process));
    }
    if (started->thread != 0) CloseHandle(handle_of(started->thread));
    started->process = 0;
    started->thread = 0;
}

uint32_t platform_tick_ms() { return GetTickCount(); }

void platform_local_time(calendar_time *now) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    *now = from_system_time(st);
}

bool platform_time_to_units(const calendar_time &time, uint64_t *units) {
    const SYSTEMTIME st = to_system_time(time);
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return false;
    *units = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return true;
}

bool platform_units_to_time(uint64_t units, calendar_time *time) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(units);
    ft.dwHighDateTime = static_cast<DWORD>(units >> 32);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return false;
    *time = from_system_time(st);
    return true;
}

intptr_t platform_create_sleeper() {
    // Manual reset, never set: a wait on it lasts its whole time-out.
    return value_of(CreateEventA(NULL, TRUE, FALSE, NULL));
}

void platform_sleep(intptr_t sleeper, uint32_t timeout_ms) {
    const DWORD start = GetTickCount();
    if (sleeper != 0 && WaitForSingleObject(handle_of(sleeper), timeout_ms) == WAIT_TIMEOUT) return;
    // No event, or the wait came back before its time: sleep out the rest.
    for (;;) {
        const DWORD slept = GetTickCount() - start;
        if (slept >= timeout_ms) return;
        Sleep(timeout_ms - slept);
    }
}

void platform_close_sleeper(intptr_t sleeper) {
    if (sleeper != 0) CloseHandle(handle_of(sleeper));
}

const char *platform_executable_suffix() { return ".exe"; }

const char *platform_directory_separators() { return "\\/:"; }

const char *platform_option_marks() { return "-/"; }

uint32_t platform_version_info_size(const char *file_name) {
    DWORD handle_dummy = 0;
    return GetFileVersionInfoSizeA(file_name, &handle_dummy);
}

bool platform_read_version_info(const char *file_name, uint32_t size, void *block) {
    return GetFileVersionInfoA(file_name, 0, size, block) != 0;
}

bool platform_query_version_value(const void *block, const char *path, const char **value) {
    // VerQueryValueA matches the keys without regard to case.
    LPVOID pointer = NULL;
    UINT length = 0;
    if (!VerQueryValueA(block, path, &pointer, &length) || pointer == NULL) return false;
    *value = static_cast<const char *>(pointer);
    return true;
}

void *platform_alloc_zeroed(uint32_t size) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size); }

void platform_free(void *block) { LocalFree(block); }

void platform_setup_output() {
    // Set either way: the defaults differ between runtimes and under Wine.
    if (_isatty(_fileno(stdout))) {
        std::setvbuf(stdout, NULL, _IONBF, 0);
    } else {
        std::setvbuf(stdout, NULL, _IOFBF, OUTPUT_BLOCK_SIZE);
    }
    std::setvbuf(stderr, NULL, _IONBF, 0);
}

bool platform_tool_words(int, char **, int *word_count, const char *const **words) {
    // The runtime's argv follows its own quoting rules; the tool splits the
    // raw command line by its own.
    static char own_name[COMMAND_LINE_SIZE];
    static char word_text[COMMAND_LINE_SIZE + 1];
    static const char *word_list[MAX_TOOL_WORDS + 1];

    const char *text = GetCommandLineA();
    if (text == NULL) text = "";
    if (*text == '\0') {
        const DWORD n = GetModuleFileNameA(NULL, own_name, static_cast<DWORD>(sizeof own_name));
        own_name[n < sizeof own_name ? n : sizeof own_name - 1] = '\0';
    }
    std::size_t count = 0;
    if (!split_words(text, own_name, word_text, sizeof word_text, word_list, MAX_TOOL_WORDS, &count)) {
        return false;
    }
    word_list[count] = NULL;
    *word_count = static_cast<int>(count);
    *words = word_list;
    return true;
}
