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
    EXPECT_FALSE(o.settings.readoutMs);
    EXPECT_EQ(o.every, 1);
    EXPECT_TRUE(o.plotFile.empty());
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

TEST(CommandLine, ReadsTheReadoutEveryAndPlotOptions)
{
    const CommandLine line = parseCommandLine(
        {"--readout", "12.5", "--every", "4", "--plot", "out/lag.png", "1920", "1080", "60", "clip.mp4"});
    ASSERT_EQ(line.action, CommandLine::Action::Read);
    ASSERT_TRUE(line.options.settings.readoutMs);
    EXPECT_DOUBLE_EQ(*line.options.settings.readoutMs, 12.5);
    EXPECT_EQ(line.options.every, 4);
    EXPECT_EQ(line.options.plotFile, "out/lag.png");
    EXPECT_EQ(line.options.files, (Args{"clip.mp4"}));

    // --name=value; the plot's extension in either case.
    const CommandLine equals =
        parseCommandLine({"1920", "1080", "60", "a.jpg", "--readout=33", "--every=1", "--plot=Lag.SVG"});
    ASSERT_EQ(equals.action, CommandLine::Action::Read);
    EXPECT_DOUBLE_EQ(*equals.options.settings.readoutMs, 33.0);
    EXPECT_EQ(equals.options.every, 1);
    EXPECT_EQ(equals.options.plotFile, "Lag.SVG");

    // Up to a second of readout; fractions of a millisecond.
    for (const auto& [text, value] : std::vector<std::pair<std::string, double>>{
             {"1000", 1000.0}, {"0.5", 0.5}, {".25", 0.25}, {"7.", 7.0}, {"008.000", 8.0}, {"1000.0", 1000.0}}) {
        const CommandLine each = parseCommandLine({"--readout", text, "1024", "768", "60", "p.jpg"});
        ASSERT_EQ(each.action, CommandLine::Action::Read) << text;
        EXPECT_DOUBLE_EQ(*each.options.settings.readoutMs, value) << text;
    }
}

TEST(CommandLine, RefusesBadReadoutEveryAndPlotValues)
{
    for (const std::string bad : {"", "0", "0.0", ".", "-5", "+5", "5ms", "1e1", "0x10", "inf", "nan", "1,5", "1.2.3",
                                  " 5", "1000.001", "99999999999999999999999", "\n"}) {
        const std::string error = usageErrorOf({"--readout", bad, "1024", "768", "60", "p.jpg"});
        EXPECT_NE(error.find("--readout"), std::string::npos) << bad << ": " << error;
    }
    EXPECT_NE(usageErrorOf({"--readout", "1000.5", "1024", "768", "60", "p.jpg"}).find("at most 1000"),
              std::string::npos);
    usageErrorOf({"1024", "768", "60", "p.jpg", "--readout"});

    for (const std::string bad : {"", "0", "-1", "1.5", "two", "2147483648"}) {
        const std::string error = usageErrorOf({"--every", bad, "1024", "768", "60", "p.jpg"});
        EXPECT_NE(error.find("--every"), std::string::npos) << bad << ": " << error;
    }
    usageErrorOf({"1024", "768", "60", "p.jpg", "--every"});

    for (const std::string bad : {"", "lag", "lag.jpg", "lag.pdf", "png", "lag.png.txt"}) {
        const std::string error = usageErrorOf({"--plot", bad, "1024", "768", "60", "p.jpg"});
        EXPECT_NE(error.find(".png or .svg"), std::string::npos) << bad << ": " << error;
    }
    usageErrorOf({"1024", "768", "60", "p.jpg", "--plot"});
}

TEST(PositiveDecimal, DigitsAndOnePointOnly)
{
    EXPECT_EQ(reader::parsePositiveDecimal("8"), 8.0);
    EXPECT_EQ(reader::parsePositiveDecimal("8.5"), 8.5);
    EXPECT_EQ(reader::parsePositiveDecimal(".5"), 0.5);
    EXPECT_EQ(reader::parsePositiveDecimal("0.001"), 0.001);
    EXPECT_FALSE(reader::parsePositiveDecimal("0"));
    EXPECT_FALSE(reader::parsePositiveDecimal("0.000"));
    EXPECT_FALSE(reader::parsePositiveDecimal("1e3"));
    EXPECT_FALSE(reader::parsePositiveDecimal("1..2"));
    EXPECT_FALSE(reader::parsePositiveDecimal(std::string("5\0", 2)));
    // Past double's range is not a number.
    EXPECT_FALSE(reader::parsePositiveDecimal(std::string(400, '9')));
}

TEST(CommandLine, UsageAndHelpShowTheSynopsis)
{
    const std::string synopsis =
        "usage: vesmira-read [--json] [--reference left|right|top|bottom] [--annotate DIR] [--readout MS]\n"
        "                    [--exposure MS] [--every N] [--plot FILE] WIDTH HEIGHT RATE PHOTO|VIDEO...\n"
        "       vesmira-read [options] --live SOURCE WIDTH HEIGHT RATE\n";
    EXPECT_EQ(reader::usageText().rfind(synopsis, 0), 0U);
    EXPECT_EQ(reader::helpText().rfind(synopsis, 0), 0U);
    for (const char* word : {"--json", "--reference", "--annotate", "--readout", "--exposure", "--every", "--plot",
                             "--live", "WIDTH HEIGHT RATE", "video", "Exit status"}) {
        EXPECT_NE(reader::helpText().find(word), std::string::npos) << word;
    }
}

TEST(CommandLine, LiveTakesASourceAndTheModeAlone)
{
    const CommandLine line = parseCommandLine({"--json", "--live", "udp://127.0.0.1:5000", "1920", "1080", "60"});
    ASSERT_EQ(line.action, CommandLine::Action::Read);
    EXPECT_EQ(line.options.liveSource, "udp://127.0.0.1:5000");
    EXPECT_TRUE(line.options.files.empty());
    EXPECT_EQ(line.options.settings.mode.rate, 60);
    EXPECT_NE(usageErrorOf({"--live", "/dev/video0", "1920", "1080", "60", "a.jpg"}).find("--live"), std::string::npos);
    EXPECT_NE(usageErrorOf({"--live", "/dev/video0", "1920", "1080"}).find("--live"), std::string::npos);
    usageErrorOf({"--live=", "1920", "1080", "60"});
}
