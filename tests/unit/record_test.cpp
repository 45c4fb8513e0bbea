// record_test.cpp: the run record's JSON text and the records of a loop against the scripted platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cycle_loop.h"
#include "fake_platform.h"
#include "run_record.h"
#include "settings.h"

namespace {

std::string as_json(const std::string &bytes, std::size_t size = 256) {
    std::vector<char> buffer(size);
    json_text j;
    json_start(&j, buffer.data(), buffer.size());
    json_add_string(&j, bytes.data(), bytes.size());
    return j.overflow ? "<overflow>" : std::string(j.text, j.length);
}

calendar_time at(uint16_t hour, uint16_t minute, uint16_t second, uint16_t ms) {
    return calendar_time{2026, 12, 0, 9, hour, minute, second, ms};
}

struct tool_run {
    int status;
    bool ended_by_stop;
    std::string output;
    std::string errors;
};

tool_run run_tool(std::vector<const char *> words) {
    words.insert(words.begin(), "kadron");
    tool_run r{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        r.status = kadron_main(static_cast<int>(words.size()), words.data());
    } catch (const fake_tool_ended &) {
        r.ended_by_stop = true;
    }
    std::fflush(stdout);
    r.errors = testing::internal::GetCapturedStderr();
    r.output = testing::internal::GetCapturedStdout();
    return r;
}

std::vector<std::string> lines_to(const std::string &path) {
    std::vector<std::string> found;
    for (const fake_line &l : fake_lines()) {
        if (l.path == path) found.push_back(l.text);
    }
    return found;
}

void reset_with_log(const char *value) {
    fake_reset(0, at(23, 59, 59, 990));
    fake_set_setting("KADRON_LOG", value);
}

const std::string BEGIN_PREFIX =
    "{\"event\":\"begin\",\"tool_pid\":4242,\"time\":\"2026-12-09T23:59:59.990Z\",";

} // namespace

TEST(JsonText, EscapesControlsAndQuotesAndKeepsOnlyValidUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {std::string("\x01\x1f\x7f\0", 4), "\"\\u0001\\u001f\\u007f\\u0000\""},
        {"\xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\x80", "\"\\u0080\""},                                  // a lone continuation byte
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                       // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},            // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // past U+10FFFF
        {"\xe2\x82", "\"\\u00e2\\u0082\""},                       // cut short
        {"\xc3"
         "A",
         "\"\\u00c3A\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(as_json(c.in), c.out) << c.out;
    // What does not fit is never cut into half a text.
    EXPECT_EQ(as_json("abcdef", 6), "<overflow>");
}

TEST(RunRecord, TheLongestBeginRecordFitsItsBuffer) {
    reset_with_log("run.log");
    fake_plan({planned_run::cannot_start, 0});
    const std::string program(259, '\x01');
    const std::string arguments(258, '\x01');
    const tool_run r = run_tool({program.c_str(), arguments.c_str(), "1", "1", "wait"});
    const std::vector<std::string> lines = lines_to("run.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), lines[0].find("\"cycle_ms\"") +
                                   std::string("\"cycle_ms\":1,\"run_ms\":1,\"mode\":\"wait\"}\n").size());
    EXPECT_NE(lines[0].find("\"arguments\":\"\\u0001"), std::string::npos);
    EXPECT_EQ(r.status, 126);
}

