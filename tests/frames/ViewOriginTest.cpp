// View-origin records (extension 3): the extractor's root record, each frame's record derived from
// it, and ViewOriginExtensionImpl's origin arithmetic over parents of its own.

#include "ByteSources.h"
#include "GatanTestSupport.h"
#include "ViewOriginExtensionImpl.h"
#include "velmora/Extension.h"
#include "velmora/RandomAccess.h"
#include "velmora/View.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::HasSubstr;
using velmora::ViewDataOrigin;

namespace {

DmFile twoImageFile() {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    addImage(list, rampImage(6, {2, 2}));
    addImage(list, rampImage(2, {2, 2}));
    return file;
}

/// A view that offers a given record as its view origin, or nothing at all.
class StubView final : public velmora::View {
public:
    explicit StubView(std::shared_ptr<velmora::ViewOriginExtension> record) : m_record(std::move(record)) {}
    std::shared_ptr<velmora::Extension> extension(std::size_t id) override {
        if (id == velmora::VIEW_ORIGIN_EXTENSION && m_record) {
            return m_record;
        }
        return velmora::View::extension(id);
    }

private:
    std::shared_ptr<velmora::ViewOriginExtension> m_record;
};

/// A record reporting any data origin, including values outside the enumeration.
class FixedOriginRecord final : public velmora::ViewOriginExtension {
public:
    explicit FixedOriginRecord(std::uint32_t origin) : m_origin(origin) {}
    std::uint64_t uid() const override { return 42; }
    std::size_t parentCount() const override { return 0; }
    std::shared_ptr<velmora::ViewOriginExtension> parent(std::size_t) const override { return nullptr; }
    ViewDataOrigin dataOrigin() const override { return static_cast<ViewDataOrigin>(m_origin); }
    std::string displayName() const override { return "fixed"; }

private:
    std::uint32_t m_origin;
};

StubView viewWithOrigin(ViewDataOrigin origin) {
    return StubView(std::make_shared<ViewOriginExtensionImpl>("root view", origin));
}

} // namespace

TEST(ExtractorViewOrigin, FramesDeriveFromTheExtractorsRecordAndComeFromAFileWhenOpenedByPath) {
    DmFile file = twoImageFile();
    const TemporaryFile temp({}, ".dm4");
    file.writeFile(temp.path());
    const std::vector<std::pair<ExtractorPtr, ViewDataOrigin>> opened = {
        {openPath(temp.path()), ViewDataOrigin::FILE},
        {openDm(file), ViewDataOrigin::UNKNOWN},
        {openSource(std::shared_ptr<velmora::RandomAccess>(std::make_shared<MemorySource>(file.toBytes()))),
         ViewDataOrigin::UNKNOWN},
    };
    std::set<std::uint64_t> uids;
    for (const auto& [extractor, origin] : opened) {
        const auto root = extractor->viewOrigin();
        EXPECT_EQ(root->dataOrigin(), origin);
        EXPECT_EQ(root->displayName(), "GatanPlugin Extractor");
        EXPECT_EQ(root->parentCount(), 0U);
        EXPECT_EQ(errorOf<velmora::Error>([&] { root->parent(0); }), "Index out of bound");
        EXPECT_EQ(extractor->extension(3).get(), root.get());
        uids.insert(root->uid());
        ASSERT_EQ(extractor->frameCount(), 2U);
        for (std::size_t i = 0; i < 2; ++i) {
            const auto frame = extractor->frame(i);
            const auto record = frame->viewOrigin();
            EXPECT_EQ(frame->extension(3).get(), record.get());
            EXPECT_EQ(record->dataOrigin(), origin) << "frame " << i;
            EXPECT_EQ(record->displayName(), "GatanPlugin frame Extractor") << "frame " << i;
            ASSERT_EQ(record->parentCount(), 1U) << "frame " << i;
            EXPECT_EQ(record->parent(0).get(), root.get()) << "frame " << i;
            EXPECT_EQ(errorOf<velmora::Error>([&] { record->parent(1); }), "Index out of bound");
            uids.insert(record->uid());
        }
        // Other extensions are not found.
        for (std::size_t id : {0, 1, 2, 4, 100}) {
            const std::string expected = "Extension " + std::to_string(id) + " not found";
            EXPECT_EQ(errorOf<velmora::Error>([&] { extractor->extension(id); }), expected);
            EXPECT_EQ(errorOf<velmora::Error>([&] { extractor->frame(0)->extension(id); }), expected);
        }
    }
    // Every record has its own uid, never 0.
    EXPECT_EQ(uids.size(), 3 * opened.size());
    EXPECT_EQ(uids.count(0), 0U);
}

