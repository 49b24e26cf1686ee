#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "reader_command.h"
#include "test_images.h"

using json = nlohmann::ordered_json;
using test_images::encode;
using test_images::linesOf;
using test_images::noise;
using test_images::TempDir;
using test_images::writeFile;

namespace {

const std::string USAGE =
    "usage: vesmira-read [--json] [--reference left|right|top|bottom] [--annotate DIR] [--readout MS]\n"
    "                    [--exposure MS] [--every N] [--plot FILE] WIDTH HEIGHT RATE PHOTO|VIDEO...\n"
    "       vesmira-read [options] --live SOURCE WIDTH HEIGHT RATE\n";

bool startsWith(const std::string& text, const std::string& start)
{
    return text.rfind(start, 0) == 0;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A photo of each kind the reader must refuse, with the reason it must
// give, and two pictures of noise that decode but show no screens.
struct BadPhoto {
    std::string path;
    std::string reason;  // empty: any reason
};

std::vector<BadPhoto> makeBadPhotos(const TempDir& dir)
{
    const std::vector<unsigned char> jpeg = encode(noise(640, 480, 1), ".jpg");
    const std::vector<unsigned char> png = encode(noise(320, 240, 2), ".png");
    writeFile(dir.file("empty.jpg"), {});
    const std::string text = "not a photo\n";
    writeFile(dir.file("text.jpg"), std::vector<unsigned char>(text.begin(), text.end()));
    writeFile(dir.file("truncated.jpg"), std::vector<unsigned char>(jpeg.begin(), jpeg.begin() + 5000));
    writeFile(dir.file("truncated.png"), std::vector<unsigned char>(png.begin(), png.begin() + 3000));
    // A complete little JPEG whose header claims 20000x20000 pixels.
    writeFile(dir.file("huge.jpg"), test_images::withJpegSize(encode(noise(16, 16, 3), ".jpg"), 20000, 20000));
    writeFile(dir.file("noise.jpg"), jpeg);
    writeFile(dir.file("noise.png"), png);
    std::filesystem::create_directory(dir.file("folder.jpg"));
    mkfifo(dir.file("pipe.jpg").c_str(), 0600);
    return {
        {dir.file("empty.jpg"), "the file is empty"},
        {dir.file("noise.jpg"), ""},
        {dir.file("text.jpg"), "not an image or a video: no JPEG, PNG or HEIC photo"},
        {dir.file("truncated.jpg"), "truncated JPEG"},
        {dir.file("truncated.png"), "truncated PNG"},
        {dir.file("huge.jpg"), "20000x20000 pixels"},
        {dir.file("folder.jpg"), "directory"},
        {dir.file("missing.jpg"), "no such file"},
        {dir.file("pipe.jpg"), "not a regular file"},
        {dir.file("noise.png"), ""},
    };
}

}  // namespace

TEST(ReaderCommand, UsageErrorsExitTwoWithTheUsageOnStandardError)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"1024", "768", "60"},
        {"abc", "768", "60", "x.jpg"},
        {"1024", "-768", "60", "x.jpg"},
        {"1024", "768", "60Hz", "x.jpg"},
        {"1024", "768", "0", "x.jpg"},
        {"1024", "768", "99999999999999999999", "x.jpg"},
        {"--frobnicate", "1024", "768", "60", "x.jpg"},
        {"--reference", "middle", "1024", "768", "60", "x.jpg"},
        {"1024", "768", "60", "x.jpg", "--annotate"},
        {"--reference", "\n", "1024", "768", "60", "x.jpg"},
        {"--readout", "0", "1024", "768", "60", "x.jpg"},
        {"--readout", "1e3", "1024", "768", "60", "x.jpg"},
        {"--every", "0", "1024", "768", "60", "x.mp4"},
        {"--every", "\n2", "1024", "768", "60", "x.mp4"},
        {"--plot", "lag.pdf", "1024", "768", "60", "x.jpg"},
        {"--plot", "a\nb.png.txt", "1024", "768", "60", "x.jpg"},
        {"--plot", "/no/such/dir/lag.png", "1024", "768", "60", "x.jpg"},
    };
    for (const std::vector<std::string>& args : bad) {
        const ProcessResult r = runReader(args);
        ASSERT_TRUE(r.exited) << testing::PrintToString(args);
        EXPECT_EQ(r.exitStatus, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "") << testing::PrintToString(args);
        EXPECT_TRUE(startsWith(r.err, "vesmira-read: ")) << r.err;
        EXPECT_TRUE(contains(r.err, USAGE)) << r.err;
        // The message, then the usage: nothing an argument says breaks the lines.
        EXPECT_EQ(linesOf(r.err).size(), 1 + linesOf(USAGE).size() + 1) << r.err;
    }
}

