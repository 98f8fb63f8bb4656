// The file index (trestan::gatan::DmIndex) against the plugin: the same tree, frames and pixels on
// every corpus file and every writer seed (the hostile sweeps and the fuzz regressions hold it to
// the same rule, tests/hostile), refusals with the plugin's messages, what building an index reads
// (the tags, and at most one read-ahead window past them at each skipped pixel array), frames cut
// short or larger than memory, and no log line.

#include "trestan/gatan/DmIndex.h"

#include "ByteSources.h"
#include "CountingStream.h"
#include "DmIndexBuilder.h"
#include "GatanExercise.h"
#include "GatanTestSupport.h"
#include "WriterSeeds.h"
#include "velmora/FileStream.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::HasSubstr;
using trestan::gatan::DmIndex;

namespace {

/// A file opened for reading, closed with the object.
class OpenFile {
public:
    explicit OpenFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile() { ::close(m_fd); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    /// Reads through the descriptor, as a host does.
    gatanfuzz::FrameBytes reader() const {
        return [fd = m_fd](const DmIndex::Frame& frame, std::uint64_t first, std::uint64_t count, void* to) {
            trestan::gatan::readFrameBytes(fd, frame, first, count, to);
        };
    }

private:
    int m_fd;
};

gatanfuzz::FrameBytes sourceReader(const velmora::RandomAccess& source) {
    return [&source](const DmIndex::Frame& frame, std::uint64_t first, std::uint64_t count, void* to) {
        trestan::gatan::readFrameBytes(source, frame, first, count, to);
    };
}

/// SHA-256 of what the plugin's region read of the whole frame gives, from the frame's stored bytes
/// read in pieces of 64 KiB: colour pixels give the first 3 of their 4 bytes.
std::string sha256OfRegionRead(const DmIndex::Frame& frame, const gatanfuzz::FrameBytes& read) {
    const bool colour = frame.dataType.id() == velmora::DataTypeId::RGB8;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    Bytes piece;
    for (std::uint64_t first = 0; first < frame.byteCount; first += piece.size()) {
        piece.resize(std::min<std::uint64_t>(frame.byteCount - first, 64 << 10));
        read(frame, first, piece.size(), piece.data());
        const Bytes delivered = colour ? dropFourthBytes(piece) : piece;
        EVP_DigestUpdate(context.get(), delivered.data(), delivered.size());
    }
    unsigned char digest[32];
    EVP_DigestFinal_ex(context.get(), digest, nullptr);
    return fmt::format("{:02x}", fmt::join(digest, ""));
}

/// The plugin's open of `bytes` and where the index of the same bytes disagrees with it.
std::string disagreementOn(const Bytes& bytes, gatanfuzz::Report& report) {
    const auto extractor = gatanfuzz::open(memoryStream(bytes), report);
    if (extractor) {
        gatanfuzz::inspect(*extractor, report);
    }
    return gatanfuzz::indexDisagreement(bytes.data(), bytes.size(), report, extractor.get());
}

/// A file whose last bytes are the pixels of its only image, an int32 image of `width` x `height`.
DmFile lastPixelsFile(std::uint32_t width, std::uint32_t height, const Bytes& pixels) {
    DmFile file;
    Directory& imageData = file.root().addDirectory("ImageList").addDirectory().addDirectory("ImageData");
    imageData.addDirectory("Dimensions").addTag(Tag::uint32(width));
    imageData.directory("Dimensions").addTag(Tag::uint32(height));
    imageData.addTag("DataType", Tag::uint32(7));
    imageData.addTag("Data", Tag::array(code(ElementType::Int32), std::int64_t{width} * height, pixels));
    return file;
}

} // namespace

TEST(DmIndex, AgreesWithThePluginOnEveryCorpusFile) {
    const std::filesystem::path corpus = TRESTAN_TEST_CORPUS_DIR;
    if (!std::filesystem::exists(corpus / "manifest.json")) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    const auto manifest = nlohmann::json::parse(std::ifstream(corpus / "manifest.json"));
    for (const auto& [name, expected] : manifest.items()) {
        const std::string path = (corpus / name).string();
        const OpenFile file(path);
        const ExtractorPtr extractor = openPath(path);
        EXPECT_EQ(gatanfuzz::indexDisagreement([&] { return DmIndex::build(path); }, file.reader(),
                                               gatanfuzz::Report{}, extractor.get()),
                  "")
            << name;

        const DmIndex index = DmIndex::build(path);
        ASSERT_EQ(index.frames().size(), expected["frames"].size()) << name;
        std::uint64_t pixelBytes = 0;
        for (const DmIndex::Frame& frame : index.frames()) {
            const auto& want = expected["frames"][frame.index];
            EXPECT_EQ(std::vector<std::size_t>(frame.shape.begin(), frame.shape.end()),
                      want["shape"].get<std::vector<std::size_t>>())
                << name;
            EXPECT_EQ(frame.dataType.value(), want["dataTypeId"].get<std::uint64_t>()) << name;
            EXPECT_EQ(sha256OfRegionRead(frame, file.reader()), want["sha256"])
                << name << " frame " << frame.index;
            pixelBytes += frame.bytesInFile.value_or(0);
        }

        // The tags and no pixel: through a stream read as the walk asks, and through the plugin's
        // read-ahead window, which may read one window past the tags at each skipped pixel array.
        const std::uint64_t size = std::filesystem::file_size(path);
        auto asked = std::make_shared<CountingStream>(std::make_shared<velmora::FileStream>(path));
        DmIndex::build(asked);
        EXPECT_LE(asked->bytesDelivered(), size - pixelBytes) << name;
        auto windowed = std::make_shared<CountingStream>(std::make_shared<velmora::FileStream>(path));
        GatanHandle handle;
        handle.attach(windowed, true);
        trestan::gatan::DmIndexBuilder::build(handle);
        EXPECT_LE(windowed->bytesDelivered(),
                  size - pixelBytes + (index.frames().size() + 1) * GatanHandle::ReadAheadWindowSize)
            << name;
    }
}

TEST(DmIndex, AgreesWithThePluginOnEveryWriterSeed) {
    for (const gatanfuzz::Seed& seed : gatanfuzz::writerSeeds()) {
        gatanfuzz::Report report;
        const auto extractor = gatanfuzz::open(memoryStream(seed.bytes), report);
        const auto source = std::make_shared<MemorySource>(seed.bytes);
        EXPECT_EQ(gatanfuzz::indexDisagreement([&] { return DmIndex::build(source); }, sourceReader(*source),
                                               report, extractor.get()),
                  "")
            << seed.name;
    }
}

TEST(DmIndex, RefusesWhatThePluginRefusesWithItsMessage) {
    const auto image = [](const std::function<void(ImageEntry)>& damage) {
        DmFile file;
        damage(addImage(file.root().addDirectory("ImageList"), rampImage(6, {4, 2})));
        return file.toBytes();
    };
    DmFile version5 = imageFile({rampImage(6, {2, 2})});
    DmFile bigEndian = imageFile({rampImage(6, {2, 2})});
    DmFile noImageList;
    noImageList.root().addTag("Good", Tag::int32(1));
    Bytes cut = imageFile({rampImage(6, {2, 2})}).toBytes();
    cut.resize(cut.size() / 2);
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {version5.versionWord(5).toBytes(), "Unsupported version 5"},
        {bigEndian.byteOrder(0).toBytes(), "Unsupported endianess conversion"},
        {noImageList.toBytes(), "The file has no \"ImageList\" tag directory"},
        {cut, "DM data ended early"},
        {image([](ImageEntry e) { e.imageData.tag("DataType") = Tag::uint32(5); }),
         "Unsupported packed complex format"},
        {image([](ImageEntry e) { e.entry.remove("ImageData"); }), "has no \"ImageData\" tag directory"},
        {image([](ImageEntry e) { e.imageData.remove("Dimensions"); }), "Image 0 has no \"Dimensions\""},
        // Pixels at an offset no stream can seek to: the plugin's frame is refused by its seek.
        {image([](ImageEntry e) {
             e.imageData.remove("Data");
             e.imageData.addTag("DataOffset", Tag::float64(1e19));
         }),
         "cannot seek"},
    };
    for (const auto& [bytes, message] : cases) {
        gatanfuzz::Report report;
        EXPECT_EQ(disagreementOn(bytes, report), "") << message;
        EXPECT_EQ(report.outcome, gatanfuzz::Outcome::Refused) << message;
        EXPECT_THAT(report.message, HasSubstr(message));
    }
    // A stream that cannot seek is refused before anything is read.
    class ReadOnly final : public velmora::StreamAccess {
    public:
        std::uint64_t capabilities() const override { return velmora::READ; }
        std::uint64_t read(std::uint64_t, void*) override { throw std::logic_error("read"); }
        std::uint64_t tell() const override { return 0; }
        void seek(std::int64_t, velmora::SeekOrigin) override { throw std::logic_error("seek"); }
        std::optional<std::uint64_t> size() const override { return std::nullopt; }
    };
    EXPECT_EQ(errorOf<velmora::InvalidArgument>([] { DmIndex::build(std::make_shared<ReadOnly>()); }),
              errorOf<velmora::InvalidArgument>([] { openSource(std::make_shared<ReadOnly>()); }));
}

