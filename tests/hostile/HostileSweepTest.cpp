// Hostile-input sweeps: damaged versions of writer-made files and of real files (when
// ../shared/corpus exists) go through the reader as the fuzzer runs them; every outcome must be one
// the reader's rules allow (see Sweep.h). Each sweep prints a summary line. The writer says where it
// put the structure and the pixels of its files.
//
//   every prefix:            the file cut at every length from 0 to its whole size, except inside
//                            pixel arrays (as the writer laid them out, or for real files as the
//                            reader found them), which the walk skips unread: there only the first
//                            and the last EdgeCuts lengths
//   structural byte changes: every byte of every structural field of writer files set to 00, FF,
//                            80, 7F and to its value plus one
//   random byte changes:     2 to 8 bytes changed at once (in writer files half of them in
//                            structural fields), from a fixed seed

#include "ByteSources.h"
#include "GatanExtractor.h"
#include "Sweep.h"
#include "WriterSeeds.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/VariantDataValue.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace hostile;

namespace {

struct NamedFile {
    std::string name;
    Bytes bytes;
    bool opens = true;               ///< whether the unchanged file opens
    dmwriter::DmFile::Layout layout; ///< empty for real files
};

/// Writer seeds chosen to cover every kind of structure at a few kilobytes at most: all tag kinds,
/// plain and grouped (complex) pixel arrays, colour strides, two frames, and a refused data type.
std::vector<NamedFile> writerFiles() {
    const std::set<std::string> chosen = {
        "tag-kinds.dm3",    "tag-kinds.dm4",    "thumbnail-and-image.dm3", "thumbnail-and-image.dm4",
        "image-type3.dm3",  "image-type13.dm4", "image-type23.dm4",        "image-type14.dm3",
        "image-4-axes.dm4", "image-0-axes.dm3", "image-refused-type5.dm4",
    };
    std::vector<NamedFile> files;
    for (auto& seed : gatanfuzz::writerSeeds()) {
        if (chosen.count(seed.name) != 0) {
            const bool opens = seed.name.find("refused") == std::string::npos;
            files.push_back(NamedFile{seed.name, std::move(seed.bytes), opens, std::move(seed.layout)});
        }
    }
    if (files.size() != chosen.size()) {
        throw std::logic_error("a chosen writer seed no longer exists");
    }
    return files;
}

/// The pixel arrays of a file that opens, where the reader finds them: each frame's "DataOffset" and
/// stored size (colour pixels take four bytes).
dmwriter::DmFile::Layout pixelArrays(const Bytes& bytes) {
    dmwriter::DmFile::Layout layout;
    GatanExtractor extractor(velmora::StreamAccessFactory::fromMemory(bytes.data(), bytes.size()), "DM", {});
    const auto list = extractor.metadata()->child("GATAN")->child("ImageList");
    for (std::size_t i = 0; i < extractor.frameCount(); ++i) {
        const velmora::DataType type = extractor.frame(i)->dataType();
        std::size_t size = type.id() == velmora::DataTypeId::RGB8 ? 4 : type.elementSize();
        for (std::size_t length : extractor.frame(i)->shape()) {
            size *= length;
        }
        const auto offset =
            list->childAt(i)->child("ImageData")->child("DataOffset")->value()->at<std::uint64_t>(0);
        layout.data.emplace_back(offset, size);
    }
    return layout;
}

/// The `perVersion` smallest real files of each version, or nothing without the corpus.
std::vector<NamedFile> smallRealFiles(std::size_t perVersion) {
    const std::filesystem::path corpus(TRESTAN_TEST_CORPUS_DIR);
    std::vector<NamedFile> files;
    if (!std::filesystem::is_directory(corpus)) {
        return files;
    }
    for (const char* extension : {".dm3", ".dm4"}) {
        std::vector<std::pair<std::uintmax_t, std::filesystem::path>> found;
        for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
            if (entry.is_regular_file() && entry.path().extension() == extension) {
                found.emplace_back(entry.file_size(), entry.path());
            }
        }
        std::sort(found.begin(), found.end());
        for (std::size_t i = 0; i < std::min(perVersion, found.size()); ++i) {
            Bytes bytes = testsupport::readFile(found[i].second);
            files.push_back(NamedFile{found[i].second.filename().string(), bytes, true, pixelArrays(bytes)});
        }
    }
    return files;
}

std::string hexByte(std::uint8_t value) {
    static const char* digits = "0123456789abcdef";
    return std::string("0x") + digits[value >> 4] + digits[value & 15];
}

/// The unchanged file opens (or, for a file of a refused data type, is refused), so that a sweep
/// starts from what it means to start from.
void expectBaseline(const NamedFile& file) {
    Sweep baseline(file.name + " unchanged");
    baseline.run(file.bytes, [&file] { return file.name; });
    EXPECT_EQ(baseline.opened(), file.opens ? 1U : 0U) << file.name << " unchanged";
    EXPECT_EQ(baseline.failures(), 0U) << file.name;
}

/// Cuts kept at each end of a pixel array.
constexpr std::uint64_t EdgeCuts = 16;

/// Whether a cut at `length` falls inside a pixel array, away from its ends.
bool insidePixels(const dmwriter::DmFile::Layout& layout, std::uint64_t length) {
    for (const auto& [offset, size] : layout.data) {
        if (length > offset + EdgeCuts && length + EdgeCuts < offset + size) {
            return true;
        }
    }
    return false;
}

