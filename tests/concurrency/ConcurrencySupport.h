#pragma once

// What the concurrency tests share: the plugin loaded through the host's loader, the DM inputs they
// open (writer-made files, the samples and the real corpus when present), and a digest of everything
// an opened file shows a host, to compare what many threads see with what one thread sees.

#include "trestan/Plugin.h"
#include "velmora/ImageView.h"
#include "velmora/RandomAccess.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
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

/// The corpus files alone (empty without the corpus).
std::vector<const Input*> realInputs();

/// A random-access source over bytes in memory.
class MemoryRandomAccess final : public velmora::RandomAccess {
public:
    explicit MemoryRandomAccess(const Bytes& bytes) : m_bytes(bytes) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    std::uint64_t readAt(std::uint64_t offset, std::uint64_t count, void* destination) const override;

private:
    const Bytes& m_bytes;
};

/// How a file reaches the plugin.
enum class Source { Path, Stream, RandomAccess };

std::shared_ptr<velmora::MultiImageView> open(const Input& input, Source source);

/// FNV-1a, for digests.
void mix(std::uint64_t& sum, const void* data, std::size_t size);

/// Everything a host can see of an opened file: the whole metadata tree (names and values), and for
/// every frame its shape, data type, properties, view origin and all of its pixels.
std::uint64_t digest(velmora::MultiImageView& view);

/// The pixels of a frame's whole region.
Bytes readWhole(velmora::ImageView& frame);

} // namespace concurrency
