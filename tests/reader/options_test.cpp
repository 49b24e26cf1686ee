#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/options.h"

using reader::CommandLine;
using reader::parseCommandLine;
using reader::Placement;

namespace {

using Args = std::vector<std::string>;

CommandLine::Action actionOf(const Args& args)
{
    return parseCommandLine(args).action;
}

std::string usageErrorOf(const Args& args)
{
    const CommandLine line = parseCommandLine(args);
    EXPECT_EQ(line.action, CommandLine::Action::UsageError) << "for " << testing::PrintToString(args);
    EXPECT_FALSE(line.error.empty());
    return line.error;
}

}  // namespace

TEST(CommandLine, ReadsTheModeAndThePhotosWithDefaults)
{
    const CommandLine line = parseCommandLine({"1024", "768", "60", "a.jpg", "dir/b.png"});
    ASSERT_EQ(line.action, CommandLine::Action::Read);
    const reader::Options& o = line.options;
    EXPECT_EQ(o.settings.mode.width, 1024);
    EXPECT_EQ(o.settings.mode.height, 768);
    EXPECT_EQ(o.settings.mode.rate, 60);
    EXPECT_EQ(o.settings.reference, Placement::Left);
    EXPECT_FALSE(o.json);
    EXPECT_TRUE(o.annotateDir.empty());
    EXPECT_EQ(o.files, (Args{"a.jpg", "dir/b.png"}));
}

TEST(CommandLine, ReadsEveryOptionInEitherSpellingAndPlace)
{
    const CommandLine line =
        parseCommandLine({"--json", "--reference", "top", "--annotate", "out", "1920", "1080", "144", "p.jpg"});
    ASSERT_EQ(line.action, CommandLine::Action::Read);
    EXPECT_TRUE(line.options.json);
    EXPECT_EQ(line.options.settings.reference, Placement::Top);
    EXPECT_EQ(line.options.annotateDir, "out");
    EXPECT_EQ(line.options.settings.mode.rate, 144);

    // --name=value, and options between and after the positional arguments.
    const CommandLine mixed =
        parseCommandLine({"800", "--reference=bottom", "600", "75", "x.jpg", "--annotate=d/e", "y.jpg", "--json"});
    ASSERT_EQ(mixed.action, CommandLine::Action::Read);
    EXPECT_EQ(mixed.options.settings.reference, Placement::Bottom);
    EXPECT_EQ(mixed.options.annotateDir, "d/e");
    EXPECT_TRUE(mixed.options.json);
    EXPECT_EQ(mixed.options.settings.mode.width, 800);
    EXPECT_EQ(mixed.options.settings.mode.height, 600);
    EXPECT_EQ(mixed.options.files, (Args{"x.jpg", "y.jpg"}));

    const std::vector<std::pair<std::string, Placement>> places = {
        {"left", Placement::Left}, {"right", Placement::Right}, {"top", Placement::Top}, {"bottom", Placement::Bottom}};
    for (const auto& [word, placement] : places) {
        const CommandLine each = parseCommandLine({"--reference", word, "1024", "768", "60", "p.jpg"});
        ASSERT_EQ(each.action, CommandLine::Action::Read) << word;
        EXPECT_EQ(each.options.settings.reference, placement) << word;
    }
    // The last of a repeated option counts.
    EXPECT_EQ(parseCommandLine({"--reference", "top", "--reference", "right", "1024", "768", "60", "p.jpg"})
                  .options.settings.reference,
              Placement::Right);
}

TEST(CommandLine, DoubleDashEndsTheOptions)
{
    const CommandLine line = parseCommandLine({"1024", "768", "60", "--", "--json", "-x.jpg", "-"});
    ASSERT_EQ(line.action, CommandLine::Action::Read);
    EXPECT_FALSE(line.options.json);
    EXPECT_EQ(line.options.files, (Args{"--json", "-x.jpg", "-"}));
    // "-" alone is a file name, not an option.
    EXPECT_EQ(parseCommandLine({"1024", "768", "60", "-"}).options.files, (Args{"-"}));
    // --help after "--" is a photo's name.
    EXPECT_EQ(actionOf({"1024", "768", "60", "--", "--help"}), CommandLine::Action::Read);
}

TEST(CommandLine, HelpWinsWhereverItStands)
{
    EXPECT_EQ(actionOf({"--help"}), CommandLine::Action::ShowHelp);
    EXPECT_EQ(actionOf({"-h"}), CommandLine::Action::ShowHelp);
    EXPECT_EQ(actionOf({"1024", "768", "60", "a.jpg", "--help"}), CommandLine::Action::ShowHelp);
    EXPECT_EQ(actionOf({"--bogus", "x", "--help"}), CommandLine::Action::ShowHelp);
}

