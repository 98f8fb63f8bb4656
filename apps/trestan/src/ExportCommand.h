#pragma once

#include "Command.h"

#include <cstddef>
#include <optional>
#include <string>

namespace trestan::cli {

/// `trestan export FILE -o OUT [--frame N]`: writes one frame (by default the main image, else the
/// largest) in the format that the extension of OUT names: .npy, .tif, .png or .raw. The frame is
/// read from the file a piece at a time as it is written, so a frame of any size is exported in the
/// memory of a piece.
class ExportCommand final : public Command {
public:
    void configure(CLI::App& app) override;
    int run(toolkit::PluginHost& host) override;

private:
    std::string m_file;
    std::string m_output;
    std::optional<std::size_t> m_frame;
    bool m_allowTruncated = false;
    bool m_viaPlugin = false;
};

} // namespace trestan::cli
