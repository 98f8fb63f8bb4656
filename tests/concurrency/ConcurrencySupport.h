#pragma once

// What the concurrency tests share: the plugin loaded through the host's loader, the DM inputs they
// open (writer-made files, the samples and the real corpus when present), and a digest of everything
// an opened file shows a host, to compare what many threads see with what one thread sees.

#include "trestan/Plugin.h"
#include "velmora/ImageView.h"
#include "velmora/MetadataNode.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace concurrency {

using Bytes = std::vector<std::uint8_t>;

/// The Gatan plugin, loaded once per process through trestan::PluginLibrary, its log level set to
/// info as a host would (each open logs "DM3 dataset" or "DM4 dataset" from whichever thread opens).
trestan::ExtractorPlugin& gatanPlugin();

/// One DM input, in memory and as a file.
struct Input {
    std::string name;
    Bytes bytes;
    std::filesystem::path path;
};

/// Inputs that open: the writer's seed files of supported data types, the samples, and every real
/// file of the corpus (when it exists). The writer files are written to a temporary directory that
/// lives as long as the process.
const std::vector<Input>& openableInputs();

/// How a file reaches the plugin.
enum class Source { Path, Stream, RandomAccess };

std::shared_ptr<velmora::MultiImageView> open(const Input& input, Source source);

/// A digest of a metadata tree: every node's name, child count and value.
std::uint64_t treeDigest(const velmora::MetadataNode& root);

/// Everything a host can see of an opened file: the whole metadata tree (names and values), and for
/// every frame its shape, data type, properties, view origin and all of its pixels.
std::uint64_t digest(velmora::MultiImageView& view);

/// The pixels of a region of a frame.
Bytes readRegion(velmora::ImageView& frame, const velmora::RegionX<std::size_t>& region);

/// Problems seen by threads, reported once they have joined.
class Problems {
public:
    void add(std::string problem) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        if (m_shown.size() < 20) {
            m_shown.push_back(std::move(problem));
        }
    }
    void report() const {
        for (const std::string& problem : m_shown) {
            ADD_FAILURE() << problem;
        }
        EXPECT_EQ(m_count, 0U) << "problems in all";
    }

private:
    std::mutex m_mutex;
    std::size_t m_count = 0;
    std::vector<std::string> m_shown;
};

} // namespace concurrency
