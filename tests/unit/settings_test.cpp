// settings_test.cpp: the command line, the usage block and the settings echo, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.h"
#include "text.h"

namespace {

const std::string USAGE = "Usage:  KADRON program_path_and_name [command_line_arguments \n"
                          "                 [cycle_time_in_milliseconds [run_time_in_milliseconds \n"
                          "                 [nowait | wait]]]] \n"
                          "Sample: KADRON %SystemRoot%\\system32\\notepad.exe sample.txt 15000 5000 \n"
                          "Hints:  - if program_path_and_name / command_line_arguments contain blanks \n"
                          "          enclose the parameter in \"\" \n"
                          "        - specify the full path and file name and extension of the program. \n"
                          "          Without the full path KADRON will not use the search path \n"
                          "          but uses the current drive and current directory. \n"
                          "        - set command_line_arguments = \"\" if you don't want to specify \n"
                          "          command line arguments but cycle / run time \n";

std::string echo(const std::string &path, const std::string &args, const std::string &cycle,
                 const std::string &run, bool wait) {
    return "Close this CMD window to stop KADRON. \n\n"
           "KADRON starts this process: " +
           path + " \nKADRON starts process with this command line args:" + args +
           " \nKADRON starts process every " + cycle + " milliseconds \nKADRON runs process for " + run +
           " milliseconds and terminates it afterwards \n" +
           (wait ? "KADRON waits till cycle is over if process terminates before run_time \n"
                 : "KADRON waits not till cycle is over if process terminates before run_time \n") +
           "\n";
}

struct parsed {
    bool ok;
    int exit_status;
    run_settings settings;
    std::string output;
    std::string errors;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "kadron");
    std::vector<const char *> words;
    for (const std::string &a : args)
        words.push_back(a.c_str());
    parsed p{};
    p.exit_status = -1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.ok = parse_invocation(static_cast<int>(words.size()), words.data(), &p.settings, &p.exit_status);
    std::fflush(stdout);
    p.errors = testing::internal::GetCapturedStderr();
    p.output = testing::internal::GetCapturedStdout();
    return p;
}

} // namespace

TEST(ParseInvocation, NoProgramNamedPrintsUsageAndGives17) {
    const parsed p = parse({});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.exit_status, 17);
    EXPECT_EQ(p.output, "program_path_and_name missing.\n\n" + USAGE);
}

