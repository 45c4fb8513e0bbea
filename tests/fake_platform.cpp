// fake_platform.cpp: the scripted world behind the platform header.
#include "fake_platform.h"

#include <cstdio>
#include <cstring>
#include <deque>

#include "calendar.h"
#include "text.h"

namespace {

struct world {
    uint32_t tick_base = 0;
    uint64_t clock_base_units = 0;
    uint64_t now_ms = 0;
    uint32_t start_cost_ms = 0;
    bool fail_sleeper = false;
    std::deque<planned_run> plans;
    planned_run current{planned_run::never_ends, 0};
    uint64_t current_started_ms = 0;
    bool current_open = false;
    std::vector<fake_call> calls;
    fake_version version;
    int blocks_in_use = 0;
    std::size_t block_size = 0;
    uint32_t runs_started = 0;
    uint32_t stop_in_sleep_after = 0;
    bool stop_forced_target = false;
    bool stop_pending = false;
    bool joins_output = false;
    bool refuse_tree = false;
    bool asked = false;
    uint64_t asked_at_ms = 0;
    std::vector<std::pair<std::string, std::string>> settings;
    std::string append_failure;
    uint32_t appends = 0;
    std::vector<std::pair<uint32_t, uint32_t>> failing;
    std::size_t append_written = 0;
    std::vector<fake_line> lines;
};

world w;

void record(call_kind kind, uint32_t ms, const char *application = "", const char *command_line = "") {
    w.calls.push_back(fake_call{kind, ms, w.now_ms, application, command_line});
}

} // namespace

void fake_reset(uint32_t tick_ms, const calendar_time &clock) {
    w = world{};
    w.tick_base = tick_ms;
    calendar_to_units(clock, &w.clock_base_units);
}

void fake_set_version(const fake_version &version) { w.version = version; }
int fake_blocks_in_use() { return w.blocks_in_use; }

void fake_plan(planned_run run) { w.plans.push_back(run); }
void fake_set_start_cost(uint32_t ms) { w.start_cost_ms = ms; }
void fake_fail_sleeper(bool fail) { w.fail_sleeper = fail; }
void fake_stop_in_sleep_after(uint32_t run) { w.stop_in_sleep_after = run; }
void fake_set_error_joins_output(bool joins) { w.joins_output = joins; }
void fake_refuse_tree(bool refuse) { w.refuse_tree = refuse; }
const std::vector<fake_line> &fake_lines() { return w.lines; }

void fake_set_setting(const char *name, const char *value) {
    for (auto &entry : w.settings) {
        if (entry.first == name) {
            entry.second = value == nullptr ? std::string("\x01unset") : value;
            return;
        }
    }
    w.settings.emplace_back(name, value == nullptr ? std::string("\x01unset") : value);
}

void fake_fail_appends(const char *reason, std::size_t written_bytes, uint32_t first, uint32_t last) {
    w.append_failure = reason;
    w.append_written = written_bytes;
    w.failing.emplace_back(first, last);
}
const std::vector<fake_call> &fake_calls() { return w.calls; }
uint64_t fake_now_ms() { return w.now_ms; }

std::vector<fake_call> fake_calls_of(call_kind kind) {
    std::vector<fake_call> found;
    for (const fake_call &c : w.calls) {
        if (c.kind == kind) found.push_back(c);
    }
    return found;
}

bool platform_start(const char *application_name, char *command_line, process_ref *started,
                    start_failure *failure, char *reason, std::size_t reason_size) {
    record(call_kind::start, 0, application_name, command_line);
    if (w.plans.empty() || w.plans.front().kind == planned_run::cannot_start ||
        w.plans.front().kind == planned_run::not_found) {
        const bool missing = !w.plans.empty() && w.plans.front().kind == planned_run::not_found;
        *failure = missing ? start_failure::not_found : start_failure::refused;
        if (!w.plans.empty()) w.plans.pop_front();
        std::snprintf(reason, reason_size, "%s", FAKE_START_REASON);
        return false;
    }
    w.current = w.plans.front();
    w.plans.pop_front();
    w.now_ms += w.start_cost_ms;
    w.current_started_ms = w.now_ms;
    w.current_open = true;
    w.asked = false;
    started->process = 1;
    started->thread = 2;
    started->id = FAKE_FIRST_TARGET_PID + w.runs_started++;
    return true;
}

