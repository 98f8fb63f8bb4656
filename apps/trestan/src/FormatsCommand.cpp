#include "FormatsCommand.h"

#include "CommandLineError.h"
#include "trestan/toolkit/JsonDocumentWriter.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

namespace trestan::cli {

namespace {

struct PluginDescription {
    std::string name;
    std::string version;
    std::string library;
    std::vector<std::string> formats;
    std::vector<std::string> extensions;
};

PluginDescription describe(const PluginLibrary& library) {
    const ExtractorPlugin& plugin = library.plugin();
    PluginDescription description{plugin.name(), plugin.version().toString(), library.path(), {}, {}};
    description.formats.assign(plugin.supportedFormats().begin(), plugin.supportedFormats().end());
    for (const auto& entry : plugin.extensionMap()) {
        description.extensions.push_back(entry.first);
    }
    std::sort(description.formats.begin(), description.formats.end());
    std::sort(description.extensions.begin(), description.extensions.end());
    return description;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

} // namespace

void FormatsCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand("formats", "List the plugins with their formats and file extensions");
    m_subcommand->add_flag("--json", m_json, "Print a JSON array");
}

int FormatsCommand::run(toolkit::PluginHost& host) {
    std::vector<PluginDescription> plugins;
    for (const auto& library : host.registry().plugins()) {
        plugins.push_back(describe(*library));
    }

    if (m_json) {
        nlohmann::ordered_json document = nlohmann::ordered_json::array();
        for (const PluginDescription& plugin : plugins) {
            document.push_back({{"name", plugin.name},
                                {"version", plugin.version},
                                {"formats", plugin.formats},
                                {"extensions", plugin.extensions}});
        }
        toolkit::JsonDocumentWriter(toolkit::JsonDocumentWriter::Layout::Indented).write(std::cout, document);
    } else {
        for (const PluginDescription& plugin : plugins) {
            std::cout << plugin.name << ' ' << plugin.version << '\n'
                      << "  formats: " << joined(plugin.formats) << '\n'
                      << "  extensions: " << joined(plugin.extensions) << '\n'
                      << "  library: " << plugin.library << '\n';
        }
    }
    if (plugins.empty()) {
        std::cerr << "trestan: no plugins found in " << joined(host.directories()) << '\n';
    }
    return ExitSuccess;
}

} // namespace trestan::cli