TEST(ParseInvocation, OnlyTheProgramTakesTheDefaults) {
    const parsed p = parse({"C:\\tools\\probe.exe"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.exit_status, 0);
    EXPECT_STREQ(p.settings.program_path_and_name, "C:\\tools\\probe.exe");
    EXPECT_STREQ(p.settings.command_line_arguments, " ");
    EXPECT_EQ(p.settings.cycle_time_in_milliseconds, 3600000u);
    EXPECT_EQ(p.settings.run_time_in_milliseconds, 5000u);
    EXPECT_TRUE(p.settings.wait_mode);
    EXPECT_EQ(p.output, USAGE + echo("C:\\tools\\probe.exe", " ", "3600000", "5000", true));
}

TEST(ParseInvocation, EmptyWordsStillCount) {
    const parsed empty_program = parse({""});
    ASSERT_TRUE(empty_program.ok);
    EXPECT_EQ(empty_program.output, USAGE + echo("", " ", "3600000", "5000", true));

    const parsed empty_args = parse({"p", "", "15000", "5000"});
    ASSERT_TRUE(empty_args.ok);
    EXPECT_STREQ(empty_args.settings.command_line_arguments, " ");
    EXPECT_EQ(empty_args.output, USAGE + echo("p", " ", "15000", "5000", true));
}

TEST(ParseInvocation, CycleTimeIsRaisedToTheRunTimeUnlessNowait) {
    struct sample {
        std::vector<std::string> args;
        uint32_t cycle_ms;
        uint32_t run_ms;
        bool wait_mode;
        bool usage;
    };
    const sample samples[] = {
        {{"p", "sample.txt", "500", "5000"}, 5000, 5000, true, true},
        {{"p", "sample.txt", "500", "5000", "nowait"}, 500, 5000, false, false},
        {{"p", "sample.txt", "500", "5000", "NoWait"}, 500, 5000, false, false},
        {{"p", "sample.txt", "500", "5000", "WAIT"}, 5000, 5000, true, false},
        {{"p", "sample.txt", "500", "5000", "later"}, 5000, 5000, true, false},
        {{"p", "sample.txt", "500", "5000", "nowait", "extra", "words"}, 500, 5000, false, false},
        {{"p", "sample.txt", "15000", "5000"}, 15000, 5000, true, true},
        {{"p", "sample.txt", "abc", "5000"}, 5000, 5000, true, true},
        {{"p", "sample.txt", "abc", "5000", "nowait"}, 0, 5000, false, false},
        {{"p", "sample.txt", "1000", "-1"}, 4294967295u, 4294967295u, true, true},
        {{"p", "sample.txt", "1000", "-1", "nowait"}, 1000, 4294967295u, false, false},
        {{"p", "sample.txt", "1000"}, 5000, 5000, true, true},
    };
    for (const sample &s : samples) {
        const parsed p = parse(s.args);
        const std::string label = s.args[2] + " " + (s.args.size() > 3 ? s.args[3] : "") + " " +
                                  (s.args.size() > 4 ? s.args[4] : "");
        ASSERT_TRUE(p.ok) << label;
        EXPECT_EQ(p.settings.cycle_time_in_milliseconds, s.cycle_ms) << label;
        EXPECT_EQ(p.settings.run_time_in_milliseconds, s.run_ms) << label;
        EXPECT_EQ(p.settings.wait_mode, s.wait_mode) << label;
        EXPECT_STREQ(p.settings.command_line_arguments, " sample.txt") << label;
        EXPECT_EQ(p.output, (s.usage ? USAGE : "") + echo("p", " sample.txt", std::to_string(s.cycle_ms),
                                                          std::to_string(s.run_ms), s.wait_mode))
            << label;
    }
}

TEST(ParseInvocation, OverlongWordsAreRefusedNeverCut) {
    const std::string path259(259, 'p');
    const std::string args258(258, 'a');
    const parsed fits = parse({path259, args258});
    ASSERT_TRUE(fits.ok);
    EXPECT_EQ(std::string(fits.settings.program_path_and_name), path259);
    EXPECT_EQ(std::string(fits.settings.command_line_arguments), " " + args258);

    const parsed long_path = parse({path259 + "p", "x"});
    EXPECT_FALSE(long_path.ok);
    EXPECT_EQ(long_path.exit_status, 17);
    EXPECT_EQ(long_path.output, "KADRON refuses program_path_and_name: longer than 259 characters.\n");

    const parsed long_args = parse({"p", args258 + "a", "1000"});
    EXPECT_FALSE(long_args.ok);
    EXPECT_EQ(long_args.exit_status, 17);
    EXPECT_EQ(long_args.output, "KADRON refuses command_line_arguments: longer than 258 characters.\n");
}

TEST(ParseMilliseconds, BehavesAsAtolModulo2To32) {
    struct sample {
        const char *word;
        uint32_t value;
    };
    const sample samples[] = {
        {"7", 7},
        {"+7", 7},
        {"7ms", 7},
        {" 7", 7},
        {"\t\n\v\f\r 7", 7},
        {"-1", 4294967295u},
        {"-0", 0},
        {"4294967295", 4294967295u},
        {"4294967296", 0},
        {"4294967303", 7},
        {"99999999999999999999999999", 3825205247u}, // 10^26 - 1 modulo 2^32
        {"-4294967303", 4294967289u},
        {"abc", 0},
        {"", 0},
        {"- 7", 0},
        {"+-7", 0},
        {"1 2", 1},
        {"0x10", 0},
    };
    for (const sample &s : samples)
        EXPECT_EQ(parse_milliseconds(s.word), s.value) << "[" << s.word << "]";
}

TEST(CompareNoCase, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(compare_no_case("NoWait", "nowait"), 0);
    EXPECT_EQ(compare_no_case("WAIT", "wait"), 0);
    EXPECT_NE(compare_no_case("wait", "nowait"), 0);
    EXPECT_NE(compare_no_case("nowai", "nowait"), 0);
    EXPECT_NE(compare_no_case("nowait ", "nowait"), 0);
    EXPECT_LT(compare_no_case("a", "B"), 0);
    EXPECT_NE(compare_no_case("\xC4", "\xE4"), 0);
}

TEST(ParseInvocation, WordsThatAreProbablyMistakesAreReadAsBeforeWithOneWarningEach) {
    const struct {
        std::vector<std::string> words;
        uint32_t cycle_ms, run_ms;
        bool wait;
        std::string errors;
    } cases[] = {
        {{"p", "", "15000", "5000", "nowait"}, 15000, 5000, false, ""},
        {{"p", "", " +15000", "-1", "WAIT"}, 4294967295u, 4294967295u, true, ""},
        {{"p", "", "15000", "1e3", "wait"},
         15000,
         1,
         true,
         "kadron: run time \"1e3\" read as 1 ms (only leading digits count)\n"},
        {{"p", "", "0x10", "", "nowait "},
         0,
         0,
         true,
         "kadron: cycle time \"0x10\" read as 0 ms (only leading digits count)\n"
         "kadron: run time \"\" read as 0 ms (no digits)\n"
         "kadron: run mode \"nowait \" read as wait (only wait and nowait are known)\n"},
        {{"p", "", "99999999999", "4294967296x", "later"},
         1215752191,
         0,
         true,
         "kadron: cycle time \"99999999999\" read as 1215752191 ms (above 4294967295, taken modulo 2^32)\n"
         "kadron: run time \"4294967296x\" read as 0 ms (above 4294967295, taken modulo 2^32)\n"
         "kadron: run mode \"later\" read as wait (only wait and nowait are known)\n"},
        {{"p", "", "abc"}, 5000, 5000, true, "kadron: cycle time \"abc\" read as 0 ms (no digits)\n"},
        // -1 means no limit; any other negative number is warned, 4294967295 itself is in range.
        {{"p", "", " -1", "-01", "wait"}, 4294967295u, 4294967295u, true, ""},
        {{"p", "", "4294967295", "4294967295", "wait"}, 4294967295u, 4294967295u, true, ""},
        {{"p", "", "-0", "-5000", "nowait", "x", "y"},
         0,
         4294962296u,
         false,
         "kadron: cycle time \"-0\" read as 0 ms (negative, taken modulo 2^32)\n"
         "kadron: run time \"-5000\" read as 4294962296 ms (negative, taken modulo 2^32)\n"
         "kadron: extra word \"x\" ignored (at most five words are read)\n"
         "kadron: extra word \"y\" ignored (at most five words are read)\n"},
        {{"p", "", "-4294967303", "5", "nowait"},
         4294967289u,
         5,
         false,
         "kadron: cycle time \"-4294967303\" read as 4294967289 ms (below -4294967295, taken modulo 2^32)\n"},
    };
    for (const auto &c : cases) {
        const parsed p = parse(c.words);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.settings.cycle_time_in_milliseconds, c.cycle_ms) << c.words[2];
        EXPECT_EQ(p.settings.run_time_in_milliseconds, c.run_ms) << c.words[2];
        EXPECT_EQ(p.settings.wait_mode, c.wait) << c.words[2];
        EXPECT_EQ(p.errors, c.errors);
        // Standard output is the same whatever the warnings.
        EXPECT_EQ(p.output.find("kadron:"), std::string::npos);
    }
}
