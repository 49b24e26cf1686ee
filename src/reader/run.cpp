#include "reader/run.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>

#include "reader/annotate.h"
#include "reader/image_input.h"
#include "reader/in_order.h"
#include "reader/live_input.h"
#include "reader/plot.h"
#include "reader/read_photo.h"
#include "reader/series.h"
#include "reader/video_input.h"

namespace reader {

namespace fs = std::filesystem;

namespace {

// Photos started ahead of the next one to report: enough to keep both
// workers busy past a slow photo, few enough that waiting results cost
// nothing.
constexpr std::size_t READ_AHEAD = 8;
// A video's decoded frames between the decoder and the report: one for each
// reader, and as many ready, so that neither waits for the other. Each is
// a whole frame in memory.
constexpr std::size_t VIDEO_WINDOW = 2 * VIDEO_READ_WORKERS + 2;
// Results the series looks at to tell each screen's light before any is
// reported; the ones after are read with what it found. Live, the lines
// of the first seconds wait for them.
constexpr std::size_t SERIES_SETTLE = 2000;
constexpr std::size_t LIVE_SETTLE = 24;
constexpr const char* UNDECODABLE_FRAME = "this frame of the video cannot be decoded";

// Runs body, turning whatever it throws into the reading's error.
template <typename Body>
PhotoReading guarded(Body body)
{
    PhotoReading reading;
    try {
        reading = body();
        if (!reading.ok && reading.error.empty()) {
            reading.error = "not read, for no reason given";
        }
    } catch (const cv::Exception& e) {
        reading = PhotoReading{};
        reading.error = "OpenCV failed" + (e.func.empty() ? std::string() : " in " + e.func) + ": " + e.err;
    } catch (const std::bad_alloc&) {
        reading = PhotoReading{};
        reading.error = "out of memory";
    } catch (const std::exception& e) {
        reading = PhotoReading{};
        reading.error = std::string("internal error: ") + e.what();
    } catch (...) {
        reading = PhotoReading{};
        reading.error = "internal error";
    }
    return reading;
}

PhotoReading failedReading(const std::string& error)
{
    PhotoReading reading;
    reading.error = error;
    return reading;
}

// Draws what was read on the picture, in place, and writes it; a failure
// to write becomes a warning of a read photo, or part of a failed one's
// error.
void annotate(cv::Mat* picture, PhotoReading* reading, const ReadSettings& settings, const std::string& path)
{
    drawAnnotation(picture, *reading, settings);
    const std::string error = writeJpeg(*picture, path);
    if (!error.empty()) {
        if (reading->ok) {
            reading->warnings.push_back("annotated picture not written: " + error);
        } else {
            reading->error += "; annotated picture not written: " + error;
        }
    }
}

PhotoReading readOne(const cv::Mat& picture, const ReadSettings& settings, const KnownScreens* known,
                     const PhotoReader& read)
{
    PhotoReading reading = read(picture, settings, known);
    reading.exposureMs = settings.exposureMs;
    const std::string warning = rollingShutterWarning(settings);
    if (reading.ok && !warning.empty()) {
        reading.warnings.push_back(warning);
    }
    return reading;
}

PhotoReading readAndAnnotate(const std::string& file, const ReadSettings& settings, const std::string& annotationPath,
                             const PhotoReader& read)
{
    const ImageFile photoFile = readImageFile(file);
    if (!photoFile.error.empty()) {
        return failedReading(photoFile.error);
    }
    LoadedImage loaded = decodeImage(photoFile.bytes, Detail::Enough);
    if (!loaded.error.empty()) {
        return failedReading(loaded.error);
    }
    // --exposure overrides what the photo says.
    ReadSettings photoSettings = settings;
    if (!photoSettings.exposureMs) {
        photoSettings.exposureMs = loaded.exposureMs;
    }
    PhotoReading reading = readOne(loaded.image, photoSettings, nullptr, read);
    if (!reading.ok && loaded.reduction > 1) {
        // Screens small in a large photo may need all of its pixels.
        loaded.image.release();
        loaded = decodeImage(photoFile.bytes, Detail::Full);
        if (!loaded.error.empty()) {
            return failedReading(loaded.error);
        }
        reading = readOne(loaded.image, photoSettings, nullptr, read);
    }
    if (!annotationPath.empty()) {
        // The decoded photo is drawn on in place: no second copy in memory.
        annotate(&loaded.image, &reading, settings, annotationPath);
    }
    return inPhotoPixels(reading, loaded.reduction);
}

// Whether the picture of the series can be written where asked, before a
// long run is spent on it: an error sentence, or empty.
std::string checkPlotFile(const std::string& plotFile, const std::vector<std::string>& inputs)
{
    const fs::path path(plotFile);
    const fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::error_code error;
    if (!fs::is_directory(dir, error)) {
        return "cannot write " + plotFile + ": there is no directory " + dir.string();
    }
    if (access(dir.c_str(), W_OK) != 0) {
        return "cannot write " + plotFile + ": " + std::generic_category().message(errno);
    }
    if (fs::is_directory(path, error)) {
        return "cannot write " + plotFile + ": it is a directory";
    }
    const std::string canonical = canonicalPath(plotFile);
    for (const std::string& input : inputs) {
        if (canonicalPath(input) == canonical) {
            return "cannot write " + plotFile + ": it is one of the photos or videos to read";
        }
    }
    return {};
}

// What the report, the summary and the plot are made from, result by
// result, on the thread that runs the whole.
class Report {
public:
    Report(const Options& runOptions, std::ostream& output, std::ostream& errors, bool oneDestination, bool ofOneVideo)
        : options(runOptions),
          out(output),
          err(errors),
          sameDestination(oneDestination),
          oneVideo(ofOneVideo),
          json(output)
    {
    }