TEST(DmIndex, ReadsTheTagsAndSkipsEveryPixelArray) {
    for (Version version : {Version::Dm3, Version::Dm4}) {
        DmFile file = imageFile(
            {rampImage(23, {64, 64}), rampImage(7, {512, 512}), rampImage(2, {300, 400, 3})}, version);
        for (int i = 0; i < 2000; ++i) {
            file.root().addTag("Tag" + std::to_string(i), Tag::float64(i));
        }
        const Bytes bytes = file.dmFraming().toBytes();
        std::uint64_t pixels = 0;
        for (const auto& [offset, size] : file.layout().data) {
            pixels += size;
        }
        // Everything before the end of the root directory but the pixels; the trailer of eight bytes
        // after it is not read either.
        const std::uint64_t tags = bytes.size() - pixels - 8;

        auto asked = std::make_shared<CountingStream>(memoryStream(bytes));
        const DmIndex index = DmIndex::build(asked);
        EXPECT_EQ(asked->bytesDelivered(), tags);
        ASSERT_EQ(index.frames().size(), 3U);
        EXPECT_EQ(index.frames()[2].byteCount, 300U * 400 * 3 * 4);

        const TemporaryFile temp(bytes, ".dm4");
        auto windowed = std::make_shared<CountingStream>(std::make_shared<velmora::FileStream>(temp.path()));
        GatanHandle handle;
        handle.attach(windowed, true);
        trestan::gatan::DmIndexBuilder::build(handle);
        EXPECT_GE(windowed->bytesDelivered(), tags);
        EXPECT_LE(windowed->bytesDelivered(), tags + 4 * GatanHandle::ReadAheadWindowSize);
    }
}

