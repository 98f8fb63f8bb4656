#include "ScanCommand.h"

#include "CommandLineError.h"
#include "OptionChecks.h"
#include "trestan/toolkit/FileScan.h"
#include "trestan/toolkit/FormatRegistry.h"

#include <chrono>
#include <iostream>
#include <unistd.h>

namespace trestan::cli {

namespace {

// A field as its bytes, quoted when it holds a comma, a quote or a line break. A file name that is
// not UTF-8 keeps the bytes the file system gave it.
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

void ScanCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand(
        "scan", "Summarise many files, one line each: frames, calibration and microscopy metadata");
    std::string extensions;
    for (const std::string& extension : toolkit::FormatRegistry::instance().extensions()) {
        extensions += (extensions.empty() ? "." : "/.") + extension;
    }
    m_subcommand
        ->add_option("paths", m_paths,
                     "Files, directories (searched for " + extensions + ") or glob patterns")
        ->required();
    m_subcommand->add_flag("--csv", m_csv, "Print a CSV table instead of JSON lines");
    m_subcommand
        ->add_option("-j,--jobs", m_jobs,
                     "Files opened at once (default: the number of cores; at most 4 x the cores)")
        ->check(atLeast(1));
}

int ScanCommand::run(toolkit::PluginHost& host) {
    const std::vector<std::string> files = toolkit::expandScanPaths(m_paths);
    if (m_csv) {
        std::string header;
        for (const char* column : s_csvColumns) {
            header += (header.empty() ? "" : ",") + std::string(column);
        }
        std::cout << header << '\n';
    }
    ProgressBar progress(files.size());
    bool failed = false;
    const toolkit::ScanThreads threads =
        toolkit::scanFiles(host, files, m_jobs, [&](std::size_t index, toolkit::ScanRecord&& result) {
            failed = failed || result.failed;
            if (m_csv) {
                std::cout << csvRow(result.record) << '\n';
            } else {
                // Bytes of a name that are not UTF-8 as \udcXY: Python's os.fsencode() gives them back.
                std::cout << toolkit::dumpScanRecord(result.record) << '\n';
            }
            progress.update(index + 1, index + 1 == files.size());
        });
    progress.finish();
    if (threads.started < threads.wanted) {
        std::cerr << "trestan: warning: " << threads.started << " of " << threads.wanted
                  << " threads could be started (" << threads.failure << "); the scan ran on "
                  << (threads.started == 0 ? "the main thread" : "those") << '\n';
    }
    return failed ? ExitFileError : ExitSuccess;
}

} // namespace trestan::cli