TEST(ReaderCommand, HelpGoesToStandardOutput)
{
    const ProcessResult r = runReader({"--help"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(startsWith(r.out, USAGE)) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(ReaderCommand, EachBadPhotoGetsItsOwnErrorLineAndNothingElseIsLost)
{
    const TempDir dir;
    const std::vector<BadPhoto> photos = makeBadPhotos(dir);
    std::vector<std::string> args = {"1024", "768", "60"};
    for (const BadPhoto& photo : photos) {
        args.push_back(photo.path);
    }
    const ProcessResult r = runReader(args);
    ASSERT_TRUE(r.exited) << "signal " << r.termSignal << (r.timedOut ? ", timed out" : "") << "\n" << r.err;
    EXPECT_EQ(r.exitStatus, 1);

    // Standard error: one line per photo, in order, naming it and the reason.
    const std::vector<std::string> errors = linesOf(r.err);
    ASSERT_EQ(errors.size(), photos.size()) << r.err;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        EXPECT_TRUE(startsWith(errors[i], photos[i].path + ": error: ")) << errors[i];
        EXPECT_TRUE(contains(errors[i], photos[i].reason)) << errors[i];
        EXPECT_GT(errors[i].size(), photos[i].path.size() + 10) << errors[i];
    }

    // Standard output: the same lines, then the summary.
    const std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), photos.size() + 3) << r.out;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        EXPECT_EQ(lines[i], errors[i]);
    }
    EXPECT_EQ(lines[photos.size()], "");
    EXPECT_EQ(lines[photos.size() + 1], "photos read: 0, failed: " + std::to_string(photos.size()));
    EXPECT_EQ(lines[photos.size() + 2], "lag: none, no photo was read");
}

TEST(ReaderCommand, ErrorsAreWrittenOnceWhenBothStreamsGoToOnePlace)
{
    // As on a terminal, or with 2>&1: the report's error lines already
    // explain each failure there.
    const TempDir dir;
    writeFile(dir.file("empty.jpg"), {});
    const ProcessResult r = runProcess("/bin/sh", {"sh", "-c", R"(exec "$0" "$@" 2>&1)", READER_BINARY, "1024", "768",
                                                   "60", dir.file("empty.jpg"), dir.file("missing.jpg")});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, dir.file("empty.jpg") + ": error: the file is empty\n" + dir.file("missing.jpg") +
                         ": error: no such file\n\nphotos read: 0, failed: 2\nlag: none, no photo was read\n");

    // With --json, standard output holds only the document: the errors
    // are on standard error, once.
    const ProcessResult jsonRun =
        runProcess("/bin/sh", {"sh", "-c", R"(exec "$0" "$@" 2>&1 >/dev/null)", READER_BINARY, "--json", "1024", "768",
                               "60", dir.file("empty.jpg"), dir.file("missing.jpg")});
    EXPECT_EQ(jsonRun.out, dir.file("empty.jpg") + ": error: the file is empty\n" + dir.file("missing.jpg") +
                               ": error: no such file\n");
}

TEST(ReaderCommand, JsonFollowsTheContract)
{
    const TempDir dir;
    const std::vector<BadPhoto> photos = makeBadPhotos(dir);
    std::vector<std::string> args = {"--json", "--reference", "right", "1920", "1080", "144"};
    for (const BadPhoto& photo : photos) {
        args.push_back(photo.path);
    }
    const ProcessResult r = runReader(args);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(linesOf(r.err).size(), photos.size()) << r.err;

    const json document = json::parse(r.out);  // nothing but the document
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(document.size(), 2U);
    const json& list = document.at("photos");
    ASSERT_EQ(list.size(), photos.size());
    for (std::size_t i = 0; i < photos.size(); ++i) {
        const json& photo = list[i];
        EXPECT_EQ(photo.size(), 3U) << photo.dump();
        EXPECT_EQ(photo.at("file"), photos[i].path);
        EXPECT_EQ(photo.at("ok"), false);
        ASSERT_TRUE(photo.at("error").is_string());
        EXPECT_TRUE(contains(photo.at("error").get<std::string>(), photos[i].reason)) << photo.dump();
    }
    const json& summary = document.at("summary");
    EXPECT_EQ(summary.size(), 11U) << summary.dump();
    EXPECT_EQ(summary.at("photos_read"), 0);
    EXPECT_EQ(summary.at("photos_failed"), photos.size());
    for (const char* field : {"lag_ms_mean", "lag_ms_median", "lag_ms_ci95", "lag_frames_mean", "lag_ms_top",
                              "lag_ms_middle", "lag_ms_bottom", "screens"}) {
        EXPECT_TRUE(summary.at(field).is_null()) << field;
    }
    EXPECT_EQ(summary.at("segments"), json::array());
}