wait_outcome platform_wait(const process_ref &, uint32_t timeout_ms) {
    record(call_kind::wait, timeout_ms);
    if (!w.current_open) return wait_outcome::failed;
    const uint64_t ran = w.now_ms - w.current_started_ms;
    if (w.current.kind == planned_run::wait_fails)
        return ran < w.current.ms ? wait_outcome::failed : wait_outcome::ended;
    const bool forever = timeout_ms == WAIT_FOREVER_MS;
    if (w.current.kind == planned_run::stopped && (forever || w.current.ms <= ran + timeout_ms)) {
        if (w.current.ms > ran) w.now_ms += w.current.ms - ran;
        w.stop_pending = true;
        w.stop_forced_target = true;
        return wait_outcome::stopped;
    }
    if (w.current.kind == planned_run::ends_after && (forever || w.current.ms <= ran + timeout_ms)) {
        if (w.current.ms > ran) w.now_ms += w.current.ms - ran;
        return wait_outcome::ended;
    }
    if (w.asked && w.current.ends_when_asked >= 0) {
        const uint64_t end_ms = w.asked_at_ms + static_cast<uint64_t>(w.current.ends_when_asked);
        if (forever || end_ms <= w.now_ms + timeout_ms) {
            if (end_ms > w.now_ms) w.now_ms = end_ms;
            return wait_outcome::ended;
        }
    }
    w.now_ms += timeout_ms;
    return wait_outcome::timed_out;
}

void platform_how_ended(const process_ref &, target_end *how) {
    *how = target_end{};
    if (!w.current_open) return;
    const bool forced =
        w.current.kind != planned_run::ends_after && !(w.asked && w.current.ends_when_asked >= 0);
    const char *signal = forced ? "SIGKILL" : w.current.signal;
    how->by_signal = signal != nullptr;
    how->exit_code = forced ? TERMINATE_EXIT_CODE : w.current.exit_code;
    if (signal != nullptr) std::snprintf(how->signal_name, sizeof how->signal_name, "%s", signal);
}

bool platform_terminate(const process_ref &, uint32_t exit_code, char *reason, std::size_t reason_size) {
    record(call_kind::terminate, exit_code);
    if (!w.current.unkillable) return true;
    std::snprintf(reason, reason_size, "%s", "scripted refusal");
    return false;
}

bool platform_set_run_ending(bool whole_tree, bool ask_first, char *reason, std::size_t reason_size) {
    record(call_kind::set_run_ending, (whole_tree ? 1u : 0u) | (ask_first ? 2u : 0u));
    if (!w.refuse_tree || !whole_tree) return true;
    std::snprintf(reason, reason_size, "%s", "scripted: no job");
    return false;
}

void platform_ask_to_end(const process_ref &) {
    record(call_kind::ask_to_end, 0);
    w.asked = true;
    w.asked_at_ms = w.now_ms;
}

uint32_t platform_end_tree(const process_ref &, uint32_t bound_ms) {
    record(call_kind::end_tree, bound_ms);
    return w.current_open ? w.current.others : 0;
}

void platform_close(process_ref *started) {
    record(call_kind::close, 0);
    w.current_open = false;
    started->process = 0;
    started->thread = 0;
}

uint32_t platform_tick_ms() { return w.tick_base + static_cast<uint32_t>(w.now_ms); }

void platform_local_time(calendar_time *now) {
    calendar_from_units(w.clock_base_units + w.now_ms * UNITS_PER_MS, now);
}

bool platform_time_to_units(const calendar_time &time, uint64_t *units) {
    return calendar_to_units(time, units);
}
bool platform_units_to_time(uint64_t units, calendar_time *time) { return calendar_from_units(units, time); }

intptr_t platform_create_sleeper() {
    record(call_kind::create_sleeper, 0);
    return w.fail_sleeper ? 0 : 7;
}