TEST(DmIndex, FramesCutShortReadAsZerosPastTheEnd) {
    const Bytes pixels = ramp(16 * 8 * 4, 3);
    for (std::size_t kept : {std::size_t{0}, std::size_t{203}, pixels.size() - 1, pixels.size()}) {
        Bytes bytes = lastPixelsFile(16, 8, pixels).toBytes();
        bytes.resize(bytes.size() - pixels.size() + kept);
        Bytes expected(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(kept));
        expected.resize(pixels.size(), 0);
        ASSERT_EQ(readWhole(*openDm(bytes)->frame(0)), expected);

        const TemporaryFile temp(bytes, ".dm4");
        const DmIndex index = DmIndex::build(temp.path());
        const DmIndex::Frame& frame = index.frames().at(0);
        EXPECT_EQ(frame.byteCount, pixels.size());
        EXPECT_EQ(frame.bytesInFile, kept);
        EXPECT_EQ(frame.truncated(), kept < pixels.size());
        // Pieces of 100 bytes, through a descriptor, a random-access source and a stream.
        const OpenFile file(temp.path());
        const MemorySource source(bytes);
        const auto stream = memoryStream(bytes);
        for (const gatanfuzz::FrameBytes& read :
             {file.reader(), sourceReader(source),
              gatanfuzz::FrameBytes(
                  [&](const DmIndex::Frame&f, std::uint64_t first, std::uint64_t count, void*to) {
                      trestan::gatan::readFrameBytes(*stream, f, first, count, to);
                  })}) {
            Bytes got(pixels.size(), 0xEE);
            for (std::uint64_t first = 0; first < got.size(); first += 100) {
                read(frame, first, std::min<std::uint64_t>(100, got.size() - first), got.data() + first);
            }
            EXPECT_EQ(got, expected) << "cut at " << kept;
            read(frame, got.size(), 0, nullptr);
            EXPECT_EQ(errorOf<velmora::InvalidArgument>([&] { read(frame, 500, 13, got.data()); }),
                      "13 bytes from byte 500 are outside the 512 bytes of frame 0");
        }
    }
}

