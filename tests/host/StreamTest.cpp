// Every stream kind against a model (the bytes themselves): random reads and seeks, seeks to either
// side of the buffered window's edges, refusals; then the file stream's error messages.

#include "ByteSources.h"
#include "CountingStream.h"
#include "velmora/BufferedStream.h"
#include "velmora/Error.h"
#include "velmora/FileStream.h"
#include "velmora/MemoryStream.h"
#include "velmora/RandomAccessStream.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;
using testsupport::TemporaryFile;

namespace {

constexpr std::uint64_t B = BufferedStream::MinimumBufferSize;
constexpr std::uint64_t D = 3 * B + 12345; // several buffers, the last one partly filled

/// A stream of one kind over random bytes, and where it should stand.
struct Model {
    std::vector<std::uint8_t> data;
    std::shared_ptr<TemporaryFile> file;
    std::shared_ptr<StreamAccess> stream;
    std::uint64_t position = 0;

    // A read must deliver what the data holds at the model's position, and write nothing beyond.
    void read(std::uint64_t count) {
        const std::uint64_t expected = position >= D ? 0 : std::min(count, D - position);
        std::vector<std::uint8_t> out(count + 1, 0xA5);
        ASSERT_EQ(stream->read(count, out.data()), expected) << "read of " << count << " at " << position;
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected),
                               data.begin() + static_cast<std::ptrdiff_t>(std::min(position, D))))
            << "read of " << count << " at " << position;
        ASSERT_EQ(out[expected], 0xA5) << "read wrote past what it delivered";
        position += expected;
        ASSERT_EQ(stream->tell(), position);
    }
    void seek(std::uint64_t target) {
        stream->seek(static_cast<std::int64_t>(target), SeekOrigin::Begin);
        position = target;
    }
};

Model make(const std::string& kind) {
    Model model;
    model.data.resize(D);
    std::mt19937 generator(1234);
    std::generate(model.data.begin(), model.data.end(), [&] { return std::uint8_t(generator()); });
    model.file = std::make_shared<TemporaryFile>(model.data);
    if (kind == "memory") {
        model.stream =
            StreamAccessFactory::fromMemory(std::make_shared<const std::vector<std::uint8_t>>(model.data));
    } else if (kind == "buffered") {
        model.stream = StreamAccessFactory::openFileRead(model.file->path(), B);
    } else if (kind == "file") {
        model.stream = std::make_shared<FileStream>(model.file->path());
    } else {
        model.stream =
            StreamAccessFactory::fromRandomAccess(std::make_shared<testsupport::MemorySource>(model.data));
    }
    return model;
}

class Streams : public ::testing::TestWithParam<const char*> {};

TEST_P(Streams, RandomReadsAndSeeksMatchTheData) {
    Model m = make(GetParam());
    EXPECT_EQ(m.stream->capabilities(), READ | SEEK | SIZE);
    EXPECT_EQ(m.stream->size(), D);
    std::mt19937 generator(99);
    for (int step = 0; step < 3000; ++step) {
        const std::uint32_t what = generator() % 5;
        if (what == 0) {
            m.seek(generator() % (D + 100)); // sometimes past the end
        } else if (what == 1) {
            const std::int64_t delta = static_cast<std::int64_t>(generator() % 4000) - 2000;
            if (delta < 0 && static_cast<std::uint64_t>(-delta) > m.position) {
                continue;
            }
            m.stream->seek(delta, SeekOrigin::Current);
            m.position += static_cast<std::uint64_t>(delta);
        } else {
            // Mostly small reads, sometimes longer than the buffer.
            ASSERT_NO_FATAL_FAILURE(m.read(generator() % 10 == 0 ? generator() % (2 * B) : generator() % 9))
                << "step " << step;
        }
        ASSERT_EQ(m.stream->tell(), m.position) << "step " << step;
    }
    // From the end; past the end, even at the largest reachable position, nothing is read.
    m.stream->seek(-10, SeekOrigin::End);
    m.position = D - 10;
    ASSERT_NO_FATAL_FAILURE(m.read(100));
    m.seek(INT64_MAX);
    ASSERT_NO_FATAL_FAILURE(m.read(1));
    // Seeks before the start are refused and keep the position; exactly the start is fine.
    m.seek(50);
    for (const auto& [offset, origin] : {std::pair{std::int64_t{-1}, SeekOrigin::Begin},
                                         {std::int64_t{-51}, SeekOrigin::Current},
                                         {-std::int64_t(D) - 1, SeekOrigin::End},
                                         {INT64_MIN, SeekOrigin::Current}}) {
        EXPECT_THROW(m.stream->seek(offset, origin), InvalidArgument);
        EXPECT_EQ(m.stream->tell(), 50U);
    }
    m.stream->seek(-50, SeekOrigin::Current);
    m.position = 0;
    ASSERT_NO_FATAL_FAILURE(m.read(7));
}

