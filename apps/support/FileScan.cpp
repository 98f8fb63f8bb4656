#include "FileScan.h"

#include "trestan/gatan/DmMetadata.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <glob.h>
#include <mutex>
#include <optional>
#include <thread>

namespace trestan::app {

namespace {

namespace fs = std::filesystem;

bool isDmFile(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".dm3" || extension == ".dm4";
}

// Adds the DM files below `top` to `files`, in name order. A folder that cannot be listed (no
// permission, removed meanwhile) takes its place among them, so that the scan reports it like a
// file that cannot be opened. Links to folders are not followed.
void walkDirectory(const fs::path& top, std::vector<std::string>& files) {
    std::vector<std::string> found;
    std::vector<fs::path> pending{top};
    while (!pending.empty()) {
        const fs::path directory = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator it(directory, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            std::error_code typeError;
            if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
                pending.push_back(it->path());
            } else if (it->is_regular_file(typeError) && isDmFile(it->path())) {
                found.push_back(it->path().string());
            }
        }
        if (error) {
            found.push_back(directory.string());
        }
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

nlohmann::ordered_json mainKeys(const nlohmann::json& signal) {
    nlohmann::ordered_json keys = nlohmann::ordered_json::object();
    keys["frame"] = signal.at("frame");
    keys["shape"] = nlohmann::ordered_json(signal.at("shape"));
    const nlohmann::json& general = signal.at("General");
    for (const char* key : {"title", "date", "time"}) {
        if (general.contains(key)) {
            keys[key] = general[key].get<std::string>();
        }
    }
    keys["signal_type"] = signal.at("Signal").value("signal_type", "");
    for (const auto& [kind, microscope] : signal.at("Acquisition_instrument").items()) {
        if (kind != "TEM" && kind != "SEM") {
            continue;
        }
        keys["microscope_type"] = kind;
        for (const char* key : {"microscope", "acquisition_mode", "beam_energy", "magnification",
                                "camera_length", "dwell_time"}) {
            if (microscope.contains(key)) {
                keys[key] = nlohmann::ordered_json(microscope[key]);
            }
        }
    }
    return keys;
}

} // namespace

std::vector<std::string> expandScanPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (fs::is_directory(status)) {
            walkDirectory(path, files);
            continue;
        }
        if (fs::exists(status) || path.find_first_of("*?[") == std::string::npos) {
            files.push_back(path);
            continue;
        }
        glob_t matches{};
        if (::glob(path.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string match = matches.gl_pathv[i];
                if (fs::is_directory(match, error)) {
                    walkDirectory(match, files);
                } else {
                    files.push_back(match);
                }
            }
        } else {
            files.push_back(path); // nothing matched: reported as a file that does not exist
        }
        ::globfree(&matches);
    }
    return files;
}

ScanRecord scanFile(PluginHost& host, const std::string& path) {
    ScanRecord result;
    result.record["path"] = path;
    std::error_code statusError;
    const fs::file_status status = fs::status(path, statusError);
    if (fs::is_directory(status)) {
        // Listed among the files only when the walk could not list it.
        std::error_code listError;
        const fs::directory_iterator listing(path, listError);
        result.record["error"] =
            listError ? "cannot list the folder: " + listError.message() : std::string("is a folder");
        result.failed = true;
        return result;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        result.record["error"] = "not a regular file";
        result.failed = true;
        return result;
    }
    std::error_code sizeError;
    const std::uintmax_t size = fs::file_size(path, sizeError);
    if (sizeError) {
        result.record["error"] = sizeError.message();
        result.failed = true;
        return result;
    }
    result.record["size"] = size;
    try {
        const OpenedFile file = host.open(path);
        velmora::MultiImageView& view = *file.view;
        result.record["format"] = file.format;
        const std::size_t frameCount = view.frameCount();
        const std::shared_ptr<velmora::MetadataNode> root = view.metadata();
        const bool dm = file.format == "DM" && root;
        const gatan::FrameRoles roles = dm ? gatan::frameRoles(*root, frameCount) : gatan::FrameRoles{};
        nlohmann::ordered_json frames = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < frameCount; ++i) {
            const std::shared_ptr<velmora::ImageView> frame = view.frame(i);
            nlohmann::ordered_json entry;
            entry["index"] = i;
            entry["shape"] = frame->shape().values();
            entry["type"] = frame->dataType().name();
            if (const std::shared_ptr<velmora::ImageProperties> properties = frame->properties()) {
                const velmora::SpatialCalibrationProperty& calibration = properties->calibration();
                entry["calibration"] = {
                    {"origin", {calibration.origin()[0], calibration.origin()[1], calibration.origin()[2]}},
                    {"spacing",
                     {calibration.spacing()[0], calibration.spacing()[1], calibration.spacing()[2]}},
                    {"unit", calibration.unit()}};
            }
            entry["thumbnail"] = roles.isThumbnail(i);
            frames.push_back(std::move(entry));
        }
        result.record["frames"] = std::move(frames);
        if (dm && roles.main) {
            result.record["main"] = *roles.main;
            const gatan::MappedSignal signal =
                gatan::mapSignal(*root, *roles.main, view.frame(*roles.main)->shape().values());
            result.record["metadata"] = mainKeys(signal.json);
        }
    } catch (const std::exception& error) {
        result.record["error"] = error.what();
        result.failed = true;
    }
    return result;
}

void scanFiles(PluginHost& host, const std::vector<std::string>& files, std::size_t jobs,
               const std::function<void(std::size_t index, ScanRecord&& record)>& consume) {
    host.registry(); // scanned once here, read-only from the workers
    if (jobs == 0) {
        jobs = std::thread::hardware_concurrency();
    }
    jobs = std::max<std::size_t>(1, std::min(files.size(), jobs));

    // Workers take files in turn; records are handed over in file order as they become ready.
    std::vector<std::optional<ScanRecord>> results(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::jthread> workers;
    for (std::size_t w = 0; w < jobs; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < files.size(); i = next++) {
                ScanRecord result = scanFile(host, files[i]);
                {
                    const std::lock_guard lock(mutex);
                    results[i] = std::move(result);
                }
                ready.notify_all();
            }
        });
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        ScanRecord result;
        {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return results[i].has_value(); });
            result = std::move(*results[i]);
            results[i].reset();
        }
        consume(i, std::move(result));
    }
}

} // namespace trestan::app
