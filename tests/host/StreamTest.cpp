#include "ByteSources.h"
#include "velmora/BufferedStream.h"
#include "velmora/Error.h"
#include "velmora/FileStream.h"
#include "velmora/MemoryStream.h"
#include "velmora/RandomAccessStream.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

using namespace velmora;
using testsupport::TemporaryFile;

namespace {

constexpr std::size_t BufferSize = BufferedStream::MinimumBufferSize;
// Spans several buffers and ends in the middle of one.
constexpr std::size_t DataSize = 3 * BufferSize + 12345;

std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(generator());
    }
    return bytes;
}

// Each stream kind, made over the same bytes.
struct MemoryKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>& bytes, TemporaryFile&) {
        return std::make_shared<MemoryStream>(std::make_shared<const std::vector<std::uint8_t>>(bytes));
    }
};
struct BufferedFileKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>&, TemporaryFile& file) {
        return StreamAccessFactory::openFileRead(file.path(), BufferSize);
    }
};
struct FileKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>&, TemporaryFile& file) {
        return std::make_shared<FileStream>(file.path());
    }
};
struct RandomAccessKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>& bytes, TemporaryFile&) {
        return StreamAccessFactory::fromRandomAccess(std::make_shared<testsupport::MemorySource>(bytes));
    }
};

template <typename Kind> class StreamTest : public ::testing::Test {
protected:
    StreamTest()
        : m_data(randomBytes(DataSize, 1234)), m_file(m_data), m_stream(Kind::make(m_data, m_file)) {}

    // Reads `count` bytes and checks that they are the data at the position the stream reported.
    void expectRead(std::uint64_t count, std::uint64_t expectedDelivered) {
        const std::uint64_t position = m_stream->tell();
        std::vector<std::uint8_t> out(count + 1, 0xA5);
        ASSERT_EQ(m_stream->read(count, out.data()), expectedDelivered)
            << "read of " << count << " at " << position;
        if (expectedDelivered > 0) {
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expectedDelivered),
                                   m_data.begin() + static_cast<std::ptrdiff_t>(position)))
                << "read of " << count << " at " << position;
        }
        EXPECT_EQ(out[expectedDelivered], 0xA5) << "read wrote past what it delivered";
        EXPECT_EQ(m_stream->tell(), position + expectedDelivered);
    }

    std::vector<std::uint8_t> m_data;
    TemporaryFile m_file;
    std::shared_ptr<StreamAccess> m_stream;
};

using StreamKinds = ::testing::Types<MemoryKind, BufferedFileKind, FileKind, RandomAccessKind>;
TYPED_TEST_SUITE(StreamTest, StreamKinds);

// One step of a script: a seek that must land at `expected` (Unchecked: anywhere), a read of `amount`
// bytes that must deliver `expected`, or a seek that must be refused and keep the position.
struct Step {
    enum { Seek, Read, Refused } kind;
    SeekOrigin origin;
    std::int64_t amount;
    std::uint64_t expected;
};
constexpr std::uint64_t Unchecked = UINT64_MAX;
constexpr Step seek(SeekOrigin origin, std::int64_t offset, std::uint64_t position) {
    return {Step::Seek, origin, offset, position};
}
constexpr Step read(std::uint64_t count, std::uint64_t delivered) {
    return {Step::Read, SeekOrigin::Current, static_cast<std::int64_t>(count), delivered};
}
constexpr Step refused(SeekOrigin origin, std::int64_t offset) {
    return {Step::Refused, origin, offset, 0};
}

