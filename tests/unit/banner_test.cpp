// banner_test.cpp: the banner and the lookup of the own version against the scripted platform.
#include <gtest/gtest.h>

#include <string>

#include "banner.h"
#include "fake_platform.h"
#include "version_info.h"

namespace {

const std::string ENTRIES = std::string("\\StringFileInfo\\000004b0\\ProductVersion\0"
                                        "1, 0, 0, 1\0",
                                        51) +
                            std::string("\\StringFileInfo\\000004b0\\FileVersion\0"
                                        "1, 0, 0, 8\0",
                                        48);

std::string banner(const char *version) {
    return std::string("Velm KADRON is a tool to run a given program periodically for a given time.\n") +
           "Version " + version + " \n" + KADRON_LEGAL_COPYRIGHT + " \nHomepage: " + KADRON_HOMEPAGE +
           " \n\n";
}

std::string shown_version;

std::string show(const char *word_0) {
    testing::internal::CaptureStdout();
    char version[260];
    show_banner(word_0, version, sizeof version);
    shown_version = version;
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void reset_with(const char *file, const char *suffix = ".exe") {
    fake_reset(0, calendar_time{2026, 12, 0, 8, 9, 0, 0, 0});
    fake_version v;
    v.suffix = suffix;
    v.file = file;
    v.entries = ENTRIES;
    fake_set_version(v);
}

std::string looked_up() {
    const auto calls = fake_calls_of(call_kind::version_size);
    return calls.empty() ? "<nothing>" : calls.front().application;
}

} // namespace

TEST(ShowBanner, ReadsTheVersionOfTheOwnExecutable) {
    reset_with("kadron.exe");
    EXPECT_EQ(show("kadron"), banner("1, 0, 0, 8"));
    EXPECT_EQ(shown_version, "1.0.0.8");
    EXPECT_EQ(looked_up(), "kadron.exe");
    EXPECT_EQ(fake_blocks_in_use(), 0);
    // The block is released after the text that points into it was printed.
    EXPECT_EQ(fake_calls().back().kind, call_kind::free);
}

TEST(ShowBanner, AppendsTheSuffixOnlyWhenItIsMissing) {
    struct sample {
        const char *word_0;
        const char *suffix;
        const char *looked_up;
    };
    const sample samples[] = {
        {"kadron", ".exe", "kadron.exe"},
        {"KADRON.EXE", ".exe", "KADRON.EXE"},
        {"C:\\tools\\Kadron.Exe", ".exe", "C:\\tools\\Kadron.Exe"},
        {"k", ".exe", "k.exe"},
        {"exe", ".exe", "exe.exe"},
        {"kadron.bin", ".exe", "kadron.bin.exe"},
        {"", ".exe", ".exe"},
        {"/usr/bin/kadron", "", "/usr/bin/kadron"},
    };
    for (const sample &s : samples) {
        reset_with("-");
        fake_version v;
        v.suffix = s.suffix;
        fake_set_version(v);
        EXPECT_EQ(show(s.word_0), banner("0, 0, 0, 0")) << s.word_0;
        EXPECT_EQ(looked_up(), s.looked_up) << s.word_0;
    }
}

TEST(ShowBanner, EveryFailureQuietlyGivesZeros) {
    reset_with("other.exe"); // no version data in kadron.exe
    EXPECT_EQ(show("kadron"), banner("0, 0, 0, 0"));
    EXPECT_TRUE(fake_calls_of(call_kind::alloc).empty());

    reset_with("kadron.exe");
    fake_version no_memory;
    no_memory.file = "kadron.exe";
    no_memory.entries = ENTRIES;
    no_memory.fail_alloc = true;
    fake_set_version(no_memory);
    EXPECT_EQ(show("kadron"), banner("0, 0, 0, 0"));
    EXPECT_TRUE(fake_calls_of(call_kind::version_read).empty());

    fake_version unreadable = no_memory;
    unreadable.fail_alloc = false;
    unreadable.fail_read = true;
    reset_with("kadron.exe");
    fake_set_version(unreadable);
    EXPECT_EQ(show("kadron"), banner("0, 0, 0, 0"));
    EXPECT_EQ(fake_blocks_in_use(), 0);

    fake_version no_file_version = no_memory;
    no_file_version.fail_alloc = false;
    no_file_version.entries = std::string("\\StringFileInfo\\000004b0\\ProductVersion\0"
                                          "1, 0, 0, 1\0",
                                          51);
    reset_with("kadron.exe");
    fake_set_version(no_file_version);
    EXPECT_EQ(show("kadron"), banner("0, 0, 0, 0"));
    EXPECT_EQ(fake_blocks_in_use(), 0);
}

TEST(ShowBanner, OverlongNameIsNotLookedUp) {
    const std::string fits(TEXT_SIZE - 1 - 4, 'k'); // with ".exe" just fits
    reset_with((fits + ".exe").c_str());
    EXPECT_EQ(show(fits.c_str()), banner("1, 0, 0, 8"));

    const std::string too_long = fits + "k";
    reset_with((too_long + ".exe").c_str());
    EXPECT_EQ(show(too_long.c_str()), banner("0, 0, 0, 0"));
    EXPECT_EQ(looked_up(), "<nothing>");

    const std::string ends_in_exe = std::string(TEXT_SIZE - 1 - 4, 'k') + ".EXE"; // 259: nothing appended
    reset_with(ends_in_exe.c_str());
    EXPECT_EQ(show(ends_in_exe.c_str()), banner("1, 0, 0, 8"));

    const std::string huge(100000, 'k');
    reset_with("kadron.exe");
    EXPECT_EQ(show(huge.c_str()), banner("0, 0, 0, 0"));
}
