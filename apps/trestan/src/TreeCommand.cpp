#include "TreeCommand.h"

#include "CommandLineError.h"
#include "JsonDocumentWriter.h"
#include "JsonTreeWriter.h"
#include "OptionChecks.h"
#include "TreePrinter.h"
#include "velmora/Error.h"

#include <iostream>

namespace trestan::cli {

void TreeCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand("tree", "Print the metadata tree of a file");
    m_subcommand->add_option("file", m_file, "File to read")->required();
    m_subcommand->add_option("--depth", m_depth, "Levels below the root to show")->check(atLeast(0));
    m_subcommand->add_flag("--json", m_json, "Print the tree as one JSON document");
}

int TreeCommand::run(app::PluginHost& host) {
    std::shared_ptr<velmora::MetadataNode> root;
    try {
        const app::OpenedFile file = host.open(m_file);
        root = file.view->metadata();
        if (!root) {
            throw velmora::Error("the file has no metadata tree");
        }
    } catch (const std::exception& error) {
        std::cerr << "trestan: " << m_file << ": " << failureText(error) << '\n';
        return ExitFileError;
    }

    if (m_json) {
        app::JsonDocumentWriter(app::JsonDocumentWriter::Layout::Compact)
            .write(std::cout, app::JsonTreeWriter(m_depth).toJson(*root));
    } else {
        TreePrinter(m_depth).print(std::cout, *root);
    }
    return ExitSuccess;
}

} // namespace trestan::cli
