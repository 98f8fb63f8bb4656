// Hostile-input sweeps: damaged versions of writer-made files go through the reader as the fuzzer
// runs them, held to the rules of Sweep.h. The writer says where it put the structure and the pixels
// of its files. (Damaged real files are the fuzz smoke run's: it starts from the corpus's files.)
//
//   every prefix:            every cut from 0 to the whole size, except inside pixel arrays, which
//                            the walk skips unread: there only the first and last EdgeCuts lengths
//   structural byte changes: every byte of every structural field set to 00, FF, 80, 7F, value + 1
//   random byte changes:     2 to 8 bytes at once (half in structural fields), from a fixed seed
//   fuzz regressions:        every input of tests/fuzz-regressions/inputs ends as outcomes.txt says

#include "ByteSources.h"
#include "Sweep.h"
#include "WriterSeeds.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace hostile;

namespace {

struct NamedFile {
    std::string name;
    Bytes bytes;
    bool opens; ///< whether the unchanged file opens
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
            const bool opens = seed.name.find("refused") == std::string::npos;
            files.push_back(NamedFile{seed.name, std::move(seed.bytes), opens, std::move(seed.layout)});
        }
    }
    EXPECT_EQ(files.size(), chosen.size());
    return files;
}

std::string hexByte(std::uint8_t value) {
    return "0x" + std::string(1, "0123456789abcdef"[value >> 4]) + "0123456789abcdef"[value & 15];
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
    sweep.finish();
    // The whole file is the last prefix.
    EXPECT_EQ(sweep.opened() >= 1U, file.opens) << file.name;
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
                return file.name + ", byte " + std::to_string(offset) + " -> " + hexByte(value);
            });
        }
        changed[offset] = original;
    }
    sweep.finish();
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
            changes += " " + std::to_string(offset) + "=" + hexByte(value);
        }
        sweep.run(changed, [&] { return file.name + " mutant " + std::to_string(m) + ":" + changes; });
    }
    sweep.finish();
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
