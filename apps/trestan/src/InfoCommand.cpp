#include "InfoCommand.h"

#include "CommandLineError.h"
#include "FrameSummary.h"
#include "trestan/toolkit/JsonDocumentWriter.h"
#include "velmora/MetadataNode.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

namespace trestan::cli {

namespace {

struct FileSummary {
    toolkit::HostFile file;
    std::size_t metadataNodes = 0;
    std::vector<FrameSummary> frames;
    toolkit::FrameRoles roles;
    // The mapped microscopy metadata of each image that is not a thumbnail, by frame index.
    std::map<std::size_t, nlohmann::json> signals;
};

FileSummary summarise(toolkit::HostFile file, bool checksum, bool allowTruncated) {
    FileSummary summary{std::move(file), 0, {}, {}, {}};
    const toolkit::FileIndex& index = summary.file.index();
    if (index.metadata) {
        summary.metadataNodes = velmora::MetadataNodeHelper::countNodes(*index.metadata);
    }
    summary.frames.reserve(index.frames.size());
    for (std::size_t i = 0; i < index.frames.size(); ++i) {
        summary.frames.push_back(FrameSummary::describe(summary.file, i, checksum, allowTruncated));
    }
    // Microscopy metadata comes from the formats that map it.
    if (const toolkit::FormatSupport* support = summary.file.support()) {
        summary.roles = summary.file.roles();
        for (toolkit::MappedImage& image : support->mapImages(index)) {
            summary.signals.emplace(image.frame, std::move(image.json));
        }
    }
    return summary;
}

nlohmann::ordered_json toJson(const FileSummary& summary) {
    nlohmann::ordered_json frames = nlohmann::ordered_json::array();
    for (const FrameSummary& frame : summary.frames) {
        nlohmann::ordered_json entry = frame.toJson();
        if (!summary.roles.thumbnail.empty()) {
            entry["thumbnail"] = summary.roles.isThumbnail(frame.index());
            entry["main"] = summary.roles.main == frame.index();
        }
        if (const auto signal = summary.signals.find(frame.index()); signal != summary.signals.end()) {
            entry["metadata"] = nlohmann::ordered_json(signal->second);
        }
        frames.push_back(std::move(entry));
    }
    return {{"file", summary.file.path()},
            {"format", summary.file.format()},
            {"plugin", summary.file.plugin().name()},
            {"pluginVersion", summary.file.plugin().version().toString()},
            {"frames", std::move(frames)}};
}

// A number for people: six significant digits, whole numbers without a decimal point.
std::string plainNumber(double value) {
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// A mapped number with its unit, when the key holds a number.
void putNumber(std::vector<std::string>& parts, const nlohmann::json& object, const char* key,
               const std::string& prefix, const std::string& suffix) {
    if (const auto value = object.find(key); value != object.end() && value->is_number()) {
        parts.push_back(prefix + plainNumber(value->get<double>()) + suffix);
    }
}

// A mapped text, when the key holds a non-empty one.
std::string text(const nlohmann::json& object, const char* key) {
    const auto value = object.find(key);
    return value != object.end() && value->is_string() ? value->get<std::string>() : std::string();
}

// "HAADF": image, STEM, 300 kV, x10000000, dwell 2e-06 s, 2019-12-10 15:32:41, operator J. Doe,
// specimen "Au on C": what a microscopist looks for first, from the image's mapped metadata; what the
// file does not record is left out.
std::string signalLine(const nlohmann::json& signal) {
    std::vector<std::string> parts;
    const std::string type = signal.at("Signal").value("signal_type", "");
    parts.push_back(type.empty() ? "image" : type);
    // The microscope's group: TEM or SEM (the others describe detectors and spectrometers).
    for (const auto& [kind, microscope] : signal.at("Acquisition_instrument").items()) {
        if ((kind != "TEM" && kind != "SEM") || !microscope.is_object()) {
            continue;
        }
        if (const std::string mode = text(microscope, "acquisition_mode"); !mode.empty()) {
            parts.push_back(mode);
        }
        putNumber(parts, microscope, "beam_energy", "", " kV");
        putNumber(parts, microscope, "magnification", "x", "");
        putNumber(parts, microscope, "camera_length", "camera length ", " mm");
        putNumber(parts, microscope, "dwell_time", "dwell ", " s");
        if (microscope.contains("Camera")) {
            putNumber(parts, microscope["Camera"], "exposure", "exposure ", " s");
        }
    }
    const nlohmann::json& general = signal.at("General");
    if (general.contains("date")) {
        parts.push_back(general["date"].get<std::string>() +
                        (general.contains("time") ? " " + general["time"].get<std::string>() : ""));
    }
    if (const std::string author = text(general, "authors"); !author.empty()) {
        parts.push_back("operator " + author);
    }
    if (signal.contains("Sample")) {
        if (const std::string specimen = text(signal["Sample"], "description"); !specimen.empty()) {
            parts.push_back("specimen \"" + specimen + '"');
        }
    }
    std::ostringstream line;
    if (const std::string title = text(general, "title"); !title.empty()) {
        line << '"' << title << "\": ";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        line << (i > 0 ? ", " : "") << parts[i];
    }
    return line.str();
}

void printText(std::ostream& out, const FileSummary& summary) {
    out << "file: " << summary.file.path() << '\n';
    out << "format: " << summary.file.format() << " (" << summary.file.plugin().name() << ' '
        << summary.file.plugin().version().toString() << ")\n";
    out << "metadata nodes: " << summary.metadataNodes << '\n';
    out << "frames: " << summary.frames.size() << '\n';
    for (const FrameSummary& frame : summary.frames) {
        out << "  " << frame.toText() << (summary.roles.isThumbnail(frame.index()) ? " [thumbnail]" : "")
            << '\n';
        if (const auto signal = summary.signals.find(frame.index()); signal != summary.signals.end()) {
            out << "    " << signalLine(signal->second) << '\n';
        }
    }
}

} // namespace

void InfoCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand("info", "Summarise files: format, plugin, metadata and frames");
    m_subcommand->add_option("files", m_files, "Files to summarise")->required();
    m_subcommand->add_flag("--json", m_json, "Print one JSON document (an array for several files)");
    m_subcommand->add_flag("--checksum", m_checksum, "Add the SHA-256 of each frame's pixels");
    m_subcommand->add_flag("--allow-truncated", m_allowTruncated,
                           "Checksum frames that the file ends inside, their missing bytes as zeros");
    m_subcommand->add_flag("--via-plugin", m_viaPlugin,
                           "Read the files through the plugin's open, which loads every frame");
}

int InfoCommand::run(toolkit::PluginHost& host) {
    int exitCode = ExitSuccess;
    nlohmann::ordered_json documents = nlohmann::ordered_json::array();
    bool first = true;
    for (const std::string& path : m_files) {
        try {
            // Each file is opened, summarised and released before the next one is opened.
            const FileSummary summary =
                summarise(toolkit::HostFile::open(host, path, readThrough(host, m_viaPlugin)), m_checksum,
                          m_allowTruncated);
            if (m_json) {
                documents.push_back(toJson(summary));
            } else {
                if (!first) {
                    std::cout << '\n';
                }
                first = false;
                printText(std::cout, summary);
            }
        } catch (const std::exception& error) {
            std::cout.flush();
            std::cerr << "trestan: " << path << ": " << failureText(error) << '\n';
            exitCode = ExitFileError;
        }
    }
    const toolkit::JsonDocumentWriter writer(toolkit::JsonDocumentWriter::Layout::Indented);
    if (m_json && m_files.size() > 1) {
        writer.write(std::cout, documents);
    } else if (m_json && !documents.empty()) {
        writer.write(std::cout, documents.front());
    }
    return exitCode;
}

} // namespace trestan::cli