TEST(RunRecord, EveryRunAndTheFailedStartInOrder) {
    reset_with_log("run.log");
    fake_plan({planned_run::ends_after, 10, 3});
    fake_plan({planned_run::never_ends, 0});
    fake_plan({planned_run::ends_after, 20, 0, "SIGSEGV"});
    fake_plan({planned_run::never_ends, 0, 0, nullptr, true});
    fake_plan({planned_run::not_found, 0});
    const tool_run r = run_tool({"./probe", "a \"b\"", "1000", "100", "nowait"});
    EXPECT_EQ(r.status, 127);
    const std::vector<std::string> lines = lines_to("run.log");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], BEGIN_PREFIX + "\"version\":\"0.0.0.0\",\"program\":\"./probe\","
                                       "\"arguments\":\"a \\\"b\\\"\",\"cycle_ms\":1000,\"run_ms\":100,"
                                       "\"mode\":\"nowait\"}\n");
    EXPECT_EQ(
        lines[1],
        "{\"event\":\"run\",\"tool_pid\":4242,\"count\":1,\"target_pid\":100,"
        "\"start\":\"2026-12-09T23:59:59.990Z\",\"end\":\"2026-12-10T00:00:00.000Z\","
        "\"duration_ms\":10,\"result\":\"exited\",\"exit_code\":3,\"signal\":null,\"others_ended\":0}\n");
    EXPECT_NE(lines[2].find("\"count\":2,\"target_pid\":101,"), std::string::npos);
    EXPECT_NE(
        lines[2].find("\"duration_ms\":100,\"result\":\"forced\",\"exit_code\":null,\"signal\":\"SIGKILL\","
                      "\"others_ended\":0}"),
        std::string::npos);
    EXPECT_NE(lines[3].find(
                  "\"result\":\"signaled\",\"exit_code\":null,\"signal\":\"SIGSEGV\",\"others_ended\":0}"),
              std::string::npos);
    EXPECT_NE(
        lines[4].find("\"result\":\"not_ended\",\"exit_code\":null,\"signal\":null,\"others_ended\":0}"),
        std::string::npos);
    EXPECT_EQ(lines[5].substr(lines[5].find("\"count\"")),
              "\"count\":5,\"time\":\"2026-12-10T00:00:03.990Z\",\"exit_status\":127,"
              "\"reason\":\"scripted failure\"}\n");
    // The forced end that failed is told on standard error, by the target's pid.
    EXPECT_NE(r.errors.find(
                  "kadron: cannot end process 103 at the end of its run time: scripted refusal; it may run "
                  "on\n"),
              std::string::npos);
    // Standard output is as it is without a record.
    EXPECT_EQ(r.output.find('{'), std::string::npos);
}

TEST(RunRecord, AStopEndsTheToolAfterItsEndRecord) {
    reset_with_log("-");
    fake_set_error_joins_output(true);
    fake_plan({planned_run::ends_after, 10});
    fake_plan({planned_run::stopped, 50});
    tool_run r = run_tool({"./probe", "", "1000", "100"});
    EXPECT_TRUE(r.ended_by_stop);
    std::vector<std::string> lines = lines_to("");
    ASSERT_EQ(lines.size(), 3u);
    // The status line is open on the same screen: a record starts below it, not inside it.
    EXPECT_EQ(lines[0].rfind("{\"event\":\"begin\"", 0), 0u);
    EXPECT_EQ(lines[1].rfind("\n{\"event\":\"run\"", 0), 0u);
    EXPECT_EQ(
        lines[2].substr(lines[2].find("\"count\"")),
        "\"count\":2,\"time\":\"2026-12-10T00:00:01.040Z\",\"cause\":\"SIGTERM\",\"target\":\"forced\"}\n");
    EXPECT_EQ(fake_calls().back().kind, call_kind::finish_stop);
    // The stopped run gets no run record, and nothing is started after the stop.
    EXPECT_EQ(fake_calls_of(call_kind::start).size(), 2u);

    reset_with_log("run.log");
    fake_plan({planned_run::ends_after, 10});
    fake_stop_in_sleep_after(1);
    r = run_tool({"./probe", "", "1000", "100"});
    EXPECT_TRUE(r.ended_by_stop);
    lines = lines_to("run.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("\"count\":1,"), std::string::npos);
    EXPECT_NE(lines[2].find("\"target\":\"none\"}\n"), std::string::npos);
}

