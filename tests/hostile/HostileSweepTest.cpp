// Hostile-input sweeps: damaged versions of writer-made files go through the reader as the fuzzer
// runs them, held to the rules below. The writer says where it put the structure and the pixels
// of its files. (Damaged real files are the fuzz smoke run's: it starts from the corpus's files.)
//
//   every prefix:            every cut from 0 to the whole size, except inside pixel arrays, which
//                            the walk skips unread: there only the first and last EdgeCuts lengths
//   structural byte changes: every byte of every structural field set to 00, FF, 80, 7F, value + 1
//   random byte changes:     2 to 8 bytes at once (half in structural fields), from a fixed seed
//   fuzz regressions:        every input of tests/fuzz-regressions/inputs ends as outcomes.txt says
//
// The fuzzer's runner is fuzz/support. The rules: the file opens (and its whole tree and every frame read),
// or the open fails with velmora::Error, the allowed std::length_error or std::bad_alloc; the file index
// (trestan::gatan::DmIndex) of the input agrees with the open: the same refusal and message, or the same
// tree, frames and pixels. Nothing else: no other exception, no input slower than MaxSeconds, and two
// rules on what an open allocates through operator new (the metadata is put on the heap so that every
// node is counted; pixel buffers come from malloc or mmap and may legitimately exceed a truncated file):
//
// 1. The walk never allocates room for bytes the file does not hold: no read asks for more than the
//    bytes left (plus AllocationSlack) after an allocation at least as large as the read.
// 2. Nothing else allocated at once exceeds BookkeepingFactor bytes per input byte, or per child of
//    the widest node (items of arrays of groups without fields take no bytes), plus AllocationSlack.

#include "AllocationProbe.h"
#include "ByteSources.h"
#include "GatanExercise.h"
#include "WriterSeeds.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::AllocationProbe;
constexpr std::size_t AllocationSlack = 4096;

/// Records the first read that asks for more than the bytes left after an allocation as large.
class WatchedStream final : public velmora::StreamAccess {
public:
    explicit WatchedStream(std::shared_ptr<velmora::StreamAccess> inner) : m_inner(std::move(inner)) {}

    std::uint64_t capabilities() const override { return marked(m_inner->capabilities()); }
    std::uint64_t tell() const override { return marked(m_inner->tell()); }
    std::optional<std::uint64_t> size() const override { return marked(m_inner->size()); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override {
        AllocationProbe::mark();
        m_inner->seek(offset, origin);
    }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        const std::uint64_t offset = m_inner->tell();
        const std::uint64_t size = m_inner->size().value_or(0);
        const std::uint64_t left = offset < size ? size - offset : 0;
        const std::size_t allocated = AllocationProbe::largestSinceMark();
        if (overdraft.empty() && count > left + AllocationSlack && allocated >= count) {
            overdraft = "allocated " + std::to_string(allocated) + " bytes, then asked for " +
                        std::to_string(count) + " at offset " + std::to_string(offset) + " where " +
                        std::to_string(left) + " are left";
        }
        AllocationProbe::mark();
        return m_inner->read(count, destination);
    }

    std::string overdraft;

private:
    template <typename T> static T marked(T value) {
        AllocationProbe::mark();
        return value;
    }

    std::shared_ptr<velmora::StreamAccess> m_inner;
};

/// Runs inputs through the reader as the fuzzer runs them and holds each outcome to the rules above.
class Sweep {
public:
    static constexpr double MaxSeconds = 2.0;
    static constexpr std::size_t BookkeepingFactor = 32;

    /// `name` heads the failure messages.
    explicit Sweep(std::string name) : m_name(std::move(name)) { gatanfuzz::prepareLogger(); }