TEST(ReaderCommand, AnnotatesEveryDecodedPhotoWithoutTouchingThePhotos)
{
    const TempDir dir;
    // Same name, different folders, and one of another format.
    std::filesystem::create_directory(dir.file("a"));
    std::filesystem::create_directory(dir.file("b"));
    const std::vector<unsigned char> first = encode(noise(400, 300, 4), ".jpg");
    const std::vector<unsigned char> second = encode(noise(320, 200, 5), ".jpg");
    const std::vector<unsigned char> third = encode(noise(240, 180, 6), ".png");
    writeFile(dir.file("a/IMG_0001.jpg"), first);
    writeFile(dir.file("b/IMG_0001.jpg"), second);
    writeFile(dir.file("b/IMG_0001.png"), third);
    writeFile(dir.file("empty.jpg"), {});

    const std::string out = dir.file("annotated");
    const ProcessResult r = runReader({"--annotate", out, "1024", "768", "60", dir.file("a/IMG_0001.jpg"),
                                       dir.file("empty.jpg"), dir.file("b/IMG_0001.jpg"), dir.file("b/IMG_0001.png")});
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exitStatus, 1);

    std::set<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        written.insert(entry.path().filename().string());
    }
    EXPECT_EQ(written, (std::set<std::string>{"IMG_0001-annotated.jpg", "IMG_0001-annotated-2.jpg",
                                              "IMG_0001-annotated-3.jpg"}));
    // Each one the picture of its own photo, as JPEG.
    EXPECT_EQ(cv::imread(out + "/IMG_0001-annotated.jpg").size(), cv::Size(400, 300));
    EXPECT_EQ(cv::imread(out + "/IMG_0001-annotated-2.jpg").size(), cv::Size(320, 200));
    EXPECT_EQ(cv::imread(out + "/IMG_0001-annotated-3.jpg").size(), cv::Size(240, 180));
    EXPECT_EQ(test_images::readFile(out + "/IMG_0001-annotated-3.jpg").at(0), 0xFF);

    EXPECT_EQ(test_images::readFile(dir.file("a/IMG_0001.jpg")), first);
    EXPECT_EQ(test_images::readFile(dir.file("b/IMG_0001.jpg")), second);
    EXPECT_EQ(test_images::readFile(dir.file("b/IMG_0001.png")), third);
}

TEST(ReaderCommand, MemoryStaysFlatInTheNumberOfPhotos)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
    // 2000x1500 photos: 9 MB each decoded. Twenty-four held at once would
    // add 200 MB; reading at most two at a time adds nothing.
    const TempDir dir;
    writeFile(dir.file("p.jpg"), encode(noise(2000, 1500, 7), ".jpg"));
    std::vector<std::string> two = {"1024", "768", "60"};
    std::vector<std::string> many = two;
    for (int i = 0; i < 24; ++i) {
        (i < 2 ? two : many).push_back(dir.file("p.jpg"));
        if (i < 2) {
            many.push_back(dir.file("p.jpg"));
        }
    }
    const long peakTwo = peakResidentKb(two);
    const long peakMany = peakResidentKb(many);
    ASSERT_GT(peakTwo, 0);
    ASSERT_GT(peakMany, 0);
    RecordProperty("peak_kb_2_photos", std::to_string(peakTwo));
    RecordProperty("peak_kb_24_photos", std::to_string(peakMany));
    EXPECT_LT(peakMany, peakTwo + 40L * 1024) << "2 photos: " << peakTwo << " kB, 24 photos: " << peakMany << " kB";
}