    // A result as it comes: kept until the series has told each screen's
    // light, then read again with it and reported.
    void add(const PhotoResult& result)
    {
        if (settled) {
            PhotoResult again = result;
            readAgain(&again.reading, findings, foundSettings);
            emit(again);
            return;
        }
        pending.push_back(result);
        // What the report does not show need not wait with it.
        pending.back().reading.reference.gridLineX = {};
        pending.back().reading.reference.gridLineNumber = {};
        pending.back().reading.device.gridLineX = {};
        pending.back().reading.device.gridLineNumber = {};
        if (pending.size() >= (live ? LIVE_SETTLE : SERIES_SETTLE)) {
            settle();
        }
    }

    // The summary, then the plot. The exit status.
    int finish()
    {
        if (!settled) {
            settle();
        }
        LagSummary summary = summarize(series);
        // Nothing read tells nothing of the screens.
        if (series.photosRead > 0) {
            summary.screens = findings;
        }
        summary.down = lagDownTheScreen(summary.ms ? std::optional<double>(summary.ms->mean) : std::nullopt, findings);
        if (options.json) {
            json.finish(summary);
        } else {
            out << "\n" << plainSummary(summary) << std::flush;
        }
        int status = series.photosRead > 0 ? 0 : 1;
        if (!out) {
            err << "vesmira-read: the report could not be written\n";
            status = 1;
        }
        if (!options.plotFile.empty()) {
            const std::string error = writePlot(options.plotFile, plotSeries(summary));
            if (!error.empty()) {
                err << "vesmira-read: --plot: " << oneLine(error) << "\n" << std::flush;
                status = 1;
            }
        }
        return status;
    }

    // A line a second of what came in it, and one when the lag changes:
    // on standard output, or beside the JSON document on standard error.
    void startLive()
    {
        live = true;
        lastLine = std::chrono::steady_clock::now();
        started = lastLine;
    }

private:
    // The series' findings from the results so far, and those results
    // read again with them and reported.
    void settle()
    {
        std::vector<const PhotoReading*> readings;
        readings.reserve(pending.size());
        for (const PhotoResult& result : pending) {
            readings.push_back(&result.reading);
        }
        findings = describeScreens(readings, options.settings);
        foundSettings = withFindings(options.settings, findings);
        settled = true;
        for (PhotoResult& result : pending) {
            readAgain(&result.reading, findings, foundSettings);
            emit(result);
        }
        pending.clear();
        pending.shrink_to_fit();
    }

