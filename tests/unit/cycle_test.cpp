// cycle_test.cpp: the cycle loop and the supervised run against the scripted platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cycle_loop.h"
#include "fake_platform.h"
#include "run_record.h"
#include "supervised_run.h"

namespace {

const std::string BLANK = "\r" + std::string(78, ' ');
const std::string FAILED = "\n\nCreateProcess failed.\n\n";

calendar_time at(uint16_t hour, uint16_t minute, uint16_t second, uint16_t ms) {
    return calendar_time{2026, 12, 0, 8, hour, minute, second, ms};
}

run_settings make_settings(uint32_t cycle_ms, uint32_t run_ms) {
    run_settings s{};
    std::snprintf(s.program_path_and_name, sizeof s.program_path_and_name, "%s", "C:\\probe.exe");
    std::snprintf(s.command_line_arguments, sizeof s.command_line_arguments, "%s", " sample.txt");
    s.cycle_time_in_milliseconds = cycle_ms;
    s.run_time_in_milliseconds = run_ms;
    s.wait_mode = true;
    return s;
}

struct loop_result {
    int status;
    std::string output;
};

loop_result run_loop(const run_settings &s) {
    testing::internal::CaptureStdout();
    record_log log{};
    const int status = cycle_loop(s, &log);
    std::fflush(stdout);
    return loop_result{status, testing::internal::GetCapturedStdout()};
}

std::string cycle_text(unsigned long count, const char *started, const char *next) {
    std::string text = BLANK + "\rKADRON count #" + std::to_string(count) + "  started at " + started;
    if (next != nullptr) text += std::string("   next at ") + next;
    return text;
}

std::vector<uint32_t> sleeps() {
    std::vector<uint32_t> ms;
    for (const fake_call &c : fake_calls_of(call_kind::sleep))
        ms.push_back(c.ms);
    return ms;
}

} // namespace

TEST(CycleLoop, ForcedEndThenSleepsTheRestOfTheCycle) {
    fake_reset(1000, at(14, 5, 9, 120));
    fake_plan({planned_run::never_ends, 0});
    const loop_result r = run_loop(make_settings(15000, 5000));
    EXPECT_EQ(r.status, 126);
    EXPECT_EQ(r.output, cycle_text(1, "14:05:09,120", "14:05:24,120") +
                            cycle_text(2, "14:05:24,120", nullptr) + FAILED);

    const std::vector<fake_call> &calls = fake_calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[0].kind, call_kind::create_sleeper);
    EXPECT_EQ(calls[1].kind, call_kind::start);
    EXPECT_EQ(calls[1].application, "C:\\probe.exe");
    EXPECT_EQ(calls[1].command_line, " sample.txt");
    EXPECT_EQ(calls[2].kind, call_kind::wait);
    EXPECT_EQ(calls[2].ms, 5000u);
    EXPECT_EQ(calls[3].kind, call_kind::terminate);
    EXPECT_EQ(calls[3].ms, 42u);
    EXPECT_EQ(calls[4].kind, call_kind::close);
    EXPECT_EQ(calls[5].kind, call_kind::sleep);
    EXPECT_EQ(calls[5].ms, 10000u);
    EXPECT_EQ(calls[6].kind, call_kind::start);
    EXPECT_EQ(calls[7].kind, call_kind::close_sleeper);
}

TEST(CycleLoop, EarlyEndIsNotTouchedAndTheWholeCycleIsKept) {
    fake_reset(0, at(8, 0, 0, 0));
    fake_plan({planned_run::ends_after, 500});
    fake_plan({planned_run::ends_after, 500});
    const loop_result r = run_loop(make_settings(15000, 5000));
    EXPECT_EQ(r.output, cycle_text(1, "08:00:00,000", "08:00:15,000") +
                            cycle_text(2, "08:00:15,000", "08:00:30,000") +
                            cycle_text(3, "08:00:30,000", nullptr) + FAILED);
    EXPECT_TRUE(fake_calls_of(call_kind::terminate).empty());
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{14500, 14500}));
    // Every started program is closed, and the handles once each.
    EXPECT_EQ(fake_calls_of(call_kind::close).size(), 2u);
}

TEST(CycleLoop, RunAsLongAsTheCycleStartsTheNextAtOnce) {
    fake_reset(0, at(10, 0, 0, 0));
    fake_plan({planned_run::never_ends, 0});
    fake_plan({planned_run::ends_after, 7000}); // outlives the cycle: ended at 5000
    const loop_result r = run_loop(make_settings(5000, 5000));
    EXPECT_EQ(r.output, cycle_text(1, "10:00:00,000", "10:00:05,000") +
                            cycle_text(2, "10:00:05,000", "10:00:10,000") +
                            cycle_text(3, "10:00:10,000", nullptr) + FAILED);
    EXPECT_TRUE(sleeps().empty());
    EXPECT_EQ(fake_calls_of(call_kind::terminate).size(), 2u);
}