TEST(CommandLine, RefusesModeNumbersThatAreNotPositiveIntegers)
{
    const std::vector<std::string> junk = {"",    "0",   "-5",    "+5",     " 5",         "5 ",
                                           "5px", "1e3", "0x10",  "1024.0", "2147483648", "99999999999999999999",
                                           "abc", "-0",  "1,024", "\t60",   "６０"};
    for (const std::string& bad : junk) {
        const std::string widthError = usageErrorOf({bad, "768", "60", "a.jpg"});
        EXPECT_NE(widthError.find("WIDTH"), std::string::npos) << bad << ": " << widthError;
        EXPECT_NE(usageErrorOf({"1024", bad, "60", "a.jpg"}).find("HEIGHT"), std::string::npos) << bad;
        EXPECT_NE(usageErrorOf({"1024", "768", bad, "a.jpg"}).find("RATE"), std::string::npos) << bad;
    }
    // The message quotes what was given.
    EXPECT_NE(usageErrorOf({"1024", "768", "60Hz", "a.jpg"}).find("'60Hz'"), std::string::npos);
}

TEST(CommandLine, BoundsTheModeToWhatAScreenCanBe)
{
    // One pixel per column at least; no rectified screen larger than 16384.
    EXPECT_NE(usageErrorOf({"59", "768", "60", "a.jpg"}).find("WIDTH"), std::string::npos);
    EXPECT_EQ(parseCommandLine({"60", "1", "1", "a.jpg"}).action, CommandLine::Action::Read);
    EXPECT_EQ(parseCommandLine({"16384", "16384", "2147483647", "a.jpg"}).action, CommandLine::Action::Read);
    EXPECT_NE(usageErrorOf({"16385", "768", "60", "a.jpg"}).find("WIDTH"), std::string::npos);
    EXPECT_NE(usageErrorOf({"1024", "16385", "60", "a.jpg"}).find("HEIGHT"), std::string::npos);
}

TEST(CommandLine, RefusesMissingArgumentsAndUnknownOptions)
{
    usageErrorOf({});
    usageErrorOf({"1024"});
    usageErrorOf({"1024", "768"});
    usageErrorOf({"1024", "768", "60"});
    usageErrorOf({"--json", "1024", "768", "60"});

    EXPECT_NE(usageErrorOf({"--jsn", "1024", "768", "60", "a.jpg"}).find("--jsn"), std::string::npos);
    usageErrorOf({"-j", "1024", "768", "60", "a.jpg"});
    usageErrorOf({"--json=yes", "1024", "768", "60", "a.jpg"});
    usageErrorOf({"1024", "768", "60", "a.jpg", "--reference"});
    usageErrorOf({"1024", "768", "60", "a.jpg", "--annotate"});
    usageErrorOf({"--annotate", "", "1024", "768", "60", "a.jpg"});
    usageErrorOf({"--annotate=", "1024", "768", "60", "a.jpg"});
    EXPECT_NE(usageErrorOf({"--reference", "middle", "1024", "768", "60", "a.jpg"}).find("middle"), std::string::npos);
    usageErrorOf({"--reference", "Left", "1024", "768", "60", "a.jpg"});
}

TEST(PositiveInt, AcceptsDigitsOnlyUpToTheIntLimit)
{
    EXPECT_EQ(reader::parsePositiveInt("1"), 1);
    EXPECT_EQ(reader::parsePositiveInt("007"), 7);
    EXPECT_EQ(reader::parsePositiveInt("2147483647"), 2147483647);
    EXPECT_EQ(reader::parsePositiveInt("00000000000000000000000000000060"), 60);
    EXPECT_FALSE(reader::parsePositiveInt("2147483648"));
    EXPECT_FALSE(reader::parsePositiveInt("0"));
    EXPECT_FALSE(reader::parsePositiveInt("000"));
    EXPECT_FALSE(reader::parsePositiveInt(""));
    EXPECT_FALSE(
        reader::parsePositiveInt(std::string("6\0"
                                             "0",
                                             3)));
}

TEST(CommandLine, UsageAndHelpShowTheSynopsis)
{
    const std::string synopsis =
        "usage: vesmira-read [--json] [--reference left|right|top|bottom] [--annotate DIR] WIDTH HEIGHT RATE "
        "PHOTO...\n";
    EXPECT_EQ(reader::usageText().rfind(synopsis, 0), 0U);
    EXPECT_EQ(reader::helpText().rfind(synopsis, 0), 0U);
    for (const char* word : {"--json", "--reference", "--annotate", "WIDTH HEIGHT RATE", "Exit status"}) {
        EXPECT_NE(reader::helpText().find(word), std::string::npos) << word;
    }
}
