#pragma once

// DM files written for tests that read them as the hosts do, through trestan::toolkit::HostFile.

#include "dmwriter/DmImage.h"
#include "trestan/toolkit/HostFile.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace hostfile_test {

/// A plugin host over the plugins of the build, logging nothing.
inline trestan::toolkit::PluginHost& pluginHost() {
    static trestan::toolkit::PluginHost host{std::vector<std::string>{TRESTAN_TEST_PLUGIN_DIR},
                                             velmora::LogLevel::Off};
    return host;
}

/// Writes a DM4 file of `images`, framed as DM frames its files, as `name` in the test's temporary
/// directory, and returns its path.
inline std::string writeDmFile(const std::string& name,
                               const std::vector<dmwriter::ImageDefinition>& images) {
    const std::filesystem::path directory = std::filesystem::path(::testing::TempDir()) / "host-file-tests";
    std::filesystem::create_directories(directory);
    dmwriter::DmFile file = dmwriter::imageFile(images);
    file.dmFraming();
    const std::string path = (directory / name).string();
    file.writeFile(path);
    return path;
}

/// `region` of frame `frame` of `file`, read into a buffer filled with 0xCD beforehand.
inline std::vector<std::uint8_t> regionBytes(const trestan::toolkit::HostFile& file, std::size_t frame,
                                             const velmora::RegionX<std::size_t>& region) {
    std::size_t bytes = file.index().frames[frame].dataType.elementSize();
    for (const std::size_t length : region.size()) {
        bytes *= length;
    }
    std::vector<std::uint8_t> out(bytes, 0xCD);
    file.readRegion(frame, region, out.data());
    return out;
}

} // namespace hostfile_test