TEST(CycleLoop, NowaitCycleBelowTheRunTime) {
    fake_reset(0, at(10, 0, 0, 0));
    fake_plan({planned_run::ends_after, 300});
    fake_plan({planned_run::never_ends, 0});
    run_settings s = make_settings(500, 5000);
    s.wait_mode = false;
    const loop_result r = run_loop(s);
    EXPECT_EQ(r.output, cycle_text(1, "10:00:00,000", "10:00:00,500") +
                            cycle_text(2, "10:00:00,500", "10:00:05,500") +
                            cycle_text(3, "10:00:05,500", nullptr) + FAILED);
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{200}));
}

TEST(CycleLoop, NextStartPastMidnightShowsTheNextDay) {
    fake_reset(0, at(23, 59, 50, 500));
    fake_plan({planned_run::never_ends, 0});
    const loop_result r = run_loop(make_settings(15000, 5000));
    EXPECT_EQ(r.output, cycle_text(1, "23:59:50,500", "00:00:05,500") +
                            cycle_text(2, "00:00:05,500", nullptr) + FAILED);
}

TEST(CycleLoop, TickWrapInsideARunMeasuresTheRightDuration) {
    fake_reset(4294967295u - 1000u, at(12, 0, 0, 0));
    fake_plan({planned_run::never_ends, 0});
    fake_plan({planned_run::ends_after, 2500});
    run_loop(make_settings(15000, 5000));
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{10000, 12500}));
}

TEST(CycleLoop, StartTimeIsNotPartOfTheMeasuredRun) {
    fake_reset(0, at(12, 0, 0, 0));
    fake_set_start_cost(40);
    fake_plan({planned_run::never_ends, 0});
    const loop_result r = run_loop(make_settings(15000, 5000));
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{10000}));
    // The next start is the end of the run plus the rest of the cycle.
    EXPECT_EQ(r.output.substr(0, cycle_text(1, "12:00:00,000", "12:00:15,040").size()),
              cycle_text(1, "12:00:00,000", "12:00:15,040"));
}

TEST(CycleLoop, LongestRemainingTimeIsSleptAndThenGoesOn) {
    fake_reset(0, at(12, 0, 0, 0));
    fake_plan({planned_run::ends_after, 0});
    run_settings s = make_settings(4294967295u, 0);
    s.wait_mode = false;
    const loop_result r = run_loop(s);
    // Two finite waits: 4294967295 ms as one would never end. It is 49 days 17:02:47,295.
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{4294967294u, 1u}));
    EXPECT_EQ(fake_calls_of(call_kind::start).size(), 2u);
    EXPECT_EQ(r.output, cycle_text(1, "12:00:00,000", "05:02:47,295") +
                            cycle_text(2, "05:02:47,295", nullptr) + FAILED);
}

TEST(CycleLoop, FailedFirstStartEndsWith127Or126AndAHintWhereTheWordsSuggestOne) {
    const std::string reason = std::string(": ") + FAKE_START_REASON + "\n";
    const std::string options_hint = "kadron: there are no options; the first word is the program to start "
                                     "(run kadron alone for the usage)\n";
    const std::string path_hint = "kadron: the search path is not used; give a path such as ./NAME\n";
    struct {
        planned_run::kind_t plan;
        const char *program;
        int status;
        std::string hint;
    } const cases[] = {
        {planned_run::not_found, "probe", 127, path_hint},
        {planned_run::not_found, "--help", 127, options_hint},
        {planned_run::not_found, "./gone/probe", 127, ""},
        {planned_run::not_found, "", 127, ""},
        {planned_run::cannot_start, "probe", 126, ""},
        {planned_run::cannot_start, "-x", 126, ""},
    };
    for (const auto &c : cases) {
        fake_reset(0, at(9, 30, 0, 5));
        fake_plan({c.plan, 0});
        run_settings s = make_settings(15000, 5000);
        std::snprintf(s.program_path_and_name, sizeof s.program_path_and_name, "%s", c.program);
        testing::internal::CaptureStderr();
        const loop_result r = run_loop(s);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.status, c.status) << c.program;
        EXPECT_EQ(r.output, cycle_text(1, "09:30:00,005", nullptr) + FAILED) << c.program;
        EXPECT_EQ(errors, std::string("kadron: cannot start \"") + c.program + "\"" + reason + c.hint);
        EXPECT_TRUE(fake_calls_of(call_kind::wait).empty());
        EXPECT_TRUE(fake_calls_of(call_kind::close).empty());
        EXPECT_EQ(fake_calls_of(call_kind::close_sleeper).size(), 1u);
    }
}