TEST(RunRecord, AnUnwritableRecordEnds125FirstAndIsToldOncePerSpellLater) {
    reset_with_log("/gone/run.log");
    fake_fail_appends("No such file or directory");
    fake_plan({planned_run::ends_after, 10});
    tool_run r = run_tool({"./probe", "", "1000", "100"});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.errors,
              "kadron: cannot write the run record to \"/gone/run.log\": No such file or directory\n");
    EXPECT_TRUE(fake_calls_of(call_kind::start).empty());
    // Standard output ends with the settings echo.
    EXPECT_EQ(r.output.substr(r.output.size() - 3), " \n\n");

    reset_with_log("run.log");
    for (int i = 0; i < 5; ++i)
        fake_plan({planned_run::ends_after, 10});
    // The records of runs 1 and 2 fail, the first after 5 bytes; run 3's is written; run 4's fails.
    fake_fail_appends("No space left on device", 5, 2, 3);
    r = run_tool({"./probe", "", "1000", "100"});
    EXPECT_EQ(r.status, 126);
    const std::string warning =
        "kadron: cannot write the run record to \"run.log\": No space left on device; the "
        "runs go on (said again only after a record was written)\n";
    EXPECT_EQ(r.errors, warning + "kadron: cannot start \"./probe\": scripted failure\n");
    const std::vector<std::string> lines = lines_to("run.log");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "{\"eve");
    // After the cut line, the next record starts on a line of its own.
    EXPECT_EQ(lines[3].rfind("\n{\"event\":\"run\",\"tool_pid\":4242,\"count\":3,", 0), 0u);
    EXPECT_EQ(lines[4].rfind("{\"event\":\"run\",\"tool_pid\":4242,\"count\":4,", 0), 0u);

    reset_with_log("run.log");
    for (int i = 0; i < 3; ++i)
        fake_plan({planned_run::ends_after, 10});
    fake_fail_appends("Input/output error", 0, 2, 2);
    fake_fail_appends("Input/output error", 0, 4, 4);
    r = run_tool({"./probe", "", "1000", "100"});
    // A record written in between ends the spell: the next failure is told again.
    const std::string io_warning =
        "kadron: cannot write the run record to \"run.log\": Input/output error; the "
        "runs go on (said again only after a record was written)\n";
    EXPECT_EQ(r.errors, io_warning + io_warning + "kadron: cannot start \"./probe\": scripted failure\n");
}

TEST(RunRecord, WithoutTheSettingNothingIsWrittenOrAsked) {
    fake_reset(0, at(9, 0, 0, 0));
    fake_plan({planned_run::ends_after, 10, 3});
    fake_plan({planned_run::never_ends, 0});
    const tool_run r = run_tool({"./probe", "", "1000", "100"});
    EXPECT_EQ(r.status, 126);
    EXPECT_TRUE(fake_calls_of(call_kind::append).empty());
    EXPECT_EQ(r.errors, "kadron: cannot start \"./probe\": scripted failure\n");
}

TEST(RunEnding, TheSettingsAreReadWithOneWarningForAnythingElse) {
    const struct {
        const char *tree, *grace;
        bool kill_tree;
        uint32_t grace_ms;
        std::string errors;
    } cases[] = {
        {nullptr, nullptr, false, 0, ""},
        {"1", "4294967295", true, 4294967295u, ""},
        {"0", "", false, 0, ""},
        {"", "0", false, 0, ""},
        {"yes", "4294967296", false, 0,
         "kadron: KADRON_KILL_TREE \"yes\" read as off (only 1 turns it on)\n"
         "kadron: KADRON_GRACE_MS \"4294967296\" read as 0 ms (digits only, at most 4294967295)\n"},
        {"1 ", "+5", false, 0,
         "kadron: KADRON_KILL_TREE \"1 \" read as off (only 1 turns it on)\n"
         "kadron: KADRON_GRACE_MS \"+5\" read as 0 ms (digits only, at most 4294967295)\n"},
        {nullptr, " 5", false, 0,
         "kadron: KADRON_GRACE_MS \" 5\" read as 0 ms (digits only, at most 4294967295)\n"},
    };
    for (const auto &c : cases) {
        fake_reset(0, at(9, 0, 0, 0));
        fake_set_setting("KADRON_KILL_TREE", c.tree);
        fake_set_setting("KADRON_GRACE_MS", c.grace);
        run_ending ending{true, 7};
        testing::internal::CaptureStderr();
        read_run_ending(&ending);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errors);
        EXPECT_EQ(ending.kill_tree, c.kill_tree);
        EXPECT_EQ(ending.grace_ms, c.grace_ms);
    }
}

