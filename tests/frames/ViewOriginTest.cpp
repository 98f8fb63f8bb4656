// View-origin records (extension 3): the extractor's root record, each frame's record derived from
// it, and ViewOriginExtensionImpl's origin arithmetic over parents of its own.

#include "FrameTestSupport.h"
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
using namespace framestest;
using ::testing::HasSubstr;
using velmora::ViewDataOrigin;

namespace {

DmFile twoImageFile() {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    for (std::int32_t code : {6, 2}) {
        ImageDefinition written;
        written.dataType = code;
        written.dimensions = {2, 2};
        written.pixels = ramp(code == 6 ? 4 : 16);
        addImage(list, written);
    }
    return file;
}

template <typename E, typename F> std::string errorOf(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected exception: ") + error.what();
    }
    return "no exception";
}

/// Bytes in memory as a random-access source.
class MemorySource final : public velmora::RandomAccess {
public:
    explicit MemorySource(Bytes bytes) : m_bytes(std::move(bytes)) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    std::uint64_t readAt(std::uint64_t offset, std::uint64_t count, void* destination) const override {
        if (offset >= m_bytes.size()) {
            return 0;
        }
        const std::uint64_t n = std::min<std::uint64_t>(count, m_bytes.size() - offset);
        std::memcpy(destination, m_bytes.data() + offset, static_cast<std::size_t>(n));
        return n;
    }

private:
    Bytes m_bytes;
};

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

