#pragma once

// Helpers shared by the frame tests: opening DM bytes or files the way a host does, reading regions
// into guarded buffers, and temporary files.

#include "GatanExtractor.h"
#include "InternalPluginLogger.h"
#include "dmwriter/DmImage.h"
#include "dmwriter/DmWriter.h"
#include "trestan/OptionMap.h"
#include "velmora/Error.h"
#include "velmora/ImageView.h"
#include "velmora/LogLevel.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/Vector.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <typeinfo>
#include <unistd.h>
#include <vector>

namespace framestest {

using dmwriter::Bytes;
using ExtractorPtr = std::shared_ptr<GatanExtractor>;
using FramePtr = std::shared_ptr<velmora::ImageView>;
using Shape = velmora::VectorX<std::size_t>;
using Region = velmora::RegionX<std::size_t>;

/// The plugin's logger, created silent once per process as a host calling initLog(0) would.
inline void quietPluginLogger() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { InternalPluginLogger::init("GatanPlugin", velmora::LogLevel::Off); });
}

/// Opens DM bytes through a memory stream, as a host hands the plugin a stream.
inline ExtractorPtr openBytes(const Bytes& bytes) {
    quietPluginLogger();
    auto shared = std::make_shared<const std::vector<std::uint8_t>>(bytes);
    return std::make_shared<GatanExtractor>(velmora::StreamAccessFactory::fromMemory(shared), "DM",
                                            trestan::OptionMap{});
}

inline ExtractorPtr openFile(dmwriter::DmFile& file) {
    return openBytes(file.toBytes());
}

/// Opens a DM file by its path.
inline ExtractorPtr openPath(const std::string& path) {
    quietPluginLogger();
    return std::make_shared<GatanExtractor>(path, "DM", trestan::OptionMap{});
}

/// What opening the bytes throws, when it throws an E: its message. Any other outcome comes back as
/// text that no expected message matches.
template <typename E> std::string openError(const Bytes& bytes) {
    try {
        openBytes(bytes);
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected exception of type ") + typeid(error).name() + ": " + error.what();
    }
    return "no exception";
}

template <typename E> std::string openError(dmwriter::DmFile& file) {
    return openError<E>(file.toBytes());
}

/// Distinct, non-zero-heavy bytes: byte i is (i * 7 + seed) mod 256, then every 251st byte is
/// bumped, so that the pattern does not repeat with any power-of-two period.
inline Bytes ramp(std::size_t size, std::uint8_t seed = 1) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 251);
    }
    return bytes;
}

/// A file whose root holds one "ImageList" with one image.
inline dmwriter::DmFile singleImageFile(const dmwriter::ImageDefinition& written,
                                        dmwriter::Version version = dmwriter::Version::Dm4) {
    dmwriter::DmFile file(version);
    dmwriter::addImage(file.root().addDirectory("ImageList"), written);
    return file;
}

/// Number of bytes of `region` packed with elements of `elementSize` bytes.
inline std::size_t packedSize(const Region& region, std::size_t elementSize) {
    return region.elementCount() * elementSize;
}

/// Reads `region` of the frame into a buffer followed by guard bytes; throws std::logic_error when
/// the read writes past the region's packed size.
inline Bytes readRegion(velmora::ImageView& frame, const Region& region) {
    constexpr std::size_t guard = 64;
    constexpr std::uint8_t fill = 0xC7;
    const std::size_t size = packedSize(region, frame.dataType().elementSize());
    Bytes buffer(size + guard, fill);
    frame.readRegion(region, buffer.data());
    for (std::size_t i = size; i < buffer.size(); ++i) {
        if (buffer[i] != fill) {
            throw std::logic_error("readRegion wrote past the " + std::to_string(size) +
                                   " bytes of the region");
        }
    }
    buffer.resize(size);
    return buffer;
}

inline Bytes readWhole(velmora::ImageView& frame) {
    return readRegion(frame, Region::whole(frame.shape()));
}

/// The stored colour bytes without the fourth byte of every 4-byte pixel.
inline Bytes dropFourthBytes(const Bytes& stored) {
    Bytes packed;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (i % 4 != 3) {
            packed.push_back(stored[i]);
        }
    }
    return packed;
}

/// A file in the temporary directory, removed when the object goes.
class TempFile {
public:
    explicit TempFile(std::string_view suffix) {
        static std::atomic<unsigned> s_counter{0};
        m_path =
            (std::filesystem::temp_directory_path() / ("trestan-frames-" + std::to_string(::getpid()) + "-" +
                                                       std::to_string(s_counter++) + std::string(suffix)))
                .string();
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace framestest
