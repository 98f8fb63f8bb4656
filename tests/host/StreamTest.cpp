#include "TestFiles.h"
#include "velmora/BufferedStream.h"
#include "velmora/Error.h"
#include "velmora/FileStream.h"
#include "velmora/MemoryStream.h"
#include "velmora/RandomAccessStream.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

using namespace velmora;

namespace {

constexpr std::size_t BufferSize = BufferedStream::MinimumBufferSize;
// Spans several buffers and ends in the middle of one.
constexpr std::size_t DataSize = 3 * BufferSize + 12345;

class VectorSource final : public RandomAccess {
public:
    explicit VectorSource(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    std::uint64_t readAt(std::uint64_t offset, std::uint64_t count, void* destination) const override {
        if (offset >= m_bytes.size()) {
            return 0;
        }
        const std::uint64_t n = std::min<std::uint64_t>(count, m_bytes.size() - offset);
        std::memcpy(destination, m_bytes.data() + offset, n);
        return n;
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Each stream kind, made over the same bytes.
struct MemoryKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>& bytes,
                                              hosttest::TemporaryFile&) {
        return std::make_shared<MemoryStream>(std::make_shared<const std::vector<std::uint8_t>>(bytes));
    }
};
struct BufferedFileKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>&,
                                              hosttest::TemporaryFile& file) {
        return StreamAccessFactory::openFileRead(file.path(), BufferSize);
    }
};
struct FileKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>&,
                                              hosttest::TemporaryFile& file) {
        return std::make_shared<FileStream>(file.path());
    }
};
struct RandomAccessKind {
    static std::shared_ptr<StreamAccess> make(const std::vector<std::uint8_t>& bytes,
                                              hosttest::TemporaryFile&) {
        return StreamAccessFactory::fromRandomAccess(std::make_shared<VectorSource>(bytes));
    }
};

template <typename Kind> class StreamTest : public ::testing::Test {
protected:
    StreamTest()
        : m_data(hosttest::randomBytes(DataSize, 1234)), m_file(m_data),
          m_stream(Kind::make(m_data, m_file)) {}

    // Reads `count` bytes and checks that they are the data at the position the stream reported.
    void expectRead(std::uint64_t count, std::uint64_t expectedDelivered) {
        const std::uint64_t position = m_stream->tell();
        std::vector<std::uint8_t> out(count + 1, 0xA5);
        ASSERT_EQ(m_stream->read(count, out.data()), expectedDelivered)
            << "read of " << count << " at " << position;
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expectedDelivered),
                               m_data.begin() + static_cast<std::ptrdiff_t>(position)))
            << "read of " << count << " at " << position;
        EXPECT_EQ(out[expectedDelivered], 0xA5) << "read wrote past what it delivered";
        EXPECT_EQ(m_stream->tell(), position + expectedDelivered);
    }

    std::vector<std::uint8_t> m_data;
    hosttest::TemporaryFile m_file;
    std::shared_ptr<StreamAccess> m_stream;
};

using StreamKinds = ::testing::Types<MemoryKind, BufferedFileKind, FileKind, RandomAccessKind>;
TYPED_TEST_SUITE(StreamTest, StreamKinds);

TYPED_TEST(StreamTest, ReportsCapabilitiesSizeAndStartPosition) {
    EXPECT_EQ(this->m_stream->capabilities(), READ | SEEK | SIZE);
    EXPECT_EQ(this->m_stream->size(), DataSize);
    EXPECT_EQ(this->m_stream->tell(), 0u);
}

TYPED_TEST(StreamTest, SmallReadsOfVaryingSizeDeliverTheWholeData) {
    std::vector<std::uint8_t> all;
    std::uint8_t chunk[16];
    std::size_t size = 1;
    for (;;) {
        const std::uint64_t n = this->m_stream->read(size, chunk);
        all.insert(all.end(), chunk, chunk + n);
        if (n < size) {
            break;
        }
        size = size % 13 + 1;
    }
    EXPECT_EQ(all, this->m_data);
    EXPECT_EQ(this->m_stream->read(4, chunk), 0u);
    EXPECT_EQ(this->m_stream->tell(), DataSize);
}

TYPED_TEST(StreamTest, ReadsStraddlingBufferBoundaries) {
    for (std::uint64_t boundary : {BufferSize, 2 * BufferSize, 3 * BufferSize}) {
        this->m_stream->seek(static_cast<std::int64_t>(boundary - 3), SeekOrigin::Begin);
        this->expectRead(8, 8);
        this->expectRead(1, 1);
    }
    // A read that starts inside one buffer's worth and needs almost another.
    this->m_stream->seek(100, SeekOrigin::Begin);
    this->expectRead(4, 4);
    this->expectRead(BufferSize - 1, BufferSize - 1);
    this->expectRead(5, 5);
}

