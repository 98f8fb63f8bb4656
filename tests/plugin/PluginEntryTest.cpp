#include "PluginFixture.h"
#include "dmwriter/DmWriter.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"
#include "velmora/StreamAccessFactory.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using plugintest::gatanPlugin;
using plugintest::minimalFile;
using testsupport::MemorySource;
using testsupport::TemporaryFile;
using Bytes = std::vector<std::uint8_t>;

Bytes bigEndianWords(std::initializer_list<std::uint32_t> words) {
    Bytes bytes;
    for (std::uint32_t word : words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(word >> shift));
        }
    }
    return bytes;
}

// A stream over memory that reports chosen capabilities and counts the reads made through it.
class ProbeStream : public velmora::StreamAccess {
public:
    ProbeStream(Bytes bytes, std::uint64_t capabilities)
        : m_inner(velmora::StreamAccessFactory::fromMemory(std::make_shared<const Bytes>(std::move(bytes)))),
          m_capabilities(capabilities) {}
    std::uint64_t capabilities() const override { return m_capabilities; }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        ++reads;
        return m_inner->read(count, destination);
    }
    std::uint64_t tell() const override { return m_inner->tell(); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override { m_inner->seek(offset, origin); }
    std::optional<std::uint64_t> size() const override {
        if ((m_capabilities & velmora::SIZE) == 0) {
            return std::nullopt;
        }
        return m_inner->size();
    }
    int reads = 0;

private:
    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_capabilities;
};

std::string openStreamError(const Bytes& bytes) {
    try {
        gatanPlugin().open(
            std::make_shared<ProbeStream>(bytes, velmora::READ | velmora::SEEK | velmora::SIZE), "DM",
            trestan::OptionMap{});
    } catch (const velmora::Error& error) {
        return error.what();
    }
    return "no exception";
}

} // namespace

TEST(PluginLibrary, ExportsOnlyThePluginObject) {
    const std::string command = "nm -D --defined-only '" + plugintest::pluginPath() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_TRUE(pipe);
    std::set<std::string> symbols;
    std::array<char, 4096> line{};
    while (std::fgets(line.data(), line.size(), pipe.get()) != nullptr) {
        std::string text(line.data());
        text.erase(text.find_last_not_of("\r\n") + 1);
        symbols.insert(text.substr(text.find_last_of(' ') + 1));
    }
    EXPECT_EQ(symbols, std::set<std::string>{"trestan_extractor_plugin"});
}

TEST(PluginIdentity, ReportsNameVersionFormatsAndExtensions) {
    trestan::ExtractorPlugin& plugin = gatanPlugin();
    EXPECT_EQ(plugin.api(), 2);
    EXPECT_EQ(plugin.name(), "GatanPlugin");
    EXPECT_EQ(&plugin.name(), &plugin.name()) << "the name is one static object, not a copy";
    EXPECT_EQ(plugin.version(), trestan::PluginVersion(2, 0, 0));
    EXPECT_EQ(plugin.version().toString(), "2.0.0");
    EXPECT_EQ(plugin.supportedFormats(), (std::unordered_set<std::string>{"DM"}));
    EXPECT_EQ(plugin.extensionMap(),
              (std::unordered_map<std::string, std::string>{{"dm3", "DM"}, {"dm4", "DM"}}));
}

TEST(PluginOpen, RefusesOtherFormatNamesBeforeTouchingTheSource) {
    trestan::ExtractorPlugin& plugin = gatanPlugin();
    for (const std::string format : {"dm", "DM3", "", " DM", "DM "}) {
        const std::string expected = "Format " + format + " not supported by the plugin GatanPlugin";
        try {
            plugin.open(std::string("/nonexistent/file.dm3"), format, trestan::OptionMap{});
            ADD_FAILURE() << "path form accepted format '" << format << "'";
        } catch (const trestan::UnsupportedFormat& error) {
            EXPECT_EQ(error.what(), expected);
        }
        auto stream =
            std::make_shared<ProbeStream>(minimalFile(dmwriter::Version::Dm3), velmora::READ | velmora::SEEK);
        EXPECT_THROW(plugin.open(stream, format, trestan::OptionMap{}), trestan::UnsupportedFormat);
        EXPECT_EQ(stream->reads, 0);
        auto source = std::make_shared<MemorySource>(minimalFile(dmwriter::Version::Dm4));
        EXPECT_THROW(
            plugin.open(std::shared_ptr<velmora::RandomAccess>(source), format, trestan::OptionMap{}),
            trestan::UnsupportedFormat);
    }
}

