#include "TreeCommand.h"

#include "CommandLineError.h"
#include "OptionChecks.h"
#include "TreePrinter.h"
#include "trestan/toolkit/JsonDocumentWriter.h"
#include "trestan/toolkit/JsonTreeWriter.h"
#include "velmora/Error.h"

#include <iostream>

namespace trestan::cli {

void TreeCommand::configure(CLI::App& app) {
    m_subcommand = app.add_subcommand("tree", "Print the metadata tree of a file");
    m_subcommand->add_option("file", m_file, "File to read")->required();
    m_subcommand->add_option("--depth", m_depth, "Levels below the root to show")->check(atLeast(0));
    m_subcommand->add_flag("--json", m_json, "Print the tree as one JSON document");
}

int TreeCommand::run(toolkit::PluginHost& host) {
    std::shared_ptr<velmora::MetadataNode> root;
    try {
        // The tags alone: the format's index, where it has one.
        root = toolkit::HostFile::open(host, m_file, readThrough(host, false)).index().metadata;
        if (!root) {
            throw velmora::Error("the file has no metadata tree");
        }
    } catch (const std::exception& error) {
        std::cerr << "trestan: " << m_file << ": " << failureText(error) << '\n';
        return ExitFileError;
    }

    if (m_json) {
        toolkit::JsonDocumentWriter(toolkit::JsonDocumentWriter::Layout::Compact)
            .write(std::cout, toolkit::JsonTreeWriter(m_depth).toJson(*root));
    } else {
        TreePrinter(m_depth).print(std::cout, *root);
    }
    return ExitSuccess;
}

} // namespace trestan::cli
