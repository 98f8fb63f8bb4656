#pragma once

#include "Command.h"

#include <cstddef>
#include <optional>
#include <string>

namespace trestan::cli {

/// `trestan export FILE -o OUT [--frame N]`: writes one frame (by default the largest) in the format
/// that the extension of OUT names: .npy, .tif, .png or .raw.
class ExportCommand final : public Command {
public:
    void configure(CLI::App& app) override;
    int run(app::PluginHost& host) override;

private:
    std::string m_file;
    std::string m_output;
    std::optional<std::size_t> m_frame;
};

} // namespace trestan::cli
