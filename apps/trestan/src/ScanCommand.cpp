#include "ScanCommand.h"

#include "CommandLineError.h"
#include "trestan/gatan/DmMetadata.h"
#include "velmora/Error.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <glob.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

namespace trestan::cli {

namespace {

namespace fs = std::filesystem;

bool isDmFile(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".dm3" || extension == ".dm4";
}

void walkDirectory(const fs::path& directory, std::vector<std::string>& files) {
    std::vector<std::string> found;
    std::error_code error;
    fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && isDmFile(it->path())) {
            found.push_back(it->path().string());
        }
    }
    if (error) {
        // An unreadable directory is reported like a file that cannot be opened.
        found.push_back(directory.string());
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

// What a scan reports of one file: the JSON line, or the fields of its CSV row.
struct ScanResult {
    nlohmann::ordered_json record;
    bool failed = false;
};

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

ScanResult scanFile(app::PluginHost& host, const std::string& path) {
    ScanResult result;
    result.record["path"] = path;
    std::error_code sizeError;
    const std::uintmax_t size = fs::file_size(path, sizeError);
    if (sizeError) {
        result.record["error"] = sizeError.message();
        result.failed = true;
        return result;
    }
    result.record["size"] = size;
    try {
        const app::OpenedFile file = host.open(path);
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

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

const char* const s_csvColumns[] = {
    "path",  "size", "format", "frames",     "main",        "shape",         "type",          "signal_type",
    "title", "date", "time",   "microscope", "beam_energy", "magnification", "camera_length", "error"};

std::string csvValue(const nlohmann::ordered_json& value) {
    if (value.is_null()) {
        return "";
    }
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_array()) {
        std::string text;
        for (const nlohmann::ordered_json& item : value) {
            text += (text.empty() ? "" : "x") + csvValue(item);
        }
        return text;
    }
    return value.dump();
}

std::string csvRow(const nlohmann::ordered_json& record) {
    const nlohmann::ordered_json none;
    const nlohmann::ordered_json& metadata = record.contains("metadata") ? record["metadata"] : none;
    const auto field = [&](const nlohmann::ordered_json& object, const char* key) -> std::string {
        return object.is_object() && object.contains(key) ? csvValue(object[key]) : "";
    };
    std::string mainType;
    if (record.contains("main") && record.contains("frames")) {
        mainType = csvValue(record["frames"][record["main"].get<std::size_t>()]["type"]);
    }
    const std::vector<std::string> values = {
        field(record, "path"),
        field(record, "size"),
        field(record, "format"),
        record.contains("frames") ? std::to_string(record["frames"].size()) : "",
        field(record, "main"),
        field(metadata, "shape"),
        mainType,
        field(metadata, "signal_type"),
        field(metadata, "title"),
        field(metadata, "date"),
        field(metadata, "time"),
        field(metadata, "microscope"),
        field(metadata, "beam_energy"),
        field(metadata, "magnification"),
        field(metadata, "camera_length"),
        field(record, "error")};
    std::string row;
    for (std::size_t i = 0; i < values.size(); ++i) {
        row += (i == 0 ? "" : ",") + csvField(values[i]);
    }
    return row;
}

// A one-line progress bar on standard error, redrawn at most every 100 ms.
class ProgressBar {
public:
    explicit ProgressBar(std::size_t total) : m_total(total), m_enabled(::isatty(STDERR_FILENO) == 1) {}

    void update(std::size_t done, bool force = false) {
        if (!m_enabled) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - m_last < std::chrono::milliseconds(100)) {
            return;
        }
        m_last = now;
        constexpr std::size_t width = 30;
        const std::size_t filled = m_total == 0 ? width : done * width / m_total;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << done
                  << '/' << m_total << std::flush;
    }

    void finish() {
        if (m_enabled) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }

private:
    std::size_t m_total;
    bool m_enabled;
    std::chrono::steady_clock::time_point m_last{};
};

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

void ScanCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand(
        "scan", "Summarise many files, one line each: frames, calibration and microscopy metadata");
    m_subcommand->add_option("paths", m_paths, "Files, directories (searched for .dm3/.dm4) or glob patterns")
        ->required();
    m_subcommand->add_flag("--csv", m_csv, "Print a CSV table instead of JSON lines");
    m_subcommand->add_option("-j,--jobs", m_jobs, "Files opened at once (default: the number of cores)")
        ->check(CLI::PositiveNumber);
}

int ScanCommand::run(app::PluginHost& host) {
    const std::vector<std::string> files = expandScanPaths(m_paths);
    host.registry(); // scanned once here, read-only from the workers
    const std::size_t jobs = std::max<std::size_t>(
        1, std::min<std::size_t>(files.size(), m_jobs != 0 ? m_jobs : std::thread::hardware_concurrency()));

    // Workers take files in turn; results are printed in file order as they become ready.
    std::vector<std::optional<ScanResult>> results(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::jthread> workers;
    for (std::size_t w = 0; w < jobs; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < files.size(); i = next++) {
                ScanResult result = scanFile(host, files[i]);
                {
                    const std::lock_guard lock(mutex);
                    results[i] = std::move(result);
                }
                ready.notify_all();
            }
        });
    }

    if (m_csv) {
        std::string header;
        for (const char* column : s_csvColumns) {
            header += (header.empty() ? "" : ",") + std::string(column);
        }
        std::cout << header << '\n';
    }
    ProgressBar progress(files.size());
    bool failed = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        ScanResult result;
        {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return results[i].has_value(); });
            result = std::move(*results[i]);
            results[i].reset();
        }
        failed = failed || result.failed;
        if (m_csv) {
            std::cout << csvRow(result.record) << '\n';
        } else {
            std::cout << result.record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                      << '\n';
        }
        progress.update(i + 1, i + 1 == files.size());
    }
    progress.finish();
    return failed ? ExitFileError : ExitSuccess;
}

} // namespace trestan::cli