TEST_P(Streams, SeeksToEitherSideOfTheWindowsEdgesReadTheBytesThere) {
    // Windows: a full buffer after a small read, the empty one a large read leaves, a short one at
    // the end of the data.
    for (const auto& [start, first] :
         {std::pair<std::uint64_t, std::uint64_t>{0, 1}, {100, 2 * B}, {D - 100, 1}}) {
        const std::uint64_t after = std::min(start + first, D);
        for (std::uint64_t edge : {start, after, start + B, D}) {
            for (std::uint64_t target = edge < 2 ? 0 : edge - 2; target <= edge + 2; ++target) {
                Model m = make(GetParam());
                m.seek(start);
                ASSERT_NO_FATAL_FAILURE(m.read(first));
                m.seek(target);
                ASSERT_NO_FATAL_FAILURE(m.read(3)) << "window at " << start << ", seek to " << target;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Streams, ::testing::Values("memory", "buffered", "file", "randomaccess"));

TEST(BufferedStream, ReadsTheInnerStreamOnceAWindowAndLargeReadsStraightIntoPlace) {
    const std::vector<std::uint8_t> data(D);
    auto memory = StreamAccessFactory::fromMemory(data.data(), data.size());
    memory->seek(100, SeekOrigin::Begin);
    auto inner = std::make_shared<testsupport::CountingStream>(memory);
    BufferedStream stream(inner, B);
    EXPECT_EQ(stream.tell(), 100U) << "it starts where the inner stream stands";
    std::vector<std::uint8_t> out(2 * B);
    for (int i = 0; i < 100; ++i) {
        stream.read(8, out.data());
    }
    // A seek inside the window costs nothing; one outside moves the inner stream at the next read,
    // and a large read hands out what is buffered and reads the rest straight into place.
    stream.seek(-500, SeekOrigin::Current);
    stream.seek(50, SeekOrigin::Begin);
    stream.read(8, out.data());
    EXPECT_EQ(stream.read(B, out.data()), B);
    const std::string b = std::to_string(B);
    EXPECT_EQ(inner->events(), (std::vector<std::string>{"read " + b, "seek to 50", "read " + b, "read 8"}));
}

class OverDeliveringSource final : public RandomAccess {
public:
    std::uint64_t size() const override { return 100; }
    std::uint64_t readAt(std::uint64_t, std::uint64_t count, void*) const override { return count + 1; }
};

TEST(StreamErrors, OverDeliveryAndUnknownSizesAreRefusedAndMessagesNamePathReasonAndOffset) {
    std::uint8_t bytes[16];
    EXPECT_THROW(RandomAccessStream(std::make_shared<OverDeliveringSource>()).read(2, bytes), Error);
    const auto messageOf = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const Error& e) {
            return e.what();
        }
        return "no error";
    };
    const std::string directory = std::filesystem::temp_directory_path().string();
    EXPECT_EQ(messageOf([&] { StreamAccessFactory::openFileRead(directory); }),
              "cannot open '" + directory + "': Is a directory");
    // A FIFO is refused at once rather than waited on until a writer opens it.
    const std::string fifo = directory + "/velmora-stream-test-" + std::to_string(::getpid()) + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(messageOf([&] { FileStream stream(fifo); }), "cannot open '" + fifo + "': not a regular file");
    ::unlink(fifo.c_str());
    // Reading unmapped memory through /proc/self/mem fails with EIO, a real input error.
    EXPECT_EQ(messageOf([&] { FileStream("/proc/self/mem").read(sizeof bytes, bytes); }),
              "cannot read '/proc/self/mem' at offset 0: Input/output error");
    FileStream device("/dev/zero");
    EXPECT_EQ(device.size(), std::nullopt);
    EXPECT_EQ(device.capabilities(), READ | SEEK);
    EXPECT_THROW(device.seek(0, SeekOrigin::End), InvalidArgument);
}

} // namespace