    void emit(const PhotoResult& result)
    {
        ++results;
        series.add(result.reading, result.frame ? result.frame->index : -1);
        if (options.json) {
            json.add(result);
        } else if (!live) {
            out << plainPhotoLines(result) << std::flush;
        }
        // Live, a frame's failure shows in the line of its second; the
        // source's own comes at the end.
        if (!result.reading.ok && (options.json || !sameDestination) && !(live && result.frame)) {
            err << errorLine(result) << std::flush;
        }
        if (live) {
            liveStatus(result);
        }
        if (!options.plotFile.empty() && result.reading.ok) {
            plot.index.push_back(oneVideo && result.frame ? result.frame->timeS : static_cast<double>(results));
            plot.lagMs.push_back(result.reading.subFrameLagMs);
            // Only what the plot shows names it: a video that could not be
            // opened is no photo.
            anyFrame = anyFrame || result.frame.has_value();
            anyPhoto = anyPhoto || !result.frame.has_value();
        }
    }

    void liveStatus(const PhotoResult& result)
    {
        if (!result.frame) {
            return;
        }
        ++framesInSecond;
        if (result.reading.ok) {
            ++readInSecond;
        } else {
            lastFailure = result.reading.error;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastLine < std::chrono::seconds(1)) {
            return;
        }
        std::ostream& lines = options.json ? err : out;
        const LagSummary summary = summarize(series);
        const std::string when = std::to_string(std::llround(std::chrono::duration<double>(now - started).count()));
        if (summary.segments.size() > 1 && summary.segments.back().first > announcedStart) {
            const SegmentSummary& since = summary.segments.back();
            const SegmentSummary& before = summary.segments[summary.segments.size() - 2];
            lines << "live " << when << " s: the lag changed at frame " << since.firstFrame
                  << ", a new segment; before it, frames " << before.firstFrame << " to " << before.lastFrame << ": "
                  << segmentLag(before.ms) << "\n";
            announcedStart = since.first;
        }
        // After a wait for frames, the line covers all of it.
        const long long waited = std::llround(std::chrono::duration<double>(now - lastLine).count());
        lines << "live " << when << " s: " << framesInSecond << (framesInSecond == 1 ? " frame" : " frames")
              << " in the last " << (waited <= 1 ? std::string("second") : std::to_string(waited) + " s") << ", "
              << readInSecond << " read";
        if (!summary.segments.empty()) {
            const SegmentSummary& current = summary.segments.back();
            lines << "; lag since frame " << current.firstFrame << ": " << segmentLag(current.ms);
        }
        if (readInSecond < framesInSecond) {
            lines << "; last failure: " << oneLine(lastFailure);
        }
        lines << "\n" << std::flush;
        framesInSecond = 0;
        readInSecond = 0;
        lastLine = now;
    }

    PlotSeries plotSeries(const LagSummary& summary)
    {
        const ReadSettings& settings = options.settings;
        const std::string count = std::to_string(series.photosRead);
        const std::string rate = std::to_string(settings.mode.rate) + " Hz";
        if (oneVideo) {
            plot.title = "Display lag: " + count + " frames of " + fs::path(options.files[0]).filename().string() +
                         " at " + rate;
            plot.indexLabel = "video time (s)";
        } else if (anyFrame) {
            plot.title =
                "Display lag: " + count + (anyPhoto ? " photos and video frames at " : " video frames at ") + rate;
            plot.indexLabel = anyPhoto ? "photo or video frame" : "video frame";
        } else {
            plot.title = "Display lag: " + count + " photos at " + rate;
            plot.indexLabel = "photo";
        }
        if (summary.ms) {
            plot.meanMs = summary.ms->mean;
            plot.hasInterval = summary.ms->ci95.has_value();
            if (summary.ms->ci95) {
                plot.ciLowMs = summary.ms->ci95->low;
                plot.ciHighMs = summary.ms->ci95->high;
            }
        }
        if (summary.segments.size() > 1) {
            for (const SegmentSummary& segment : summary.segments) {
                PlotSegment stretch;
                stretch.begin = segment.begin;
                stretch.end = segment.end;
                stretch.meanMs = segment.ms.mean;
                stretch.hasInterval = segment.ms.ci95.has_value();
                if (segment.ms.ci95) {
                    stretch.ciLowMs = segment.ms.ci95->low;
                    stretch.ciHighMs = segment.ms.ci95->high;
                }
                stretch.name = segmentName(summary, segment);
                plot.segments.push_back(stretch);
            }
        }
        plot.frameMs = 1000.0 / settings.mode.rate;
        return std::move(plot);
    }

