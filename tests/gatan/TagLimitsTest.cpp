// What the walk allocates: small files that declare enormous values fail before anything near the
// declaration is allocated, also through a stream that cannot tell its size; a DM4 file of 200,000
// tags opens; arrays of groups without fields are bounded by what their items cost, over all tags.

#include "AllocationProbe.h"
#include "GatanTestSupport.h"
#include "velmora/MetadataArena.h"

#include <cstdint>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <tuple>
#include <vector>

using namespace dmwriter;
using namespace testsupport;

namespace {

/// A stream that reads and seeks but cannot tell its size, as a pipe behind a seekable cache.
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

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(TagLimits, EnormousDeclarationsAllocateNothingLarge) {
    const std::vector<std::pair<Version, Tag>> tags = {
        {Version::Dm4, Tag::raw({3}, Bytes(4, 0)).infoCount((std::int64_t{1} << 60) - 1)},
        {Version::Dm4, Tag::raw({20, 4, std::int64_t{1} << 40}, {})},
        {Version::Dm4, Tag::groupArray({7, 8}, std::int64_t{1} << 40, {})},
        {Version::Dm4, Tag::groupArray({}, std::int64_t{1} << 40, {})},
        {Version::Dm3, Tag::raw({15, 0, 0x7FFFFFFF, 0, 3}, {})},
    };
    for (const auto& [version, tag] : tags) {
        DmFile file = fileWith(version, tag, "Huge");
        const Bytes bytes = file.toBytes();
        AllocationProbe probe;
        EXPECT_THAT(openError(bytes), ::testing::HasSubstr("\"Huge\""));
        EXPECT_LT(probe.largest(), std::size_t{1} << 20);
    }
    // Without a size to check against, the walk finds out by reading: memory follows the bytes.
    // (tag, bytes it declares, bytes of its info array: the shortfall begins after them)
    const std::tuple<Tag, std::uint64_t, std::uint64_t> declarations[] = {
        {Tag::raw({20, 7, std::int64_t{1} << 27}, Bytes(8, 0)), std::uint64_t{1} << 30, 12},
        {Tag::raw({18, 0x7FFFFFFF}, Bytes(6, 0)), std::uint64_t{0x7FFFFFFF} * 2, 8},
        {Tag::raw({3}, Bytes(4, 0)).infoCount(0x7FFFFFFF), std::uint64_t{0x7FFFFFFF} * 4, 0},
    };
    for (const auto& [tag, declared, infoBytes] : declarations) {
        DmFile file = fileWith(Version::Dm3, tag, "Huge");
        const Bytes bytes = file.toBytes();
        // The separator and the info count (4 bytes each in DM3) come before the info array.
        const std::uint64_t offset = file.root().tag("Huge").offset() + 8 + infoBytes;
        AllocationProbe probe;
        EXPECT_EQ(errorOf([&] { openSource(std::make_shared<UnsizedStream>(memoryStream(bytes))); }),
                  fmt::format("DM data ended early at offset {0}: {1} bytes needed, {2} available", offset,
                              declared, bytes.size() - offset));
        EXPECT_LT(probe.largest(), std::size_t{1} << 20);
    }
}

TEST(TagLimits, Dm4FileWithTwoHundredThousandTagsOpens) {
    DmFile file(Version::Dm4);
    for (int d = 0; d < 200; ++d) {
        Directory& directory = file.root().addDirectory("Block" + std::to_string(d));
        directory.reserve(1000);
        for (int t = 0; t < 1000; ++t) {
            directory.addTag(Tag::int32(d * 1000 + t));
        }
    }
    file.root().addDirectory("ImageList");
    const NodePtr gatan = nodeAt(openDm(file)->metadata(), "GATAN");
    EXPECT_EQ(velmora::MetadataNodeHelper::countNodes(*gatan), 1U + 200 + 200 * 1000 + 1);
    EXPECT_EQ(valueOf(nodeAt(gatan, "Block199/item999")), "int32:3f 0d 03 00"); // 199999
}

TEST(TagLimits, ArraysOfGroupsWithoutFieldsAreBoundedByWhatTheirItemsCost) {
    // A file may hold as many as the limit, at least a million, in any number of tags; opened in an
    // arena as the plugin opens files, they take less than 200 MiB.
    const std::int64_t limit = GatanExtractor::MaxEmptyGroupNodes;
    ASSERT_GE(limit, 1000000);
    DmFile many = fileWith(Version::Dm3, Tag::groupArray({}, limit / 2, {}), "First");
    many.root().addTag("Second", Tag::groupArray({}, limit - limit / 2, {}));
    const Bytes bytes = many.toBytes();
    const long before = peakResidentKiB();
    {
        const velmora::MetadataArena::Scope metadataMemory;
        const NodePtr second = nodeAt(openDm(bytes)->metadata(), "GATAN/Second");
        EXPECT_EQ(second->childCount(), static_cast<std::size_t>(limit - limit / 2));
        EXPECT_EQ(second->childAt(299)->name(), "item299");
    }
    EXPECT_LT(peakResidentKiB() - before, 200 * 1024);
    // One more, in any tag, is refused.
    const auto refusal = [limit](const std::string& name, std::int64_t count) {
        return fmt::format("Tag \"{0}\" declares {1} empty groups; at most {2} are accepted per file", name,
                           count, limit);
    };
    many.root().addTag("Third", Tag::groupArray({}, 1, {}));
    EXPECT_EQ(openError(many), refusal("Third", 1));
    DmFile one = fileWith(Version::Dm4, Tag::groupArray({}, limit + 1, {}));
    EXPECT_EQ(openError(one), refusal("T", limit + 1));
}