TYPED_TEST(StreamTest, LargeReadsAfterSmallOnes) {
    this->expectRead(10, 10);
    this->expectRead(BufferSize, BufferSize);
    this->expectRead(3, 3);
    this->expectRead(2 * BufferSize + 7, 2 * BufferSize + 7);
    this->expectRead(1, 1);
}

TYPED_TEST(StreamTest, RelativeSeeksInsideAndOutsideTheWindow) {
    this->expectRead(20, 20);
    this->m_stream->seek(10, SeekOrigin::Current); // forward, inside what was buffered
    EXPECT_EQ(this->m_stream->tell(), 30u);
    this->expectRead(4, 4);
    this->m_stream->seek(-30, SeekOrigin::Current); // backward, inside
    EXPECT_EQ(this->m_stream->tell(), 4u);
    this->expectRead(4, 4);
    this->m_stream->seek(static_cast<std::int64_t>(2 * BufferSize), SeekOrigin::Current); // far forward
    EXPECT_EQ(this->m_stream->tell(), 2 * BufferSize + 8);
    this->expectRead(6, 6);
    this->m_stream->seek(-static_cast<std::int64_t>(BufferSize + 1000), SeekOrigin::Current); // far backward
    EXPECT_EQ(this->m_stream->tell(), BufferSize - 986);
    this->expectRead(2000, 2000);
    this->m_stream->seek(0, SeekOrigin::Current);
    this->expectRead(1, 1);
}

TYPED_TEST(StreamTest, SeeksFromTheEnd) {
    this->m_stream->seek(-10, SeekOrigin::End);
    EXPECT_EQ(this->m_stream->tell(), DataSize - 10);
    this->expectRead(10, 10);
    this->m_stream->seek(0, SeekOrigin::End);
    this->expectRead(1, 0);
}

TYPED_TEST(StreamTest, ShortReadAtTheEnd) {
    this->m_stream->seek(static_cast<std::int64_t>(DataSize - 5), SeekOrigin::Begin);
    this->expectRead(100, 5);
    this->expectRead(100, 0);
    this->m_stream->seek(static_cast<std::int64_t>(DataSize - BufferSize / 2), SeekOrigin::Begin);
    this->expectRead(2 * BufferSize, BufferSize / 2); // a large read cut short
}

TYPED_TEST(StreamTest, ReadsAfterSeekingPastTheEndDeliverNothing) {
    this->m_stream->seek(static_cast<std::int64_t>(DataSize + 1000), SeekOrigin::Begin);
    EXPECT_EQ(this->m_stream->tell(), DataSize + 1000);
    std::uint8_t byte = 0;
    EXPECT_EQ(this->m_stream->read(1, &byte), 0u);
    EXPECT_EQ(this->m_stream->read(3 * BufferSize, std::vector<std::uint8_t>(3 * BufferSize).data()), 0u);
    EXPECT_EQ(this->m_stream->tell(), DataSize + 1000);
    this->m_stream->seek(-static_cast<std::int64_t>(DataSize + 1000), SeekOrigin::Current);
    this->expectRead(7, 7);
    // The largest reachable position still reads nothing rather than failing.
    this->m_stream->seek(INT64_MAX, SeekOrigin::Begin);
    this->m_stream->seek(INT64_MAX, SeekOrigin::Current);
    EXPECT_EQ(this->m_stream->read(1, &byte), 0u);
}

TYPED_TEST(StreamTest, SeekBeforeTheStartIsRefusedAndKeepsThePosition) {
    this->expectRead(50, 50);
    EXPECT_THROW(this->m_stream->seek(-1, SeekOrigin::Begin), InvalidArgument);
    EXPECT_THROW(this->m_stream->seek(-51, SeekOrigin::Current), InvalidArgument);
    EXPECT_THROW(this->m_stream->seek(-static_cast<std::int64_t>(DataSize) - 1, SeekOrigin::End),
                 InvalidArgument);
    EXPECT_THROW(this->m_stream->seek(INT64_MIN, SeekOrigin::Current), InvalidArgument);
    EXPECT_EQ(this->m_stream->tell(), 50u);
    this->expectRead(3, 3);
    this->m_stream->seek(-53, SeekOrigin::Current); // exactly the start is fine
    EXPECT_EQ(this->m_stream->tell(), 0u);
}

