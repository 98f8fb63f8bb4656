// Size limits: a DM4 file of 200,000 tags opens, and small files that declare enormous values fail
// at once, before the walk allocates anything near what they declare.

#include "AllocationProbe.h"
#include "GatanTestSupport.h"

#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::HasSubstr;
using velmora::ValueType;

namespace {

constexpr std::size_t s_smallAllocation = 1 << 20;

/// What opening while probing allocations gave.
struct ProbedOpen {
    bool refused = false; ///< failed with a velmora::Error
    std::string error;
    std::size_t largestAllocation = 0;
};

ProbedOpen probedOpen(const Bytes& bytes) {
    ensurePluginLogger();
    ProbedOpen result;
    AllocationProbe probe;
    try {
        openDm(bytes);
        result.error = "no exception";
    } catch (const velmora::Error& error) {
        result.refused = true;
        result.error = error.what();
    } catch (const std::exception& error) {
        result.error = std::string("unexpected exception: ") + error.what();
    }
    result.largestAllocation = probe.largest();
    return result;
}

} // namespace

TEST(TagLimits, Dm4FileWithTwoHundredThousandTagsOpens) {
    DmFile file(Version::Dm4);
    Directory& root = file.root();
    constexpr int directories = 200;
    constexpr int tagsPerDirectory = 1000;
    for (int d = 0; d < directories; ++d) {
        Directory& directory = root.addDirectory("Block" + std::to_string(d));
        directory.reserve(tagsPerDirectory);
        for (int t = 0; t < tagsPerDirectory; ++t) {
            if (t % 2 == 0) {
                directory.addTag(Tag::int32(d * tagsPerDirectory + t));
            } else {
                directory.addTag("Value" + std::to_string(t), Tag::float32(static_cast<float>(t)));
            }
        }
    }
    addEmptyImageList(file);
    const Bytes bytes = file.toBytes();

    auto extractor = openDm(bytes);
    const NodePtr gatan = gatanNode(*extractor);
    ASSERT_EQ(gatan->childCount(), directories + 1U);
    EXPECT_EQ(velmora::MetadataNodeHelper::countNodes(*gatan),
              1U + directories + directories * tagsPerDirectory + 1U);
    const NodePtr last = nodeAt(gatan, "Block199");
    ASSERT_EQ(last->childCount(), static_cast<std::size_t>(tagsPerDirectory));
    EXPECT_EQ(last->childAt(998)->name(), "item499");
    EXPECT_TRUE(holdsScalar(last->childAt(998), ValueType::Int32, 199998));
    EXPECT_TRUE(holdsScalar(nodeAt(last, "Value999"), ValueType::Float32, 999.0F));
}

TEST(TagLimits, EnormousDeclarationsAllocateNothingLarge) {
    // Each file is small and declares far more than it holds, in another place.
    std::vector<std::pair<std::string, DmFile>> files;
    const auto add = [&files](const std::string& what, Version version, Tag tag) {
        DmFile file(version);
        file.root().addTag("Huge", std::move(tag));
        addEmptyImageList(file);
        files.emplace_back(what, std::move(file));
    };
    add("DM3 info count", Version::Dm3, Tag::raw({3}, Bytes(4, 0)).infoCount(0x7FFFFFFF));
    add("DM4 info count", Version::Dm4, Tag::raw({3}, Bytes(4, 0)).infoCount((std::int64_t{1} << 60) - 1));
    add("string", Version::Dm3, Tag::raw({18, 0x7FFFFFFF}, {}));
    add("text array", Version::Dm4, Tag::raw({20, 4, std::int64_t{1} << 40}, {}));
    add("array", Version::Dm3, Tag::raw({20, 7, 0x7FFFFFFF}, {}));
    add("array of groups", Version::Dm4, Tag::groupArray({7, 8}, std::int64_t{1} << 40, {}));
    add("array of empty groups", Version::Dm4, Tag::groupArray({}, std::int64_t{1} << 40, {}));
    add("group of many fields", Version::Dm3, Tag::raw({15, 0, 0x7FFFFFFF, 0, 3}, {}));
    for (auto& [what, file] : files) {
        const ProbedOpen result = probedOpen(file.toBytes());
        EXPECT_TRUE(result.refused) << what << ": " << result.error;
        EXPECT_THAT(result.error, HasSubstr("\"Huge\"")) << what;
        EXPECT_LT(result.largestAllocation, s_smallAllocation) << what << ": " << result.error;
    }
}