TYPED_TEST(StreamTest, ScriptedSeeksAndReadsDeliverTheData) {
    constexpr std::int64_t B = BufferSize;
    constexpr std::int64_t D = DataSize;
    constexpr auto Begin = SeekOrigin::Begin;
    constexpr auto Current = SeekOrigin::Current;
    constexpr auto End = SeekOrigin::End;
    EXPECT_EQ(this->m_stream->capabilities(), READ | SEEK | SIZE);
    EXPECT_EQ(this->m_stream->size(), DataSize);
    EXPECT_EQ(this->m_stream->tell(), 0u);
    const Step script[] = {
        // Reads straddling buffer boundaries, and one that needs almost another buffer.
        seek(Begin, B - 3, B - 3), read(8, 8), read(1, 1), seek(Begin, 2 * B - 3, 2 * B - 3), read(8, 8),
        read(1, 1), seek(Begin, 3 * B - 3, 3 * B - 3), read(8, 8), read(1, 1), seek(Begin, 100, 100),
        read(4, 4), read(B - 1, B - 1), read(5, 5),
        // Large reads after small ones.
        seek(Begin, 0, 0), read(10, 10), read(B, B), read(3, 3), read(2 * B + 7, 2 * B + 7), read(1, 1),
        // Relative seeks inside what was buffered, then far forward and far backward.
        seek(Begin, 0, 0), read(20, 20), seek(Current, 10, 30), read(4, 4), seek(Current, -30, 4), read(4, 4),
        seek(Current, 2 * B, 2 * B + 8), read(6, 6), seek(Current, -(B + 1000), B - 986), read(2000, 2000),
        seek(Current, 0, B + 1014), read(1, 1),
        // From the end, and reads cut short by it (a large one too).
        seek(End, -10, D - 10), read(10, 10), seek(End, 0, D), read(1, 0), seek(Begin, D - 5, D - 5),
        read(100, 5), read(100, 0), seek(Begin, D - B / 2, D - B / 2), read(2 * B, B / 2),
        // Past the end nothing is read, not even at the largest reachable position.
        seek(Begin, D + 1000, D + 1000), read(1, 0), read(3 * B, 0), seek(Current, -(D + 1000), 0),
        read(7, 7), seek(Begin, INT64_MAX, INT64_MAX), seek(Current, INT64_MAX, Unchecked), read(1, 0),
        // Seeks before the start are refused and keep the position; exactly the start is fine.
        seek(Begin, 50, 50), read(0, 0), refused(Begin, -1), refused(Current, -51), refused(End, -D - 1),
        refused(Current, INT64_MIN), read(3, 3), seek(Current, -53, 0)};
    for (std::size_t i = 0; i < std::size(script); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const Step& step = script[i];
        const std::uint64_t before = this->m_stream->tell();
        if (step.kind == Step::Read) {
            ASSERT_NO_FATAL_FAILURE(this->expectRead(static_cast<std::uint64_t>(step.amount), step.expected));
        } else if (step.kind == Step::Refused) {
            EXPECT_THROW(this->m_stream->seek(step.amount, step.origin), InvalidArgument);
            EXPECT_EQ(this->m_stream->tell(), before);
        } else {
            this->m_stream->seek(step.amount, step.origin);
            if (step.expected != Unchecked) {
                EXPECT_EQ(this->m_stream->tell(), step.expected);
            }
        }
    }
}

TYPED_TEST(StreamTest, RandomReadsAndSeeksMatchTheData) {
    std::mt19937 generator(99);
    std::uint64_t position = 0;
    for (int step = 0; step < 2000; ++step) {
        switch (generator() % 4) {
        case 0: { // absolute seek, sometimes past the end
            position = generator() % (DataSize + 100);
            this->m_stream->seek(static_cast<std::int64_t>(position), SeekOrigin::Begin);
            break;
        }
        case 1: { // relative seek, either way
            const std::int64_t delta = static_cast<std::int64_t>(generator() % 4000) - 2000;
            if (delta < 0 && static_cast<std::uint64_t>(-delta) > position) {
                continue;
            }
            this->m_stream->seek(delta, SeekOrigin::Current);
            position += static_cast<std::uint64_t>(delta);
            break;
        }
        default: { // reads, mostly small, sometimes larger than the buffer
            const std::uint64_t count =
                generator() % 10 == 0 ? generator() % (2 * BufferSize) : generator() % 9;
            const std::uint64_t expected = position >= DataSize ? 0 : std::min(count, DataSize - position);
            ASSERT_NO_FATAL_FAILURE(this->expectRead(count, expected)) << "step " << step;
            position += expected;
            break;
        }
        }
        ASSERT_EQ(this->m_stream->tell(), position) << "step " << step;
    }
}

// An inner stream that counts the calls made on it and remembers where reads went.
class CallCounter final : public StreamAccess {
public:
    explicit CallCounter(std::shared_ptr<StreamAccess> inner) : m_inner(std::move(inner)) {}
    std::uint64_t capabilities() const override { return m_inner->capabilities(); }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        ++reads;
        lastDestination = destination;
        lastCount = count;
        return m_inner->read(count, destination);
    }
    std::uint64_t tell() const override { return m_inner->tell(); }
    void seek(std::int64_t offset, SeekOrigin origin) override {
        ++seeks;
        m_inner->seek(offset, origin);
    }
    std::optional<std::uint64_t> size() const override { return m_inner->size(); }

    int reads = 0;
    int seeks = 0;
    void* lastDestination = nullptr;
    std::uint64_t lastCount = 0;

private:
    std::shared_ptr<StreamAccess> m_inner;
};

class BufferedStreamTest : public ::testing::Test {
protected:
    BufferedStreamTest()
        : m_data(randomBytes(DataSize, 77)),
          m_inner(
              std::make_shared<CallCounter>(std::make_shared<MemoryStream>(m_data.data(), m_data.size()))),
          m_stream(m_inner, BufferSize) {}