    const Options& options;
    std::ostream& out;
    std::ostream& err;
    bool sameDestination;
    bool oneVideo;
    JsonReportWriter json;
    std::vector<PhotoResult> pending;
    bool settled = false;
    SeriesFindings findings;
    ReadSettings foundSettings;
    LagSeries series;
    PlotSeries plot;
    long long results = 0;
    bool anyFrame = false;
    bool anyPhoto = false;
    bool live = false;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastLine;
    long long framesInSecond = 0;
    long long readInSecond = 0;
    std::string lastFailure;
    long long announcedStart = 0;
};

// The outlines of the newest frame read so far: where the next frames look
// first. The frames after the first wait for its reading: searched side by
// side, each of the first frames would cost a search, and the frames after
// would follow whichever search ended last.
class Tracker {
public:
    std::optional<std::array<Quad, 2>> latest(bool first)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!first) {
            firstSettled.wait(lock, [this] { return firstDone; });
        }
        return outlines;
    }

    void offer(long long frame, const PhotoReading& reading, bool first)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (reading.ok && frame > newest) {
                newest = frame;
                outlines = std::array<Quad, 2>{reading.reference.corners, reading.device.corners};
            }
        }
        if (first) {
            releaseOthers();
        }
    }

    // The first frame read or given up on: the others need wait no more.
    void releaseOthers()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            firstDone = true;
        }
        firstSettled.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable firstSettled;
    bool firstDone = false;
    long long newest = -1;
    std::optional<std::array<Quad, 2>> outlines;
};

// Frames handed back once read, for the next frames to be decoded into: a
// video's frames are all of a size, each a few megabytes, and reusing them
// spares the allocation and the page faults.
class FrameBuffers {
public:
    VideoFrame take()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (spare.empty()) {
            return {};
        }
        VideoFrame frame = std::move(spare.back());
        spare.pop_back();
        return frame;
    }

    void giveBack(VideoFrame&& frame)
    {
        // Only a buffer no one else refers to may be written over.
        if (frame.image.u != nullptr && frame.image.u->refcount != 1) {
            frame.image.release();
        }
        frame.picture.release();
        const std::lock_guard<std::mutex> lock(mutex);
        if (spare.size() < VIDEO_WINDOW) {
            spare.push_back(std::move(frame));
        }
    }

private:
    std::mutex mutex;
    std::vector<VideoFrame> spare;
};

// Where a video's annotated pictures go, and how many are left to write.
struct FrameAnnotations {
    // The video's annotated picture's path, less ".jpg"; empty: none.
    std::string prefix;
    // The inputs, canonical: never written over.
    const std::set<std::string>* inputs = nullptr;
    std::atomic<int> failedLeft{MOST_ANNOTATED_FAILED_FRAMES};

    // The path for this frame, or empty when it gets no picture.
    std::string pathFor(long long frame, bool first, bool failed)
    {
        if (prefix.empty()) {
            return {};
        }
        bool wanted = first;
        if (!wanted && failed) {
            int left = failedLeft.load();
            while (left > 0 && !failedLeft.compare_exchange_weak(left, left - 1)) {
            }
            wanted = left > 0;
        }
        if (!wanted) {
            return {};
        }
        char number[32];
        (void)std::snprintf(number, sizeof number, "-frame-%06lld.jpg", frame);
        const std::string path = prefix + number;
        return inputs->count(canonicalPath(path)) == 0 ? path : std::string();
    }
};

