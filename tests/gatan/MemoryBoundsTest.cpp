// What the walk may allocate where the file does not bound it: values read through a stream that
// cannot tell its size, and arrays of groups without fields, which take no bytes at all.

#include "AllocationProbe.h"
#include "GatanTestSupport.h"
#include "velmora/MetadataArena.h"

#include <cstdint>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace dmwriter;
using namespace testsupport;

namespace {

/// A stream that reads and seeks but cannot tell its size, as a pipe or a socket behind a seekable
/// cache would.
class UnsizedStream final : public velmora::StreamAccess {
public:
    explicit UnsizedStream(std::shared_ptr<velmora::StreamAccess> inner) : m_inner(std::move(inner)) {}

    std::uint64_t capabilities() const override { return velmora::READ | velmora::SEEK; }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        return m_inner->read(count, destination);
    }
    std::uint64_t tell() const override { return m_inner->tell(); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override { m_inner->seek(offset, origin); }
    std::optional<std::uint64_t> size() const override { return std::nullopt; }

private:
    std::shared_ptr<velmora::StreamAccess> m_inner;
};

/// The most memory this process has held at once, in KiB.
long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(MemoryBounds, ValuesOfAStreamWithoutSizeTakeMemoryAsTheirBytesArrive) {
    // Each file is a few dozen bytes and declares a value of a gigabyte or more; without a size to
    // check it against, the walk finds out by reading, and must not allocate the declaration first.
    struct Declaration {
        const char* what;
        Tag tag;
        std::uint64_t bytes;
        std::uint64_t infoBytes; ///< of the info array before the value: where the shortfall begins
    };
    const Declaration declarations[] = {
        {"array of 2^27 float64", Tag::raw({20, 7, std::int64_t{1} << 27}, Bytes(8, 0)),
         std::uint64_t{1} << 30, 12},
        {"string of 2^31-1 units", Tag::raw({18, 0x7FFFFFFF}, Bytes(6, 0)), std::uint64_t{0x7FFFFFFF} * 2, 8},
        {"info array of 2^31-1 entries", Tag::raw({3}, Bytes(4, 0)).infoCount(0x7FFFFFFF),
         std::uint64_t{0x7FFFFFFF} * 4, 0},
    };
    for (const Declaration& declaration : declarations) {
        DmFile file(Version::Dm3);
        file.root().addTag("Huge", declaration.tag);
        addEmptyImageList(file);
        const Bytes bytes = file.toBytes();
        // The separator and the info count (4 bytes each in DM3) come before the info array.
        const std::uint64_t offset = file.root().tag("Huge").offset() + 8 + declaration.infoBytes;

        AllocationProbe probe;
        const std::string error = errorOf<velmora::Error>(
            [&] { openSource(std::make_shared<UnsizedStream>(memoryStream(bytes))); });
        EXPECT_EQ(error, fmt::format("DM data ended early at offset {0}: {1} bytes needed, {2} available",
                                     offset, declaration.bytes, bytes.size() - offset))
            << declaration.what;
        EXPECT_LT(probe.largest(), std::size_t{1} << 20) << declaration.what;
    }
}

TEST(MemoryBounds, ArraysOfGroupsWithoutFieldsAreBoundedByWhatTheirItemsCost) {
    // Such groups take no bytes: three hundred of them open as three hundred items without children.
    DmFile file(Version::Dm4);
    file.root().addTag("Groups", Tag::groupArray({}, 300, {}));
    addEmptyImageList(file);
    const NodePtr groups = nodeAt(gatanNode(*openDm(file)), "Groups");
    ASSERT_EQ(groups->childCount(), 300U);
    EXPECT_EQ(groups->childAt(299)->name(), "item299");
    EXPECT_EQ(groups->childAt(299)->childCount(), 0U);

    // A file may hold as many as the limit, at least a million, in any number of tags; opened in an
    // arena as the plugin opens files, they take less than 200 MiB.
    const std::int64_t limit = GatanExtractor::MaxEmptyGroupNodes;
    ASSERT_GE(limit, 1000000);
    DmFile many(Version::Dm3);
    many.root().addTag("First", Tag::groupArray({}, limit / 2, {}));
    many.root().addTag("Second", Tag::groupArray({}, limit - limit / 2, {}));
    addEmptyImageList(many);
    const Bytes bytes = many.toBytes();
    const long before = peakResidentKiB();
    {
        const velmora::MetadataArena::Scope metadataMemory;
        const NodePtr gatan = gatanNode(*openDm(bytes));
        EXPECT_EQ(nodeAt(gatan, "Second")->childCount(), static_cast<std::size_t>(limit - limit / 2));
    }
    EXPECT_LT(peakResidentKiB() - before, 200 * 1024);
}