    std::vector<std::uint8_t> m_data;
    std::shared_ptr<CallCounter> m_inner;
    BufferedStream m_stream;
};

TEST_F(BufferedStreamTest, BufferIsAtLeast64KiBAndStartsWhereTheInnerStreamStands) {
    EXPECT_GE(BufferedStream::MinimumBufferSize, 64u * 1024);
    EXPECT_EQ(BufferedStream(m_inner, 16).bufferSize(), BufferedStream::MinimumBufferSize);
    EXPECT_EQ(BufferedStream(m_inner, 3 * BufferSize).bufferSize(), 3 * BufferSize);
    // It starts where the inner stream stands.
    auto inner = std::make_shared<MemoryStream>(m_data.data(), m_data.size());
    inner->seek(100, SeekOrigin::Begin);
    BufferedStream stream(inner);
    EXPECT_EQ(stream.tell(), 100u);
    std::uint8_t byte = 0;
    ASSERT_EQ(stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[100]);
}

TEST_F(BufferedStreamTest, SmallReadsAndSeeksInsideTheWindowMakeOneCallOthersWaitForTheNextRead) {
    std::uint8_t bytes[8];
    for (std::size_t i = 0; i < BufferSize / 8; ++i) {
        ASSERT_EQ(m_stream.read(8, bytes), 8u);
        ASSERT_EQ(std::memcmp(bytes, m_data.data() + i * 8, 8), 0);
    }
    EXPECT_EQ(m_inner->lastCount, BufferSize);
    m_stream.seek(1000, SeekOrigin::Begin);
    m_stream.seek(-500, SeekOrigin::Current);
    m_stream.seek(static_cast<std::int64_t>(BufferSize - 1), SeekOrigin::Begin);
    ASSERT_EQ(m_stream.read(1, bytes), 1u);
    EXPECT_EQ(bytes[0], m_data[BufferSize - 1]);
    m_stream.seek(0, SeekOrigin::Begin);
    ASSERT_EQ(m_stream.read(1, bytes), 1u);
    EXPECT_EQ(bytes[0], m_data[0]);
    EXPECT_EQ(m_inner->reads, 1);
    EXPECT_EQ(m_inner->seeks, 0);
    // The inner stream already stands where the next window starts.
    m_stream.seek(static_cast<std::int64_t>(BufferSize), SeekOrigin::Begin);
    ASSERT_EQ(m_stream.read(1, bytes), 1u);
    EXPECT_EQ(bytes[0], m_data[BufferSize]);
    EXPECT_EQ(m_inner->reads, 2);
    EXPECT_EQ(m_inner->seeks, 0);

    m_stream.seek(static_cast<std::int64_t>(3 * BufferSize + 3), SeekOrigin::Begin);
    EXPECT_EQ(m_inner->seeks, 0);
    ASSERT_EQ(m_stream.read(1, bytes), 1u);
    EXPECT_EQ(bytes[0], m_data[3 * BufferSize + 3]);
    EXPECT_EQ(m_inner->seeks, 1);
    EXPECT_EQ(m_inner->reads, 3);
}

TEST_F(BufferedStreamTest, LargeReadsGoStraightToTheDestination) {
    std::vector<std::uint8_t> out(2 * BufferSize);
    ASSERT_EQ(m_stream.read(out.size(), out.data()), out.size());
    EXPECT_EQ(m_inner->reads, 1);
    EXPECT_EQ(m_inner->lastDestination, out.data());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), m_data.begin()));

    // After a small read fills the buffer, a large read hands out the buffered part first and reads
    // only the rest, straight into place.
    std::uint8_t head[10];
    ASSERT_EQ(m_stream.read(10, head), 10u);
    out.assign(BufferSize + 100, 0);
    ASSERT_EQ(m_stream.read(out.size(), out.data()), out.size());
    EXPECT_EQ(m_inner->reads, 3);
    EXPECT_EQ(m_inner->lastDestination, out.data() + (BufferSize - 10));
    EXPECT_EQ(m_inner->lastCount, 110u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), m_data.begin() + 2 * BufferSize + 10));
    EXPECT_EQ(m_stream.tell(), 3 * BufferSize + 110);
}

