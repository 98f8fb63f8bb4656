#pragma once

#include "trestan/toolkit/FileIndex.h"
#include "trestan/toolkit/FormatSupport.h"
#include "trestan/toolkit/PluginHost.h"
#include "velmora/Vector.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace trestan::toolkit {

/// How a host reads a file.
enum class ReadThrough {
    /// The index of the file's format (its tags and where its pixels lie, no pixel read), where the
    /// format registered one; the plugin otherwise.
    Index,
    /// The plugin's open, which reads every frame whole.
    Plugin,
};

/// A file as a host reads it: its tags and frames described first, its pixels read when asked, in
/// regions of the caller's choosing. Read through its format's index, a file costs the reading of
/// its tags, whatever the size of its pixels; read through its plugin, it holds what the plugin
/// read.
class HostFile {
public:
    /// Reads `path` as `through` says. Refuses what is not a regular file ("not a regular file") and
    /// a file that no plugin claims (trestan::UnsupportedFormat) as PluginHost::open does; the
    /// index's and the plugin's own errors pass through, with the same messages.
    static HostFile open(PluginHost& host, const std::string& path, ReadThrough through = ReadThrough::Index);

    HostFile(HostFile&&) noexcept;
    HostFile& operator=(HostFile&&) noexcept;
    ~HostFile();

    const std::string& path() const { return m_path; }
    /// The format name, as the plugin that claims the file gives it.
    const std::string& format() const { return m_index.format; }
    /// The plugin that claims the file (opened it, or would have).
    const ExtractorPlugin& plugin() const { return *m_plugin; }
    /// The tags and the frames. Frames read through the plugin of a format that registered no
    /// support know neither their place in the file nor how much of them the file holds.
    const FileIndex& index() const { return m_index; }
    /// True when the frames are read from the file by the format's index, false when through the
    /// plugin's views.
    bool indexed() const { return m_indexed; }
    /// The format's host-side parts, or null when its format registered none.
    const FormatSupport* support() const { return m_support; }

    /// Which frames are thumbnails and which is the main image: the format's roles, or none (no
    /// thumbnail, no main image) where the format registered no support.
    FrameRoles roles() const;

    /// The frame's view-origin record: the plugin view's, or the one its format gives indexed frames.
    std::optional<FileIndex::FrameOrigin> frameOrigin(std::size_t frame) const;

    /// Copies `region` of frame `frame` into `destination`, packed, axis 0 fastest, as the plugin's
    /// region read delivers it. An indexed frame reads only the bytes of the file that the region
    /// spans; bytes the file does not hold read as zeros. Throws velmora::InvalidArgument for a
    /// region outside the frame and velmora::Error when the file cannot be read, or changed since it
    /// was indexed. One thread at a time: the first read of an indexed file opens its descriptor.
    void readRegion(std::size_t frame, const velmora::RegionX<std::size_t>& region, void* destination) const;

private:
    HostFile() = default;
    int descriptor() const;

    std::string m_path;
    const ExtractorPlugin* m_plugin = nullptr;
    const FormatSupport* m_support = nullptr;
    FileIndex m_index;
    bool m_indexed = false;
    OpenedFile m_opened;
    // The file as indexed (device, inode, size, modification time); the descriptor of its pixel
    // reads is opened on the first read and must name the same file.
    struct Identity;
    std::unique_ptr<Identity> m_identity;
    // Closed with its owner.
    struct Descriptor {
        int fd = -1;
        Descriptor() = default;
        Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
        Descriptor& operator=(Descriptor&& other) noexcept {
            std::swap(fd, other.fd);
            return *this;
        }
        ~Descriptor();
    };
    mutable Descriptor m_descriptor;
};

} // namespace trestan::toolkit