TEST(PluginOpen, OpensPathsStreamsAndRandomAccessSources) {
    for (auto version : {dmwriter::Version::Dm3, dmwriter::Version::Dm4}) {
        // Any path is read as DM whatever its extension, and options are ignored.
        TemporaryFile file(minimalFile(version), ".bin");
        trestan::OptionMap options;
        options.set("ignored", "yes");
        auto first = gatanPlugin().open(file.path(), "DM", options);
        auto second = gatanPlugin().open(file.path(), "DM", trestan::OptionMap{});
        ASSERT_TRUE(first && second);
        EXPECT_NE(first.get(), second.get());
        EXPECT_EQ(first->capabilities(), 1u);
        EXPECT_EQ(first->frameCount(), 0u);
        auto root = first->metadata();
        EXPECT_EQ(root->name(), "root");
        EXPECT_FALSE(root->value());
        ASSERT_EQ(root->childCount(), 1u);
        EXPECT_EQ(root->childAt(0)->name(), "GATAN");
        // A stream that does not know its size still opens: READ and SEEK are all the reader needs.
        auto stream = std::make_shared<ProbeStream>(minimalFile(version), velmora::READ | velmora::SEEK);
        EXPECT_EQ(gatanPlugin().open(stream, "DM", trestan::OptionMap{})->metadata()->childAt(0)->name(),
                  "GATAN");
        auto source = std::make_shared<MemorySource>(minimalFile(version));
        auto view =
            gatanPlugin().open(std::shared_ptr<velmora::RandomAccess>(source), "DM", trestan::OptionMap{});
        EXPECT_EQ(view->metadata()->childAt(0)->name(), "GATAN");
    }
    try {
        gatanPlugin().open(std::string("/nonexistent/dir/file.dm4"), "DM", trestan::OptionMap{});
        ADD_FAILURE() << "a missing file opened";
    } catch (const velmora::Error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/dir/file.dm4"), std::string::npos)
            << error.what();
    }
}

TEST(PluginOpen, RefusesStreamsWithoutReadAndSeekBeforeReadingAnyByte) {
    for (std::uint64_t capabilities :
         {std::uint64_t{0}, std::uint64_t{velmora::READ}, std::uint64_t{velmora::SEEK},
          std::uint64_t{velmora::READ | velmora::WRITE | velmora::SIZE}}) {
        auto stream = std::make_shared<ProbeStream>(minimalFile(dmwriter::Version::Dm3), capabilities);
        try {
            gatanPlugin().open(stream, "DM", trestan::OptionMap{});
            ADD_FAILURE() << "capabilities " << capabilities << " accepted";
        } catch (const velmora::InvalidArgument& error) {
            EXPECT_STREQ(error.what(), "input does not support the READ and SEEK capabilities");
        }
        EXPECT_EQ(stream->reads, 0) << "capabilities " << capabilities;
    }
}

TEST(DmHeader, VersionIsSignedByteOrderMustBeOneRootFollowsTheHeader) {
    // The version and byte-order rules in full are in tests/gatan; here the header alone: the walk
    // fails on the first missing byte, which shows where the header ended.
    const std::pair<Bytes, std::string> cases[] = {
        {bigEndianWords({0xFFFFFFFF, 0, 1}), "Unsupported version -1"},
        {bigEndianWords({4, 0, 0, 2}), "Unsupported endianess conversion"},
        {bigEndianWords({3, 0x12345678, 1}), "DM data ended early at offset 12: 2 bytes needed, 0 available"},
        {bigEndianWords({4, 0xFFFFFFFF, 0xFFFFFFFF, 1}),
         "DM data ended early at offset 16: 2 bytes needed, 0 available"},
        {bigEndianWords({4, 0}), "DM data ended early at offset 4: 8 bytes needed, 4 available"},
        {{0, 0, 0}, "DM data ended early at offset 0: 4 bytes needed, 3 available"},
    };
    for (const auto& [bytes, message] : cases) {
        EXPECT_EQ(openStreamError(bytes), message);
    }
}