TEST(ViewOriginRecord, OriginOfParents) {
    using O = ViewDataOrigin;
    const std::vector<std::pair<std::vector<O>, O>> cases = {
        {{}, O::UNKNOWN},
        {{O::MEMORY}, O::MEMORY},
        {{O::FILE}, O::FILE},
        {{O::NETWORK}, O::NETWORK},
        {{O::GENERATED}, O::GENERATED},
        {{O::DERIVED}, O::DERIVED},
        {{O::UNKNOWN}, O::UNKNOWN},
        {{O::MIXED}, O::MIXED},
        {{O::FILE, O::FILE}, O::FILE},
        {{O::UNKNOWN, O::UNKNOWN}, O::UNKNOWN},
        {{O::FILE, O::UNKNOWN}, O::MIXED},
        {{O::MEMORY, O::FILE, O::MEMORY}, O::MIXED},
    };
    for (const auto& [origins, expected] : cases) {
        std::vector<std::unique_ptr<StubView>> views;
        std::vector<velmora::View*> parents;
        for (O origin : origins) {
            views.push_back(
                std::make_unique<StubView>(std::make_shared<ViewOriginExtensionImpl>("root view", origin)));
            parents.push_back(views.back().get());
        }
        const ViewOriginExtensionImpl record("derived", parents);
        EXPECT_EQ(record.dataOrigin(), expected) << ::testing::PrintToString(origins);
        ASSERT_EQ(record.parentCount(), parents.size());
        for (std::size_t i = 0; i < parents.size(); ++i) {
            EXPECT_EQ(record.parent(i).get(), views[i]->viewOrigin().get());
        }
    }
    // One parent given as such, and a parent listed twice.
    StubView a = viewWithOrigin(O::GENERATED);
    EXPECT_EQ(ViewOriginExtensionImpl("derived", &a).dataOrigin(), O::GENERATED);
    EXPECT_EQ(ViewOriginExtensionImpl("derived", std::vector<velmora::View*>{&a, &a}).parentCount(), 2U);
}

TEST(ViewOriginRecord, ParentsThatCannotBeUsedAreRefused) {
    StubView file = viewWithOrigin(ViewDataOrigin::FILE);
    EXPECT_EQ(errorOf<velmora::Error>(
                  [] { ViewOriginExtensionImpl("derived", static_cast<velmora::View*>(nullptr)); }),
              "Parent view cannot be null");
    EXPECT_EQ(errorOf<velmora::Error>([&] {
                  ViewOriginExtensionImpl("derived", std::vector<velmora::View*>{&file, nullptr});
              }),
              "Parent view cannot be null");
    // Parents without a record, or with an origin above six (MIXED); six itself is accepted.
    StubView bare(nullptr);
    StubView seven(std::make_shared<FixedOriginRecord>(7));
    StubView large(std::make_shared<FixedOriginRecord>(0xFFFFFFFFU));
    for (StubView* parent : {&bare, &seven, &large}) {
        EXPECT_THROW(ViewOriginExtensionImpl("derived", parent), velmora::Error);
    }
    StubView six(std::make_shared<FixedOriginRecord>(6));
    EXPECT_EQ(ViewOriginExtensionImpl("derived", &six).dataOrigin(), ViewDataOrigin::MIXED);
    // A root record takes no parent.
    ViewOriginExtensionImpl root("root view", ViewDataOrigin::FILE);
    EXPECT_THAT(errorOf<velmora::Error>([&] { root.addViewParent(&file); }), HasSubstr("root view"));
    EXPECT_EQ(root.parentCount(), 0U);
    EXPECT_EQ(root.dataOrigin(), ViewDataOrigin::FILE);
}

TEST(ViewOriginRecord, RecordOutlivesItsParentView) {
    std::uint64_t parentUid = 0;
    std::unique_ptr<ViewOriginExtensionImpl> record;
    {
        StubView parent = viewWithOrigin(ViewDataOrigin::FILE);
        parentUid = parent.viewOrigin()->uid();
        record = std::make_unique<ViewOriginExtensionImpl>("derived", &parent);
    }
    ASSERT_EQ(record->parentCount(), 1U);
    EXPECT_EQ(record->parent(0)->uid(), parentUid);
    EXPECT_EQ(record->parent(0)->displayName(), "root view");
    EXPECT_EQ(record->dataOrigin(), ViewDataOrigin::FILE);
}