TYPED_TEST(StreamTest, ZeroByteReadDeliversNothing) {
    this->m_stream->seek(5, SeekOrigin::Begin);
    EXPECT_EQ(this->m_stream->read(0, nullptr), 0u);
    EXPECT_EQ(this->m_stream->tell(), 5u);
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
class CountingStream final : public StreamAccess {
public:
    explicit CountingStream(std::shared_ptr<StreamAccess> inner) : m_inner(std::move(inner)) {}
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
        : m_data(hosttest::randomBytes(DataSize, 77)),
          m_inner(std::make_shared<CountingStream>(
              std::make_shared<MemoryStream>(std::make_shared<const std::vector<std::uint8_t>>(m_data)))),
          m_stream(m_inner, BufferSize) {}

    std::vector<std::uint8_t> m_data;
    std::shared_ptr<CountingStream> m_inner;
    BufferedStream m_stream;
};

TEST_F(BufferedStreamTest, SmallReadsAreServedFromOneFill) {
    std::uint8_t bytes[8];
    for (std::size_t i = 0; i < BufferSize / 8; ++i) {
        ASSERT_EQ(m_stream.read(8, bytes), 8u);
        ASSERT_EQ(std::memcmp(bytes, m_data.data() + i * 8, 8), 0);
    }
    EXPECT_EQ(m_inner->reads, 1);
    EXPECT_EQ(m_inner->lastCount, BufferSize);
    ASSERT_EQ(m_stream.read(1, bytes), 1u);
    EXPECT_EQ(m_inner->reads, 2);
    EXPECT_EQ(m_inner->seeks, 0); // the inner stream was already where the next fill starts
}

TEST_F(BufferedStreamTest, SeeksInsideTheWindowOnlyMoveAnIndex) {
    std::uint8_t byte = 0;
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    m_stream.seek(1000, SeekOrigin::Begin);
    m_stream.seek(-500, SeekOrigin::Current);
    m_stream.seek(static_cast<std::int64_t>(BufferSize - 1), SeekOrigin::Begin);
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[BufferSize - 1]);
    m_stream.seek(0, SeekOrigin::Begin);
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[0]);
    EXPECT_EQ(m_inner->reads, 1);
    EXPECT_EQ(m_inner->seeks, 0);
}

TEST_F(BufferedStreamTest, SeekOutsideTheWindowRefillsFromTheNewPosition) {
    std::uint8_t byte = 0;
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    m_stream.seek(static_cast<std::int64_t>(2 * BufferSize + 3), SeekOrigin::Begin);
    EXPECT_EQ(m_inner->seeks, 0); // nothing happens until the next read
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[2 * BufferSize + 3]);
    EXPECT_EQ(m_inner->seeks, 1);
    EXPECT_EQ(m_inner->reads, 2);
}

TEST_F(BufferedStreamTest, SeeksToTheEdgesOfTheWindow) {
    std::uint8_t byte = 0;
    ASSERT_EQ(m_stream.read(1, &byte), 1u); // the window is [0, BufferSize)
    m_stream.seek(static_cast<std::int64_t>(BufferSize) + 1, SeekOrigin::Begin); // one past its end
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[BufferSize + 1]);
    m_stream.seek(static_cast<std::int64_t>(BufferSize) - 1, SeekOrigin::Begin); // the window moved on
    ASSERT_EQ(m_stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[BufferSize - 1]);
    m_stream.seek(-1, SeekOrigin::Current);
    std::uint8_t two[2];
    ASSERT_EQ(m_stream.read(2, two), 2u); // straddles the end of the window
    EXPECT_EQ(two[0], m_data[BufferSize - 1]);
    EXPECT_EQ(two[1], m_data[BufferSize]);
}

TEST_F(BufferedStreamTest, LargeReadsGoStraightToTheDestination) {
    std::vector<std::uint8_t> out(2 * BufferSize);
    ASSERT_EQ(m_stream.read(out.size(), out.data()), out.size());
    EXPECT_EQ(m_inner->reads, 1);
    EXPECT_EQ(m_inner->lastDestination, out.data());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), m_data.begin()));
}

TEST_F(BufferedStreamTest, LargeReadHandsOutTheBufferedPartFirst) {
    std::uint8_t head[10];
    ASSERT_EQ(m_stream.read(10, head), 10u); // fills the buffer with the first BufferSize bytes
    std::vector<std::uint8_t> out(BufferSize + 100);
    ASSERT_EQ(m_stream.read(out.size(), out.data()), out.size());
    EXPECT_EQ(m_inner->reads, 2);
    // The buffered BufferSize - 10 bytes were copied; only the rest was read, straight into place.
    EXPECT_EQ(m_inner->lastDestination, out.data() + (BufferSize - 10));
    EXPECT_EQ(m_inner->lastCount, 110u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), m_data.begin() + 10));
    EXPECT_EQ(m_stream.tell(), BufferSize + 110);
}

