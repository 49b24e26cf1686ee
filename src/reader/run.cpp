#include "reader/run.h"

#include <exception>
#include <new>

#include "reader/annotate.h"
#include "reader/image_input.h"
#include "reader/in_order.h"

namespace reader {

namespace {

// Photos started ahead of the next one to report: enough to keep both
// workers busy past a slow photo, few enough that waiting results cost
// nothing.
constexpr std::size_t READ_AHEAD = 8;

PhotoReading readAndAnnotate(const std::string& file, const ReadSettings& settings, const std::string& annotationPath,
                             const PhotoReader& read)
{
    LoadedImage loaded = loadImage(file);
    if (!loaded.error.empty()) {
        PhotoReading reading;
        reading.error = loaded.error;
        return reading;
    }
    PhotoReading reading = read(loaded.image, settings);
    if (annotationPath.empty()) {
        return reading;
    }
    // The decoded photo is drawn on in place: no second copy in memory.
    drawAnnotation(&loaded.image, reading, settings);
    const std::string error = writeJpeg(loaded.image, annotationPath);
    if (!error.empty()) {
        if (reading.ok) {
            reading.warnings.push_back("annotated picture not written: " + error);
        } else {
            reading.error += "; annotated picture not written: " + error;
        }
    }
    return reading;
}

}  // namespace

PhotoResult processPhoto(const std::string& file, const ReadSettings& settings, const std::string& annotationPath,
                         const PhotoReader& read)
{
    PhotoResult result;
    try {
        result.file = file;
        result.reading = readAndAnnotate(file, settings, annotationPath, read);
        if (!result.reading.ok && result.reading.error.empty()) {
            result.reading.error = "not read, for no reason given";
        }
    } catch (const cv::Exception& e) {
        result.reading = PhotoReading{};
        result.reading.error = "OpenCV failed" + (e.func.empty() ? std::string() : " in " + e.func) + ": " + e.err;
    } catch (const std::bad_alloc&) {
        result.reading = PhotoReading{};
        result.reading.error = "out of memory";
    } catch (const std::exception& e) {
        result.reading = PhotoReading{};
        result.reading.error = std::string("internal error: ") + e.what();
    } catch (...) {
        result.reading = PhotoReading{};
        result.reading.error = "internal error";
    }
    return result;
}

int runReader(const Options& options, std::ostream& out, std::ostream& err, bool sameDestination,
              const PhotoReader& read)
{
    std::vector<std::string> annotationFiles;
    if (!options.annotateDir.empty()) {
        const std::string error = prepareAnnotationDir(options.annotateDir);
        if (!error.empty()) {
            err << "vesmira-read: --annotate: " << error << "\n" << usageText();
            return 2;
        }
        annotationFiles = annotationPaths(options.files, options.annotateDir);
    }

    LagSeries series;
    JsonReportWriter json(out);
    const std::size_t count = options.files.size();
    runInOrder<PhotoResult>(
        count, READ_WORKERS, READ_AHEAD,
        [&](std::size_t i) {
            return processPhoto(options.files[i], options.settings,
                                annotationFiles.empty() ? std::string() : annotationFiles[i], read);
        },
        [&](std::size_t /*index*/, PhotoResult&& result) {
            series.add(result.reading);
            if (options.json) {
                json.add(result);
            } else {
                out << plainPhotoLines(result) << std::flush;
            }
            if (!result.reading.ok && (options.json || !sameDestination)) {
                err << errorLine(result) << std::flush;
            }
        });

    const LagSummary summary = summarize(series);
    if (options.json) {
        json.finish(summary);
    } else {
        out << "\n" << plainSummary(summary) << std::flush;
    }
    if (!out) {
        err << "vesmira-read: the report could not be written\n";
        return 1;
    }
    return series.photosRead > 0 ? 0 : 1;
}

}  // namespace reader