// The part of a frame a tracked read samples: the screens' outlines and a
// margin for the strips' last samples, which may reach a pixel or two past.
cv::Rect aroundScreens(const std::array<Quad, 2>& outlines)
{
    cv::Point2d least = outlines[0][0];
    cv::Point2d most = least;
    for (const Quad& outline : outlines) {
        for (const cv::Point2d& corner : outline) {
            least = {std::min(least.x, corner.x), std::min(least.y, corner.y)};
            most = {std::max(most.x, corner.x), std::max(most.y, corner.y)};
        }
    }
    const double margin = 8.0 + std::max(most.x - least.x, most.y - least.y) / 64.0;
    return {cv::Point(cvFloor(least.x - margin), cvFloor(least.y - margin)),
            cv::Point(cvCeil(most.x + margin), cvCeil(most.y + margin))};
}

PhotoResult processFrame(const std::string& file, VideoFrame* frame, bool first, const ReadSettings& settings,
                         Tracker* tracker, FrameAnnotations* annotations, const PhotoReader& read)
{
    PhotoResult result;
    result.file = file;
    result.frame = FramePosition{frame->index, frame->timeS};
    result.reading = guarded([&] {
        const std::optional<std::array<Quad, 2>> known = tracker->latest(first);
        PhotoReading reading;
        if (known) {
            // While the screens stay put, only the frame around them is
            // converted from the codec's colours; it is searched whole
            // only when they are lost.
            if (!frameToBgr(frame, aroundScreens(*known))) {
                return failedReading(UNDECODABLE_FRAME);
            }
            const KnownScreens screens{*known, frame->whole};
            reading = readOne(frame->image, settings, &screens, read);
        }
        if (!known || reading.screensLost) {
            if (!frameToBgr(frame)) {
                return failedReading(UNDECODABLE_FRAME);
            }
            reading = readOne(frame->image, settings, nullptr, read);
        }
        tracker->offer(frame->index, reading, first);
        const std::string path = annotations->pathFor(frame->index, first, !reading.ok);
        if (!path.empty() && frameToBgr(frame)) {
            annotate(&frame->image, &reading, settings, path);
        }
        return reading;
    });
    // Undecodable, or failed on the way: the others go on without it.
    if (first) {
        tracker->releaseOthers();
    }
    return result;
}

// A video's frames, or a live source's, from source (a VideoSource or a
// LiveSource), each read on the workers, the screens tracked.
template <typename Source>
void readFrames(const std::string& file, Source& source, const Options& options, const std::string& annotationPath,
                const std::set<std::string>& inputs, const PhotoReader& read, Report* report)
{
    Tracker tracker;
    FrameAnnotations annotations;
    if (!annotationPath.empty()) {
        annotations.prefix = annotationPath.substr(0, annotationPath.size() - std::string(".jpg").size());
    }
    annotations.inputs = &inputs;
    FrameBuffers buffers;
    streamInOrder<VideoFrame, PhotoResult>(
        VIDEO_READ_WORKERS, VIDEO_WINDOW,
        [&](VideoFrame* frame) {
            *frame = buffers.take();
            return source.next(frame);
        },
        [&](std::size_t i, VideoFrame&& frame) {
            PhotoResult result = processFrame(file, &frame, i == 0, options.settings, &tracker, &annotations, read);
            buffers.giveBack(std::move(frame));
            return result;
        },
        [&](std::size_t /*index*/, PhotoResult&& result) { report->add(result); });
    // Only now, the decoding thread ended, is the source's verdict final.
    if (!source.error().empty()) {
        report->add(PhotoResult{file, std::nullopt, failedReading(source.error())});
    }
}

void readVideo(const std::string& file, const Options& options, const std::string& annotationPath,
               const std::set<std::string>& inputs, const PhotoReader& read, Report* report)
{
    VideoSource source(file, options.every);
    readFrames(file, source, options, annotationPath, inputs, read, report);
}

}  // namespace