TEST_F(BufferedStreamTest, BufferIsAtLeastTheMinimum) {
    BufferedStream small(m_inner, 16);
    EXPECT_EQ(small.bufferSize(), BufferedStream::MinimumBufferSize);
    BufferedStream large(m_inner, 3 * BufferSize);
    EXPECT_EQ(large.bufferSize(), 3 * BufferSize);
}

TEST_F(BufferedStreamTest, StartsWhereTheInnerStreamStands) {
    auto inner = std::make_shared<MemoryStream>(m_data.data(), m_data.size());
    inner->seek(100, SeekOrigin::Begin);
    BufferedStream stream(inner);
    EXPECT_EQ(stream.tell(), 100u);
    std::uint8_t byte = 0;
    ASSERT_EQ(stream.read(1, &byte), 1u);
    EXPECT_EQ(byte, m_data[100]);
}

class NoSeekStream final : public StreamAccess {
public:
    std::uint64_t capabilities() const override { return READ; }
    std::uint64_t read(std::uint64_t, void*) override { return 0; }
    std::uint64_t tell() const override { return 0; }
    void seek(std::int64_t, SeekOrigin) override {}
    std::optional<std::uint64_t> size() const override { return std::nullopt; }
};

TEST(BufferedStreamArguments, RefusesAMissingOrUnseekableInnerStream) {
    EXPECT_THROW(BufferedStream(nullptr), InvalidArgument);
    EXPECT_THROW(BufferedStream(std::make_shared<NoSeekStream>()), InvalidArgument);
}

TEST(FileStreamErrors, OpenFailureNamesThePathAndTheReason) {
    try {
        StreamAccessFactory::openFileRead("/nonexistent-velmora-dir/x.dm3");
        FAIL() << "opening a missing file succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "cannot open '/nonexistent-velmora-dir/x.dm3': No such file or directory");
    }
}

TEST(FileStreamErrors, DirectoryIsRefused) {
    const std::string directory = std::filesystem::temp_directory_path().string();
    try {
        FileStream stream(directory);
        FAIL() << "opening a directory succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open '" + directory + "': Is a directory");
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

TEST(FileStreamErrors, DevicesHaveNoSize) {
    std::unique_ptr<FileStream> stream;
    try {
        stream = std::make_unique<FileStream>("/dev/zero");
    } catch (const Error& e) {
        GTEST_SKIP() << e.what();
    }
    EXPECT_EQ(stream->size(), std::nullopt);
    EXPECT_EQ(stream->capabilities(), READ | SEEK);
    EXPECT_THROW(stream->seek(0, SeekOrigin::End), InvalidArgument);
    std::uint8_t bytes[3] = {1, 1, 1};
    EXPECT_EQ(stream->read(3, bytes), 3u);
    EXPECT_EQ(bytes[2], 0);
}

TEST(FileStreamErrors, EmptyFileReadsNothing) {
    hosttest::TemporaryFile file({});
    auto stream = StreamAccessFactory::openFileRead(file.path());
    EXPECT_EQ(stream->size(), 0u);
    std::uint8_t byte = 0;
    EXPECT_EQ(stream->read(1, &byte), 0u);
    EXPECT_THROW(stream->seek(-1, SeekOrigin::End), InvalidArgument);
}

TEST(MemoryStreamArguments, RefusesNullData) {
    EXPECT_THROW(MemoryStream(nullptr, 4), InvalidArgument);
    EXPECT_THROW(MemoryStream(std::shared_ptr<const std::vector<std::uint8_t>>()), InvalidArgument);
    MemoryStream empty(nullptr, 0);
    EXPECT_EQ(empty.size(), 0u);
}

TEST(MemoryStreamArguments, BorrowedBytesAreReadInPlace) {
    const std::uint8_t bytes[] = {1, 2, 3};
    auto stream = StreamAccessFactory::fromMemory(bytes, sizeof bytes);
    std::uint8_t out[4] = {};
    EXPECT_EQ(stream->read(4, out), 3u);
    EXPECT_EQ(out[2], 3);
}

class OverDeliveringSource final : public RandomAccess {
public:
    std::uint64_t size() const override { return 100; }
    std::uint64_t readAt(std::uint64_t, std::uint64_t count, void*) const override { return count + 1; }
};

TEST(RandomAccessStreamArguments, RefusesANullOrMisbehavingSource) {
    EXPECT_THROW(RandomAccessStream(nullptr), InvalidArgument);
    RandomAccessStream stream(std::make_shared<OverDeliveringSource>());
    std::uint8_t bytes[4];
    EXPECT_THROW(stream.read(2, bytes), Error);
}

} // namespace
