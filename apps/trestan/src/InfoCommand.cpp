#include "InfoCommand.h"

#include "CommandLineError.h"
#include "FrameSummary.h"
#include "JsonDocumentWriter.h"
#include "velmora/MetadataNode.h"

#include <iostream>

namespace trestan::cli {

namespace {

struct FileSummary {
    app::OpenedFile file;
    std::size_t metadataNodes = 0;
    std::vector<FrameSummary> frames;
};

FileSummary summarise(app::PluginHost& host, const std::string& path, bool checksum) {
    FileSummary summary;
    summary.file = host.open(path);
    velmora::MultiImageView& view = *summary.file.view;
    if (const std::shared_ptr<velmora::MetadataNode> metadata = view.metadata()) {
        summary.metadataNodes = velmora::MetadataNodeHelper::countNodes(*metadata);
    }
    const std::size_t frameCount = view.frameCount();
    summary.frames.reserve(frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) {
        summary.frames.push_back(FrameSummary::describe(i, *view.frame(i), checksum));
    }
    return summary;
}

nlohmann::ordered_json toJson(const FileSummary& summary) {
    nlohmann::ordered_json frames = nlohmann::ordered_json::array();
    for (const FrameSummary& frame : summary.frames) {
        frames.push_back(frame.toJson());
    }
    return {{"file", summary.file.path},
            {"format", summary.file.format},
            {"plugin", summary.file.plugin->name()},
            {"pluginVersion", summary.file.plugin->version().toString()},
            {"frames", std::move(frames)}};
}

void printText(std::ostream& out, const FileSummary& summary) {
    out << "file: " << summary.file.path << '\n';
    out << "format: " << summary.file.format << " (" << summary.file.plugin->name() << ' '
        << summary.file.plugin->version().toString() << ")\n";
    out << "metadata nodes: " << summary.metadataNodes << '\n';
    out << "frames: " << summary.frames.size() << '\n';
    for (const FrameSummary& frame : summary.frames) {
        out << "  " << frame.toText() << '\n';
    }
}

} // namespace

void InfoCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand("info", "Summarise files: format, plugin, metadata and frames");
    m_subcommand->add_option("files", m_files, "Files to summarise")->required();
    m_subcommand->add_flag("--json", m_json, "Print one JSON document (an array for several files)");
    m_subcommand->add_flag("--checksum", m_checksum, "Add the SHA-256 of each frame's pixels");
}

int InfoCommand::run(app::PluginHost& host) {
    int exitCode = ExitSuccess;
    nlohmann::ordered_json documents = nlohmann::ordered_json::array();
    bool first = true;
    for (const std::string& path : m_files) {
        try {
            // Each file is opened, summarised and released before the next one is opened.
            const FileSummary summary = summarise(host, path, m_checksum);
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
            std::cerr << "trestan: " << path << ": " << error.what() << '\n';
            exitCode = ExitFileError;
        }
    }
    const app::JsonDocumentWriter writer(app::JsonDocumentWriter::Layout::Indented);
    if (m_json && m_files.size() > 1) {
        writer.write(std::cout, documents);
    } else if (m_json && !documents.empty()) {
        writer.write(std::cout, documents.front());
    }
    return exitCode;
}

} // namespace trestan::cli