TEST(RunEnding, AskedFirstThenForcedAfterTheGraceAndTheTreeSweptAfterEveryRun) {
    reset_with_log("run.log");
    fake_set_setting("KADRON_KILL_TREE", "1");
    fake_set_setting("KADRON_GRACE_MS", "300");
    fake_plan({planned_run::ends_after, 10, 0, nullptr, false, -1, 2});   // ends by itself
    fake_plan({planned_run::never_ends, 0, 5, "SIGTERM", false, 120, 0}); // dies of the request
    fake_plan({planned_run::never_ends, 0, 0, nullptr, false, -1, 1});    // ignores it
    const tool_run r = run_tool({"./probe", "", "5000", "1000"});
    EXPECT_EQ(r.status, 126);
    const std::vector<fake_call> asks = fake_calls_of(call_kind::ask_to_end);
    ASSERT_EQ(asks.size(), 2u);
    const std::vector<fake_call> ends = fake_calls_of(call_kind::terminate);
    ASSERT_EQ(ends.size(), 1u);
    // Forced only once the grace is over.
    EXPECT_EQ(ends[0].at_ms - asks[1].at_ms, 300u);
    const std::vector<fake_call> sweeps = fake_calls_of(call_kind::end_tree);
    ASSERT_EQ(sweeps.size(), 3u);
    EXPECT_EQ(sweeps[0].ms, 2000u);
    const std::vector<std::string> lines = lines_to("run.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[1].find("\"result\":\"exited\",\"exit_code\":0,\"signal\":null,\"others_ended\":2}"),
              std::string::npos);
    EXPECT_NE(
        lines[2].find("\"duration_ms\":1120,\"result\":\"stopped\",\"exit_code\":null,\"signal\":\"SIGTERM\","
                      "\"others_ended\":0}"),
        std::string::npos);
    EXPECT_NE(lines[3].find("\"duration_ms\":1300,\"result\":\"forced\""), std::string::npos);
    EXPECT_NE(lines[3].find("\"others_ended\":1}"), std::string::npos);
    // Settings made once, before the first start.
    ASSERT_EQ(fake_calls_of(call_kind::set_run_ending).size(), 1u);
    EXPECT_EQ(fake_calls_of(call_kind::set_run_ending)[0].ms, 3u);
}

TEST(RunEnding, AStopDuringTheGraceIsPromptAndWithoutTheSettingsNothingIsAsked) {
    reset_with_log("run.log");
    fake_set_setting("KADRON_GRACE_MS", "60000");
    fake_plan({planned_run::stopped, 1500});
    tool_run r = run_tool({"./probe", "", "5000", "1000"});
    EXPECT_TRUE(r.ended_by_stop);
    EXPECT_EQ(fake_calls_of(call_kind::ask_to_end).size(), 1u);
    EXPECT_TRUE(fake_calls_of(call_kind::terminate).empty());
    EXPECT_EQ(fake_now_ms(), 1500u);

    fake_reset(0, at(9, 0, 0, 0));
    fake_set_setting("KADRON_KILL_TREE", "1");
    fake_refuse_tree(true);
    fake_plan({planned_run::never_ends, 0});
    r = run_tool({"./probe", "", "5000", "1000"});
    EXPECT_NE(r.errors.find("kadron: KADRON_KILL_TREE: the processes a target starts are not covered here "
                            "(scripted: no job); only the target ends with its run\n"),
              std::string::npos);

    fake_reset(0, at(9, 0, 0, 0));
    fake_plan({planned_run::never_ends, 0});
    run_tool({"./probe", "", "5000", "1000"});
    EXPECT_TRUE(fake_calls_of(call_kind::ask_to_end).empty());
    EXPECT_TRUE(fake_calls_of(call_kind::end_tree).empty());
    EXPECT_TRUE(fake_calls_of(call_kind::set_run_ending).empty());
}