void sweepPrefixes(const NamedFile& file) {
    expectBaseline(file);
    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= file.bytes.size(); ++length) {
        if (!insidePixels(file.layout, length)) {
            lengths.push_back(length);
        }
    }
    Sweep sweep("every prefix of " + file.name + " (" + std::to_string(file.bytes.size()) + " bytes; " +
                std::to_string(file.bytes.size() + 1 - lengths.size()) +
                " cuts inside pixel arrays left out)");
    for (std::size_t length : lengths) {
        const Bytes prefix(file.bytes.begin(), file.bytes.begin() + static_cast<std::ptrdiff_t>(length));
        sweep.run(prefix, [&] { return file.name + " cut to " + std::to_string(length) + " bytes"; });
    }
    sweep.finish();
    EXPECT_EQ(sweep.inputs(), lengths.size());
    EXPECT_EQ(lengths.back(), file.bytes.size());
    EXPECT_EQ(sweep.opened() >= 1U, file.opens) << "the whole file is among the prefixes";
}

/// Every byte offset of the writer's structural fields, ascending.
std::vector<std::uint64_t> structuralOffsets(const dmwriter::DmFile::Layout& layout) {
    std::vector<std::uint64_t> offsets;
    for (const auto& [offset, size] : layout.structure) {
        for (std::uint64_t i = 0; i < size; ++i) {
            offsets.push_back(offset + i);
        }
    }
    return offsets;
}

void sweepStructuralBytes(const NamedFile& file) {
    expectBaseline(file);
    const std::vector<std::uint64_t> offsets = structuralOffsets(file.layout);
    Sweep sweep("structural byte changes of " + file.name + " (" + std::to_string(offsets.size()) +
                " structural bytes of " + std::to_string(file.bytes.size()) + ")");
    Bytes changed = file.bytes;
    for (std::uint64_t offset : offsets) {
        const std::uint8_t original = file.bytes[offset];
        std::set<std::uint8_t> values = {0x00, 0xFF, 0x80, 0x7F, static_cast<std::uint8_t>(original + 1)};
        values.erase(original);
        for (std::uint8_t value : values) {
            changed[offset] = value;
            sweep.run(changed, [&] {
                return file.name + ", byte " + std::to_string(offset) + " " + hexByte(original) + " -> " +
                       hexByte(value);
            });
        }
        changed[offset] = original;
    }
    sweep.finish();
    EXPECT_GT(sweep.opened(), 0U);
    EXPECT_GT(sweep.inputs() - sweep.opened(), 0U);
}

void sweepRandomChanges(const NamedFile& file, std::size_t mutants, std::uint64_t seed) {
    expectBaseline(file);
    const std::vector<std::uint64_t> offsets = structuralOffsets(file.layout);
    std::mt19937_64 random(seed);
    Sweep sweep(std::to_string(mutants) + " random multi-byte changes of " + file.name + " (seed " +
                std::to_string(seed) + ")");
    for (std::size_t m = 0; m < mutants; ++m) {
        Bytes changed = file.bytes;
        std::string changes;
        const std::size_t count = 2 + random() % 7;
        for (std::size_t c = 0; c < count; ++c) {
            const std::uint64_t offset = random() % 2 == 0 && !offsets.empty()
                                             ? offsets[random() % offsets.size()]
                                             : random() % file.bytes.size();
            std::uint8_t value = 0;
            switch (random() % 3) {
            case 0:
                value = static_cast<std::uint8_t>(random());
                break;
            case 1:
                value = std::vector<std::uint8_t>{0x00, 0xFF, 0x80, 0x7F}[random() % 4];
                break;
            default:
                value = static_cast<std::uint8_t>(changed[offset] + (random() % 2 == 0 ? 1 : -1));
                break;
            }
            changed[offset] = value;
            changes += (changes.empty() ? "" : ", ") + std::to_string(offset) + "=" + hexByte(value);
        }
        sweep.run(changed, [&] { return file.name + " mutant " + std::to_string(m) + " {" + changes + "}"; });
    }
    sweep.finish();
    EXPECT_EQ(sweep.inputs(), mutants);
}

} // namespace

/// Sweeps each file, the random sweep from consecutive seeds; skips when there are no files (no
/// corpus).
void sweepEach(const std::vector<NamedFile>& files, const std::function<void(const NamedFile&)>& sweep) {
    if (files.empty()) {
        GTEST_SKIP() << "no real files at " << TRESTAN_TEST_CORPUS_DIR;
    }
    for (const NamedFile& file : files) {
        sweep(file);
    }
}

void sweepRandomly(const std::vector<NamedFile>& files, std::size_t mutants, std::uint64_t firstSeed) {
    sweepEach(files, [&](const NamedFile& file) { sweepRandomChanges(file, mutants, firstSeed++); });
}

TEST(HostileSweep, EveryPrefixOfWriterFiles) {
    sweepEach(writerFiles(), sweepPrefixes);
}

TEST(HostileSweep, StructuralByteChangesOfWriterFiles) {
    sweepEach(writerFiles(), sweepStructuralBytes);
}

TEST(HostileSweep, RandomMultiByteChangesOfWriterFiles) {
    sweepRandomly(writerFiles(), 2000, 0x5EED0001);
}

TEST(HostileSweep, RealFiles) {
    sweepEach(smallRealFiles(1), sweepPrefixes);
    sweepRandomly(smallRealFiles(3), 1000, 0x5EED1001);
}