    /// Runs one input; `describe` names it in a failure ("byte 1234 set to 0xff").
    void run(const Bytes& input, const std::function<std::string()>& describe) {
        gatanfuzz::Report report;
        std::size_t largest = 0;
        std::string overdraft;
        std::string disagreement;
        const auto start = std::chrono::steady_clock::now();
        try {
            auto stream = std::make_shared<WatchedStream>(
                velmora::StreamAccessFactory::fromMemory(input.data(), input.size()));
            auto probe = std::make_unique<AllocationProbe>();
            auto extractor = gatanfuzz::open(stream, report, gatanfuzz::Metadata::OnHeap);
            largest = AllocationProbe::largest();
            probe.reset();
            overdraft = stream->overdraft;
            if (extractor) {
                gatanfuzz::inspect(*extractor, report);
            }
            disagreement = gatanfuzz::indexDisagreement(input.data(), input.size(), report, extractor.get());
        } catch (const std::exception& error) {
            fail(describe, std::string("unexpected ") + typeid(error).name() + ": " + error.what());
            return;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++m_counts[static_cast<int>(report.outcome)];
        const std::string ending =
            std::string(" (") + gatanfuzz::outcomeName(report.outcome) + ": " + report.message + ")";
        if (seconds > MaxSeconds) {
            fail(describe, "took " + std::to_string(seconds) + " s");
        }
        if (!overdraft.empty()) {
            fail(describe, overdraft + ending);
        }
        if (!disagreement.empty()) {
            fail(describe, disagreement + ending);
        }
        if (largest > BookkeepingFactor * std::max(input.size(), report.widestList) + AllocationSlack) {
            fail(describe, "allocated " + std::to_string(largest) + " bytes at once from an input of " +
                               std::to_string(input.size()) + " bytes" + ending);
        }
    }

    std::size_t count(gatanfuzz::Outcome outcome) const { return m_counts[static_cast<int>(outcome)]; }

private:
    void fail(const std::function<std::string()>& describe, const std::string& why) {
        if (++m_failures <= 20) {
            ADD_FAILURE() << m_name << ": " << describe() << ": " << why;
        }
    }

    std::string m_name;
    std::size_t m_counts[4] = {0, 0, 0, 0}; // by gatanfuzz::Outcome
    std::size_t m_failures = 0;
};

struct NamedFile {
    std::string name;
    Bytes bytes;
    dmwriter::DmFile::Layout layout;
};

/// Writer seeds that cover every kind of structure in a few kilobytes: all tag kinds, plain and
/// grouped (complex) pixel arrays, colour strides, two frames, and a refused data type.
std::vector<NamedFile> writerFiles() {
    const std::set<std::string> chosen = {"tag-kinds.dm3",    "tag-kinds.dm4",    "thumbnail-and-image.dm3",
                                          "image-type3.dm3",  "image-type13.dm4", "image-type23.dm4",
                                          "image-type14.dm3", "image-4-axes.dm4", "image-refused-type5.dm4"};
    std::vector<NamedFile> files;
    for (auto& seed : gatanfuzz::writerSeeds()) {
        if (chosen.count(seed.name) != 0) {
            files.push_back(NamedFile{seed.name, std::move(seed.bytes), std::move(seed.layout)});
        }
    }
    EXPECT_EQ(files.size(), chosen.size());
    return files;
}

/// Every byte offset of the writer's structural fields, ascending.
std::vector<std::uint64_t> structuralOffsets(const NamedFile& file) {
    std::vector<std::uint64_t> offsets;
    for (const auto& [offset, size] : file.layout.structure) {
        for (std::uint64_t i = 0; i < size; ++i) {
            offsets.push_back(offset + i);
        }
    }
    return offsets;
}

void sweepPrefixes(const NamedFile& file) {
    constexpr std::uint64_t EdgeCuts = 16;
    Sweep sweep("every prefix of " + file.name);
    for (std::uint64_t length = 0; length <= file.bytes.size(); ++length) {
        if (std::none_of(file.layout.data.begin(), file.layout.data.end(), [&](const auto& array) {
                return length > array.first + EdgeCuts && length + EdgeCuts < array.first + array.second;
            })) {
            sweep.run(Bytes(file.bytes.begin(), file.bytes.begin() + static_cast<std::ptrdiff_t>(length)),
                      [&] { return file.name + " cut to " + std::to_string(length) + " bytes"; });
        }
    }
    // The whole file is the last prefix.
    EXPECT_EQ(sweep.count(gatanfuzz::Outcome::Opened) >= 1U, file.name.find("refused") == std::string::npos)
        << file.name;
}

void sweepStructuralBytes(const NamedFile& file) {
    Sweep sweep("structural byte changes of " + file.name);
    Bytes changed = file.bytes;
    for (std::uint64_t offset : structuralOffsets(file)) {
        const std::uint8_t original = file.bytes[offset];
        for (std::uint8_t value :
             std::set<std::uint8_t>{0x00, 0xFF, 0x80, 0x7F, std::uint8_t(original + 1)}) {
            changed[offset] = value;
            sweep.run(changed, [&] {
                return file.name + ", byte " + std::to_string(offset) + " -> " +
                       fmt::format("{:#04x}", value);
            });
        }
        changed[offset] = original;
    }
}

void sweepRandomChanges(const NamedFile& file, std::size_t mutants, std::uint64_t seed) {
    const std::vector<std::uint64_t> offsets = structuralOffsets(file);
    std::mt19937_64 random(seed);
    Sweep sweep(std::to_string(mutants) + " random multi-byte changes of " + file.name);
    for (std::size_t m = 0; m < mutants; ++m) {
        Bytes changed = file.bytes;
        std::string changes;
        for (std::size_t c = 2 + random() % 7; c > 0; --c) {
            const std::uint64_t offset = random() % 2 == 0 && !offsets.empty()
                                             ? offsets[random() % offsets.size()]
                                             : random() % file.bytes.size();
            const std::uint64_t kind = random() % 3;
            const std::uint8_t value =
                kind == 0   ? static_cast<std::uint8_t>(random())
                : kind == 1 ? Bytes{0x00, 0xFF, 0x80, 0x7F}[random() % 4]
                            : static_cast<std::uint8_t>(changed[offset] + 1 - 2 * (random() % 2));
            changed[offset] = value;
            changes += " " + std::to_string(offset) + "=" + fmt::format("{:#04x}", value);
        }
        sweep.run(changed, [&] { return file.name + " mutant " + std::to_string(m) + ":" + changes; });
    }
}

} // namespace

TEST(HostileSweep, WriterFiles) {
    std::uint64_t seed = 0x5EED0001;
    for (const NamedFile& file : writerFiles()) {
        sweepPrefixes(file);
        sweepStructuralBytes(file);
        sweepRandomChanges(file, 2000, seed++);
    }
}

TEST(HostileSweep, FuzzRegressionsEndAsRecorded) {
    const std::filesystem::path directory =
        std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "tests/fuzz-regressions";
    std::ifstream outcomes(directory / "outcomes.txt");
    ASSERT_TRUE(outcomes.is_open());
    for (std::string line; std::getline(outcomes, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::string name = line.substr(0, line.find(' '));
        const std::string recorded = line.substr(line.find(' ') + 1);
        Sweep sweep("fuzz regression " + name);
        sweep.run(testsupport::readFile(directory / "inputs" / name), [&] { return name; });
        std::string ended = "a broken rule";
        for (auto outcome : {gatanfuzz::Outcome::Opened, gatanfuzz::Outcome::Refused,
                             gatanfuzz::Outcome::LengthError, gatanfuzz::Outcome::OutOfMemory}) {
            ended = sweep.count(outcome) == 1 ? gatanfuzz::outcomeName(outcome) : ended;
        }
        EXPECT_EQ(ended, recorded) << name;
    }
}