TEST_F(BufferedStreamTest, SeeksToEitherSideOfTheWindowsEdgesReadTheBytesThere) {
    // Windows: a full buffer after a small read, the empty one a large read leaves, a short one at
    // the end of the data.
    const std::pair<std::uint64_t, std::uint64_t> windows[] = {
        {0, 1}, {100, 2 * BufferSize}, {DataSize - 100, 1}};
    for (const auto& [start, first] : windows) {
        std::vector<std::uint8_t> out(first);
        const std::uint64_t after = start + first > DataSize ? DataSize : start + first;
        for (std::uint64_t edge : {start, after, start + BufferSize, std::uint64_t{DataSize}}) {
            for (std::uint64_t target = edge < 2 ? 0 : edge - 2; target <= edge + 2; ++target) {
                BufferedStream stream(std::make_shared<MemoryStream>(m_data.data(), m_data.size()),
                                      BufferSize);
                stream.seek(static_cast<std::int64_t>(start), SeekOrigin::Begin);
                stream.read(first, out.data());
                stream.seek(static_cast<std::int64_t>(target), SeekOrigin::Begin);
                std::uint8_t bytes[3] = {};
                const std::uint64_t expected =
                    target >= DataSize ? 0 : std::min<std::uint64_t>(3, DataSize - target);
                ASSERT_EQ(stream.read(3, bytes), expected) << "window at " << start << ", seek to " << target;
                EXPECT_TRUE(
                    std::equal(bytes, bytes + expected, m_data.begin() + static_cast<std::ptrdiff_t>(target)))
                    << "window at " << start << ", seek to " << target;
            }
        }
    }
}

class NoSeekStream final : public StreamAccess {
public:
    std::uint64_t capabilities() const override { return READ; }
    std::uint64_t read(std::uint64_t, void*) override { return 0; }
    std::uint64_t tell() const override { return 0; }
    void seek(std::int64_t, SeekOrigin) override {}
    std::optional<std::uint64_t> size() const override { return std::nullopt; }
};

class OverDeliveringSource final : public RandomAccess {
public:
    std::uint64_t size() const override { return 100; }
    std::uint64_t readAt(std::uint64_t, std::uint64_t count, void*) const override { return count + 1; }
};

TEST(StreamArguments, RefusesMissingOrUnusableInputs) {
    EXPECT_THROW(BufferedStream(nullptr), InvalidArgument);
    EXPECT_THROW(BufferedStream(std::make_shared<NoSeekStream>()), InvalidArgument);
    EXPECT_THROW(MemoryStream(nullptr, 4), InvalidArgument);
    EXPECT_THROW(MemoryStream(std::shared_ptr<const std::vector<std::uint8_t>>()), InvalidArgument);
    EXPECT_EQ(MemoryStream(nullptr, 0).size(), 0u);
    EXPECT_THROW(RandomAccessStream(nullptr), InvalidArgument);
    // A source that delivers more than asked is refused.
    RandomAccessStream stream(std::make_shared<OverDeliveringSource>());
    std::uint8_t bytes[4];
    EXPECT_THROW(stream.read(2, bytes), Error);
}

TEST(FileStreamErrors, OpenFailureNamesThePathAndTheReason) {
    const std::string directory = std::filesystem::temp_directory_path().string();
    for (const auto& [path, reason] :
         {std::pair<std::string, std::string>{"/nonexistent-velmora-dir/x.dm3", "No such file or directory"},
          {directory, "Is a directory"}}) {
        try {
            StreamAccessFactory::openFileRead(path);
            ADD_FAILURE() << "opening " << path << " succeeded";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "cannot open '" + path + "': " + reason);
        }
    }
}

TEST(FileStreamErrors, ReadErrorIsReportedWithPathAndOffset) {
    // Reading unmapped memory through /proc/self/mem fails with EIO, a real input error.
    std::unique_ptr<FileStream> stream;
    try {
        stream = std::make_unique<FileStream>("/proc/self/mem");
    } catch (const Error& e) {
        GTEST_SKIP() << e.what();
    }
    std::uint8_t bytes[16];
    try {
        stream->read(sizeof bytes, bytes);
        FAIL() << "reading unmapped memory succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "cannot read '/proc/self/mem' at offset 0: Input/output error");
    }
}

TEST(FileStreamErrors, DevicesHaveNoSizeAndEmptyFilesReadNothing) {
    FileStream device("/dev/zero");
    EXPECT_EQ(device.size(), std::nullopt);
    EXPECT_EQ(device.capabilities(), READ | SEEK);
    EXPECT_THROW(device.seek(0, SeekOrigin::End), InvalidArgument);
    std::uint8_t bytes[3] = {1, 1, 1};
    EXPECT_EQ(device.read(3, bytes), 3u);
    EXPECT_EQ(bytes[2], 0);

    TemporaryFile file({});
    auto stream = StreamAccessFactory::openFileRead(file.path());
    EXPECT_EQ(stream->size(), 0u);
    EXPECT_EQ(stream->read(1, bytes), 0u);
    EXPECT_THROW(stream->seek(-1, SeekOrigin::End), InvalidArgument);
}

} // namespace