std::string rollingShutterWarning(const ReadSettings& settings)
{
    const bool stacked = settings.reference == Placement::Top || settings.reference == Placement::Bottom;
    if (!stacked || settings.readoutMs) {
        return {};
    }
    return "stacked screens read without --readout, as if the camera had a global shutter: a rolling shutter "
           "(every phone's) catches the lower screen later, which shifts the lag by up to its readout time";
}

PhotoResult processPhoto(const std::string& file, const ReadSettings& settings, const std::string& annotationPath,
                         const PhotoReader& read)
{
    PhotoResult result;
    result.file = file;
    result.reading = guarded([&] { return readAndAnnotate(file, settings, annotationPath, read); });
    return result;
}

namespace {

// The --annotate folder made and the --plot file checked, before any input
// is read; false, with the usage error said, when either cannot serve.
// inputs: the files the plot must not overwrite.
bool outputsUsable(const Options& options, const std::vector<std::string>& inputs, std::ostream& err)
{
    if (!options.annotateDir.empty()) {
        const std::string error = prepareAnnotationDir(options.annotateDir);
        if (!error.empty()) {
            err << "vesmira-read: --annotate: " << error << "\n" << usageText();
            return false;
        }
    }
    if (!options.plotFile.empty()) {
        const std::string error = checkPlotFile(options.plotFile, inputs);
        if (!error.empty()) {
            err << "vesmira-read: --plot: " << oneLine(error) << "\n" << usageText();
            return false;
        }
    }
    return true;
}

}  // namespace

int runReader(const Options& options, std::ostream& out, std::ostream& err, bool sameDestination,
              const PhotoReader& read)
{
    if (!outputsUsable(options, options.files, err)) {
        return 2;
    }
    std::vector<std::string> annotationFiles;
    std::set<std::string> inputs;
    if (!options.annotateDir.empty()) {
        annotationFiles = annotationPaths(options.files, options.annotateDir);
        for (const std::string& file : options.files) {
            inputs.insert(canonicalPath(file));
        }
    }

    const std::size_t count = options.files.size();
    std::vector<InputKind> kinds;
    kinds.reserve(count);
    for (const std::string& file : options.files) {
        kinds.push_back(classifyInput(file));
    }
    const auto annotationFor = [&](std::size_t i) {
        return annotationFiles.empty() ? std::string() : annotationFiles[i];
    };

    Report report(options, out, err, sameDestination, count == 1 && kinds[0] == InputKind::Video);
    for (std::size_t first = 0; first < count;) {
        if (kinds[first] == InputKind::Video) {
            readVideo(options.files[first], options, annotationFor(first), inputs, read, &report);
            ++first;
            continue;
        }
        // The photos up to the next video, in parallel.
        std::size_t end = first + 1;
        while (end < count && kinds[end] == InputKind::Photo) {
            ++end;
        }
        runInOrder<PhotoResult>(
            end - first, READ_WORKERS, READ_AHEAD,
            [&](std::size_t i) {
                return processPhoto(options.files[first + i], options.settings, annotationFor(first + i), read);
            },
            [&](std::size_t /*index*/, PhotoResult&& result) { report.add(result); });
        first = end;
    }
    return report.finish();
}

int runLive(const Options& options, std::ostream& out, std::ostream& err, bool sameDestination, const PhotoReader& read,
            const std::atomic<bool>* stop)
{
    const std::vector<std::string> sources{options.liveSource};
    if (!outputsUsable(options, {}, err)) {
        return 2;
    }
    std::string annotationPath;
    std::set<std::string> inputs;
    if (!options.annotateDir.empty()) {
        annotationPath = annotationPaths(sources, options.annotateDir).front();
    }
    LiveSource source(options.liveSource, options.every, stop);
    if (!source.error().empty() && !stop->load()) {
        err << "vesmira-read: " << oneLine(options.liveSource) << ": " << source.error() << "\n";
        return 1;
    }
    Report report(options, out, err, sameDestination, true);
    report.startLive();
    readFrames(options.liveSource, source, options, annotationPath, inputs, read, &report);
    const int status = report.finish();
    // A source that stopped sending is a failed run, whatever came before.
    return source.error().empty() ? status : 1;
}

}  // namespace reader
