// The format registry on a test double: a format of a few lines registers what it offers hosts, and
// hosts find it by name and by extension, with the default frame roles where the format sets none.

#include "trestan/toolkit/FormatRegistry.h"

#include "velmora/Error.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

using trestan::toolkit::FileIndex;
using trestan::toolkit::FormatRegistry;
using trestan::toolkit::FormatSupport;
using trestan::toolkit::IndexedFrame;

/// A format whose files hold three frames of 2x2, 4x4 and 4x4 pixels.
class DoubleFormatSupport final : public FormatSupport {
public:
    std::string format() const override { return "DOUBLE"; }
    std::vector<std::string> extensions() const override { return {"dbl", "double"}; }
    FileIndex index(const std::string&) const override {
        FileIndex index{format(), nullptr, {}, std::nullopt, std::nullopt};
        for (const std::size_t side : {2, 4, 4}) {
            IndexedFrame frame;
            frame.index = index.frames.size();
            frame.shape = velmora::VectorX<std::size_t>{side, side};
            index.frames.push_back(frame);
        }
        return index;
    }
    void readFrameBytes(int, const IndexedFrame&, std::uint64_t, std::uint64_t, void*) const override {}
};

} // namespace

TRESTAN_REGISTER_FORMAT_SUPPORT(DoubleFormatSupport)

namespace {

TEST(FormatRegistry, FindsARegisteredFormatByNameAndExtension) {
    const FormatRegistry& registry = FormatRegistry::instance();
    const FormatSupport* support = registry.forFormat("DOUBLE");
    ASSERT_NE(support, nullptr);
    for (const char* path : {"a.dbl", "dir.x/b.DBL", "c.Double"}) {
        EXPECT_EQ(registry.forPath(path), support) << path;
    }
    for (const char* path : {"a.dblx", "dbl", "dir.dbl/file", "a.", ""}) {
        EXPECT_EQ(registry.forPath(path), nullptr) << path;
    }
    EXPECT_EQ(registry.forFormat("double"), nullptr);
    const std::vector<std::string> all = registry.extensions();
    EXPECT_NE(std::find(all.begin(), all.end(), "double"), all.end());
}

TEST(FormatRegistry, DefaultRolesMakeTheFirstLargestFrameMainAndRefuseASecondRegistration) {
    const FormatSupport& support = *FormatRegistry::instance().forFormat("DOUBLE");
    const trestan::toolkit::FrameRoles roles = support.frameRoles(support.index("x.dbl"));
    EXPECT_EQ(roles.main, std::optional<std::size_t>(1));
    EXPECT_EQ(roles.thumbnail, std::vector<bool>(3, false));
    EXPECT_TRUE(support.mapImages(support.index("x.dbl")).empty());
    EXPECT_THROW(FormatRegistry::instance().add(std::make_unique<DoubleFormatSupport>()),
                 velmora::InvalidArgument);
}

} // namespace