TEST(CycleLoop, CountsUpFromOneAsUnsignedDecimal) {
    fake_reset(0, at(9, 0, 0, 0));
    for (int i = 0; i < 11; ++i)
        fake_plan({planned_run::ends_after, 10});
    const loop_result r = run_loop(make_settings(1000, 100));
    EXPECT_NE(r.output.find("\rKADRON count #9  started at 09:00:08,000   next at 09:00:09,000"),
              std::string::npos);
    EXPECT_NE(r.output.find("\rKADRON count #11  started at 09:00:10,000   next at 09:00:11,000"),
              std::string::npos);
    EXPECT_NE(r.output.find("\rKADRON count #12  started at 09:00:11,000\n\nCreateProcess failed."),
              std::string::npos);
}

TEST(CycleLoop, MissingSleepObjectStillSleeps) {
    fake_reset(0, at(9, 0, 0, 0));
    fake_fail_sleeper(true);
    fake_plan({planned_run::ends_after, 100});
    run_loop(make_settings(1000, 500));
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{900}));
}

TEST(RunOnce, ReportsTheDurationAndLeavesItOnFailure) {
    fake_reset(0, at(9, 0, 0, 0));
    fake_plan({planned_run::ends_after, 300});
    fake_plan({planned_run::never_ends, 0});
    char args[] = " x";
    run_details details{};
    uint32_t elapsed_ms = 5000;
    EXPECT_EQ(run_once("p", args, run_ending{}, &elapsed_ms, false, &details), run_status::ran);
    EXPECT_EQ(elapsed_ms, 300u);
    elapsed_ms = 0; // run time 0: ended at once
    EXPECT_EQ(run_once("p", args, run_ending{}, &elapsed_ms, false, &details), run_status::ran);
    EXPECT_EQ(elapsed_ms, 0u);
    EXPECT_EQ(fake_calls_of(call_kind::terminate).size(), 1u);
    elapsed_ms = 1234;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_once("p", args, run_ending{}, &elapsed_ms, false, &details), run_status::not_started);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("kadron: cannot start \"p\": ") + FAKE_START_REASON + "\n");
    EXPECT_EQ(elapsed_ms, 1234u);
    EXPECT_EQ(details.failure, start_failure::refused);
}

TEST(RunOnce, RunTimeHoldsWhenTheWaitFailsAndTheLongestOneHasNoLimit) {
    fake_reset(0, at(9, 0, 0, 0));
    fake_plan({planned_run::wait_fails, 10000});       // fails all through the run time
    fake_plan({planned_run::wait_fails, 300});         // fails for a while, then has ended
    fake_plan({planned_run::ends_after, 6000000000u}); // longer than 2^32 ms
    char args[] = " x";
    run_details details{};
    uint32_t elapsed_ms = 5000;
    EXPECT_EQ(run_once("p", args, run_ending{}, &elapsed_ms, false, &details), run_status::ran);
    EXPECT_EQ(elapsed_ms, 5000u);
    const std::vector<fake_call> ends = fake_calls_of(call_kind::terminate);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].at_ms, 5000u);
    EXPECT_LE(fake_calls_of(call_kind::wait).size(), 100u); // tried again now and then, not in a tight loop

    const std::size_t first_wait = fake_calls_of(call_kind::wait).size();
    for (const uint64_t lasts_ms : {300ull, 6000000000ull}) {
        elapsed_ms = WAIT_FOREVER_MS;
        EXPECT_EQ(run_once("p", args, run_ending{}, &elapsed_ms, false, &details), run_status::ran);
        EXPECT_EQ(elapsed_ms, static_cast<uint32_t>(lasts_ms));
    }
    EXPECT_EQ(fake_calls_of(call_kind::terminate).size(), 1u);
    const std::vector<fake_call> waits = fake_calls_of(call_kind::wait);
    for (std::size_t i = first_wait; i < waits.size(); ++i)
        EXPECT_EQ(waits[i].ms, WAIT_FOREVER_MS) << i;
}

TEST(KadronMain, NoProgramGives17AndAProgramRunsTheLoop) {
    fake_reset(0, at(9, 0, 0, 0));
    const char *no_program[] = {"kadron"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(kadron_main(1, no_program), 17);
    const std::string missing = testing::internal::GetCapturedStdout();
    // The banner comes first, also when no program is named.
    EXPECT_EQ(missing.rfind("Velm KADRON is a tool", 0), 0u);
    EXPECT_NE(missing.find(" \n\nprogram_path_and_name missing.\n\n"), std::string::npos);
    EXPECT_TRUE(fake_calls_of(call_kind::start).empty());

    fake_plan({planned_run::ends_after, 10});
    const char *words[] = {"kadron", "probe", "a b", "100", "50", "wait"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(kadron_main(6, words), 126);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("KADRON starts process every 100 milliseconds \n"), std::string::npos);
    ASSERT_EQ(fake_calls_of(call_kind::start).size(), 2u);
    EXPECT_EQ(fake_calls_of(call_kind::start)[0].command_line, " a b");
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{90}));
}
