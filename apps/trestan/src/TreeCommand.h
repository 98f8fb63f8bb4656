#pragma once

#include "Command.h"

#include <cstddef>
#include <optional>
#include <string>

namespace trestan::cli {

/// `trestan tree FILE`: the file's whole metadata tree, indented for people or as one JSON document.
class TreeCommand final : public Command {
public:
    void configure(CLI::App& app) override;
    int run(toolkit::PluginHost& host) override;

private:
    std::string m_file;
    std::optional<std::size_t> m_depth;
    bool m_json = false;
};

} // namespace trestan::cli