bool platform_sleep(intptr_t, uint32_t timeout_ms) {
    record(call_kind::sleep, timeout_ms);
    if (w.stop_in_sleep_after != 0 && w.runs_started == w.stop_in_sleep_after && !w.current_open) {
        w.stop_pending = true;
        w.stop_forced_target = false;
        return false;
    }
    w.now_ms += timeout_ms;
    return true;
}

void platform_close_sleeper(intptr_t) { record(call_kind::close_sleeper, 0); }

void platform_stop_report(stop_report *report) {
    *report = stop_report{};
    std::snprintf(report->cause, sizeof report->cause, "%s", w.stop_pending ? "SIGTERM" : "none");
    report->target_forced = w.stop_forced_target;
}

void platform_finish_stop() {
    record(call_kind::finish_stop, 0);
    throw fake_tool_ended{};
}

const char *platform_setting(const char *name) {
    for (const auto &entry : w.settings) {
        if (entry.first == name) return entry.second == "\x01unset" ? nullptr : entry.second.c_str();
    }
    return nullptr;
}

uint32_t platform_process_id() { return FAKE_TOOL_PID; }

// UTC is the calendar clock itself in the fake.
void platform_utc_time(calendar_time *now) { platform_local_time(now); }

bool platform_append_line(const char *path, const char *line, std::size_t length, std::size_t *written,
                          char *reason, std::size_t reason_size) {
    record(call_kind::append, static_cast<uint32_t>(length), path == nullptr ? "" : path);
    ++w.appends;
    bool fails = false;
    for (const auto &range : w.failing)
        fails = fails || (w.appends >= range.first && w.appends <= range.second);
    if (fails) {
        *written = w.append_written < length ? w.append_written : length;
        w.lines.push_back(fake_line{path == nullptr ? "" : path, std::string(line, *written)});
        std::snprintf(reason, reason_size, "%s", w.append_failure.c_str());
        return false;
    }
    *written = length;
    w.lines.push_back(fake_line{path == nullptr ? "" : path, std::string(line, length)});
    return true;
}

bool platform_error_joins_output() { return w.joins_output; }

void platform_text_to_utf8(const char *text, char *out, std::size_t out_size) {
    std::snprintf(out, out_size, "%s", text);
}

const char *platform_current_directory_prefix() { return "./"; }

const char *platform_executable_suffix() { return w.version.suffix.c_str(); }

const char *platform_directory_separators() { return "/"; }

const char *platform_option_marks() { return "-"; }

uint32_t platform_version_info_size(const char *file_name) {
    record(call_kind::version_size, 0, file_name);
    if (w.version.file != file_name) return 0;
    return static_cast<uint32_t>(w.version.entries.size() + 1);
}

bool platform_read_version_info(const char *file_name, uint32_t size, void *block) {
    record(call_kind::version_read, size, file_name);
    if (w.version.fail_read || w.version.file != file_name || size < w.version.entries.size() + 1)
        return false;
    std::memcpy(block, w.version.entries.c_str(), w.version.entries.size() + 1);
    return true;
}

bool platform_query_version_value(const void *block, const char *path, const char **value) {
    // Paths compare without regard to case, as the version API does.
    for (const char *key = static_cast<const char *>(block); *key != '\0';) {
        const char *text = key + std::strlen(key) + 1;
        if (compare_no_case(key, path) == 0) {
            *value = text;
            return true;
        }
        key = text + std::strlen(text) + 1;
    }
    return false;
}

void *platform_alloc_zeroed(uint32_t size) {
    record(call_kind::alloc, size);
    if (w.version.fail_alloc) return nullptr;
    ++w.blocks_in_use;
    w.block_size = size;
    return new char[size]();
}

void platform_free(void *block) {
    record(call_kind::free, 0);
    --w.blocks_in_use;
    // Overwritten first, as a freed block may be: a text still read from it shows.
    std::memset(block, '#', w.block_size);
    delete[] static_cast<char *>(block);
}

void platform_setup_output() {}

bool platform_tool_words(int argc, char **argv, int *word_count, const char *const **words) {
    *word_count = argc;
    *words = argv;
    return true;
}