TEST(DmIndex, DescribesAFrameLargerThanMemory) {
    // 2^31 x 2^31 x 2 bytes: more than any allocation can have, so the plugin's open fails, while
    // the index describes the frame; the file holds its first 16 bytes.
    const Bytes pixels = ramp(16, 9);
    DmFile file;
    Directory& imageData = file.root().addDirectory("ImageList").addDirectory().addDirectory("ImageData");
    Directory& dimensions = imageData.addDirectory("Dimensions");
    for (std::uint32_t length : {1U << 31, 1U << 31, 2U}) {
        dimensions.addTag(Tag::uint32(length));
    }
    imageData.addTag("DataType", Tag::uint32(6));
    imageData.addTag("Data", Tag::array(code(ElementType::UInt8), 16, pixels));
    Bytes bytes = file.toBytes();
    EXPECT_EQ(errorOf<std::bad_alloc>([&] { openDm(bytes); }), "std::bad_alloc");

    const auto source = std::make_shared<MemorySource>(bytes);
    const DmIndex index = DmIndex::build(source);
    const DmIndex::Frame& frame = index.frames().at(0);
    EXPECT_EQ(frame.shape, (Shape{1U << 31, 1U << 31, 2}));
    EXPECT_EQ(frame.byteCount, std::uint64_t{1} << 63);
    EXPECT_EQ(frame.bytesInFile, 16U);
    Bytes first(24), last(8, 0xEE);
    trestan::gatan::readFrameBytes(*source, frame, 0, first.size(), first.data());
    trestan::gatan::readFrameBytes(*source, frame, frame.byteCount - last.size(), last.size(), last.data());
    EXPECT_EQ(first, concat({pixels, Bytes(8, 0)}));
    EXPECT_EQ(last, Bytes(8, 0));
}

TEST(DmIndex, WritesNoLogLine) {
    // The plugin's logger at debug level takes every line of an open; building an index gives none.
    ensurePluginLogger();
    const auto logger = InternalPluginLogger::instance()->logger();
    const auto lines = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
    logger->sinks().push_back(lines);
    const Bytes bytes = imageFile({rampImage(6, {4, 4})}).toBytes();
    const TemporaryFile temp(bytes, ".dm4");
    DmIndex::build(memoryStream(bytes));
    DmIndex::build(temp.path());
    EXPECT_EQ(lines->last_formatted().size(), 0U);
    openDm(bytes);
    EXPECT_GT(lines->last_formatted().size(), 10U);
    logger->sinks().pop_back();
}