TEST(ExtractorViewOrigin, PathOpenedFramesComeFromAFile) {
    TempFile temp(".dm4");
    DmFile file = twoImageFile();
    file.writeFile(temp.path());
    const auto extractor = openPath(temp.path());
    const auto root = extractor->viewOrigin();
    EXPECT_EQ(root->dataOrigin(), ViewDataOrigin::FILE);
    EXPECT_EQ(root->displayName(), "GatanPlugin Extractor");
    EXPECT_EQ(root->parentCount(), 0U);
    ASSERT_EQ(extractor->frameCount(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto record = extractor->frame(i)->viewOrigin();
        EXPECT_EQ(record->dataOrigin(), ViewDataOrigin::FILE) << "frame " << i;
        EXPECT_EQ(record->displayName(), "GatanPlugin frame Extractor") << "frame " << i;
        ASSERT_EQ(record->parentCount(), 1U) << "frame " << i;
        EXPECT_EQ(record->parent(0).get(), root.get()) << "frame " << i;
        EXPECT_EQ(record->parent(0)->uid(), root->uid()) << "frame " << i;
    }
}

TEST(ExtractorViewOrigin, StreamOpenedFramesHaveAnUnknownOrigin) {
    DmFile file = twoImageFile();
    const auto extractor = openFile(file);
    const auto root = extractor->viewOrigin();
    EXPECT_EQ(root->dataOrigin(), ViewDataOrigin::UNKNOWN);
    EXPECT_EQ(root->displayName(), "GatanPlugin Extractor");
    const auto record = extractor->frame(1)->viewOrigin();
    EXPECT_EQ(record->dataOrigin(), ViewDataOrigin::UNKNOWN);
    ASSERT_EQ(record->parentCount(), 1U);
    EXPECT_EQ(record->parent(0)->uid(), root->uid());
}

TEST(ExtractorViewOrigin, RandomAccessOpenedFramesHaveAnUnknownOrigin) {
    DmFile file = twoImageFile();
    quietPluginLogger();
    const auto extractor = std::make_shared<GatanExtractor>(
        std::shared_ptr<velmora::RandomAccess>(std::make_shared<MemorySource>(file.toBytes())), "DM",
        trestan::OptionMap{});
    EXPECT_EQ(extractor->viewOrigin()->dataOrigin(), ViewDataOrigin::UNKNOWN);
    EXPECT_EQ(extractor->frame(0)->viewOrigin()->dataOrigin(), ViewDataOrigin::UNKNOWN);
}

TEST(ExtractorViewOrigin, RecordsAreExtensionThree) {
    DmFile file = twoImageFile();
    const auto extractor = openFile(file);
    EXPECT_EQ(extractor->extension(3).get(), extractor->viewOrigin().get());
    EXPECT_EQ(extractor->frame(0)->extension(3).get(), extractor->frame(0)->viewOrigin().get());
}

TEST(ExtractorViewOrigin, OtherExtensionsAreNotFound) {
    DmFile file = twoImageFile();
    const auto extractor = openFile(file);
    const auto frame = extractor->frame(0);
    for (std::size_t id : {0, 1, 2, 4, 100}) {
        const std::string expected = "Extension " + std::to_string(id) + " not found";
        EXPECT_EQ(errorOf<velmora::Error>([&] { extractor->extension(id); }), expected);
        EXPECT_EQ(errorOf<velmora::Error>([&] { frame->extension(id); }), expected);
    }
}

TEST(ExtractorViewOrigin, RootRecordHasNoParentZero) {
    DmFile file = twoImageFile();
    const auto root = openFile(file)->viewOrigin();
    EXPECT_EQ(root->parentCount(), 0U);
    EXPECT_EQ(errorOf<velmora::Error>([&] { root->parent(0); }), "Index out of bound");
}

TEST(ExtractorViewOrigin, FrameRecordHasNoParentOne) {
    DmFile file = twoImageFile();
    const auto record = openFile(file)->frame(0)->viewOrigin();
    EXPECT_EQ(errorOf<velmora::Error>([&] { record->parent(1); }), "Index out of bound");
}

TEST(ExtractorViewOrigin, EveryRecordHasItsOwnUid) {
    DmFile file = twoImageFile();
    const Bytes bytes = file.toBytes();
    std::set<std::uint64_t> uids;
    std::size_t records = 0;
    for (int open = 0; open < 2; ++open) {
        const auto extractor = openBytes(bytes);
        uids.insert(extractor->viewOrigin()->uid());
        ++records;
        for (std::size_t i = 0; i < extractor->frameCount(); ++i) {
            uids.insert(extractor->frame(i)->viewOrigin()->uid());
            ++records;
        }
    }
    EXPECT_EQ(records, 6U);
    EXPECT_EQ(uids.size(), records);
    EXPECT_EQ(uids.count(0), 0U);
}

TEST(ViewOriginRecord, RootRecordKeepsItsNameAndOrigin) {
    const ViewOriginExtensionImpl record("a view", ViewDataOrigin::NETWORK);
    EXPECT_EQ(record.displayName(), "a view");
    EXPECT_EQ(record.dataOrigin(), ViewDataOrigin::NETWORK);
    EXPECT_EQ(record.parentCount(), 0U);
}

TEST(ViewOriginRecord, RecordsWithTheSameNameAndOriginHaveDistinctUids) {
    const ViewOriginExtensionImpl first("same", ViewDataOrigin::FILE);
    const ViewOriginExtensionImpl second("same", ViewDataOrigin::FILE);
    EXPECT_NE(first.uid(), second.uid());
}

TEST(ViewOriginRecord, ParentsOfOneOriginGiveThatOrigin) {
    StubView a = viewWithOrigin(ViewDataOrigin::FILE);
    StubView b = viewWithOrigin(ViewDataOrigin::FILE);
    const ViewOriginExtensionImpl record("derived", std::vector<velmora::View*>{&a, &b});
    EXPECT_EQ(record.dataOrigin(), ViewDataOrigin::FILE);
    ASSERT_EQ(record.parentCount(), 2U);
    EXPECT_EQ(record.parent(0).get(), a.viewOrigin().get());
    EXPECT_EQ(record.parent(1).get(), b.viewOrigin().get());
}

TEST(ViewOriginRecord, ParentsOfUnknownOriginGiveUnknown) {
    StubView a = viewWithOrigin(ViewDataOrigin::UNKNOWN);
    const ViewOriginExtensionImpl single("derived", &a);
    EXPECT_EQ(single.dataOrigin(), ViewDataOrigin::UNKNOWN);
    const ViewOriginExtensionImpl twice("derived", std::vector<velmora::View*>{&a, &a});
    EXPECT_EQ(twice.dataOrigin(), ViewDataOrigin::UNKNOWN);
    EXPECT_EQ(twice.parentCount(), 2U);
}

TEST(ViewOriginRecord, ParentsOfDifferentOriginsGiveMixed) {
    StubView file = viewWithOrigin(ViewDataOrigin::FILE);
    StubView stream = viewWithOrigin(ViewDataOrigin::UNKNOWN);
    const ViewOriginExtensionImpl record("derived", std::vector<velmora::View*>{&file, &stream});
    EXPECT_EQ(record.dataOrigin(), ViewDataOrigin::MIXED);
    EXPECT_EQ(record.parentCount(), 2U);
}

TEST(ViewOriginRecord, AMixedParentGivesMixed) {
    StubView mixed = viewWithOrigin(ViewDataOrigin::MIXED);
    const ViewOriginExtensionImpl record("derived", &mixed);
    EXPECT_EQ(record.dataOrigin(), ViewDataOrigin::MIXED);
}

TEST(ViewOriginRecord, ASingleParentPassesItsOriginOn) {
    for (ViewDataOrigin origin : {ViewDataOrigin::MEMORY, ViewDataOrigin::FILE, ViewDataOrigin::NETWORK,
                                  ViewDataOrigin::GENERATED, ViewDataOrigin::DERIVED}) {
        StubView parent = viewWithOrigin(origin);
        const ViewOriginExtensionImpl record("derived", &parent);
        EXPECT_EQ(record.dataOrigin(), origin) << static_cast<std::uint32_t>(origin);
    }
}

TEST(ViewOriginRecord, NoParentsGiveUnknown) {
    const ViewOriginExtensionImpl record("derived", std::vector<velmora::View*>{});
    EXPECT_EQ(record.dataOrigin(), ViewDataOrigin::UNKNOWN);
    EXPECT_EQ(record.parentCount(), 0U);
}

TEST(ViewOriginRecord, NullParentIsRefused) {
    EXPECT_EQ(errorOf<velmora::Error>(
                  [] { ViewOriginExtensionImpl("derived", static_cast<velmora::View*>(nullptr)); }),
              "Parent view cannot be null");
    StubView a = viewWithOrigin(ViewDataOrigin::FILE);
    EXPECT_EQ(errorOf<velmora::Error>([&] {
                  ViewOriginExtensionImpl("derived", std::vector<velmora::View*>{&a, nullptr});
              }),
              "Parent view cannot be null");
}

TEST(ViewOriginRecord, ParentWithAnOriginAboveSixIsRefused) {
    StubView seven(std::make_shared<FixedOriginRecord>(7));
    EXPECT_THROW(ViewOriginExtensionImpl("derived", &seven), velmora::Error);
    StubView large(std::make_shared<FixedOriginRecord>(0xFFFFFFFFU));
    EXPECT_THROW(ViewOriginExtensionImpl("derived", &large), velmora::Error);
    StubView six(std::make_shared<FixedOriginRecord>(6));
    EXPECT_EQ(ViewOriginExtensionImpl("derived", &six).dataOrigin(), ViewDataOrigin::MIXED);
}

TEST(ViewOriginRecord, ParentWithoutARecordIsRefused) {
    StubView bare(nullptr);
    EXPECT_THROW(ViewOriginExtensionImpl("derived", &bare), velmora::Error);
}

TEST(ViewOriginRecord, RootRecordTakesNoParent) {
    ViewOriginExtensionImpl root("root view", ViewDataOrigin::FILE);
    StubView parent = viewWithOrigin(ViewDataOrigin::FILE);
    EXPECT_THAT(errorOf<velmora::Error>([&] { root.addViewParent(&parent); }), HasSubstr("root view"));
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
