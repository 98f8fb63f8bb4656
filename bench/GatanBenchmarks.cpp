// Micro-benchmarks of the Gatan reader, on files built with the DM writer:
//   TagWalk/<version>/<tags>       opening a tag-heavy file held in memory (tags and nodes per second,
//                                  and the memory of the tree per tag and per node)
//   PixelLoad/<source>/<MiB>       opening a file with one float32 stack, from memory and from a
//                                  file in the page cache, against reading the same file whole
//                                  into malloc and into huge-page memory (bytes per second). In one
//                                  process malloc hands the block it freed back to the next
//                                  iteration, already faulted in, while the plugin's buffer and
//                                  the huge-page baseline map fresh memory every time: bench/compare
//                                  measures fresh processes, where every program pays for its pages.
//   ReadRegion/<shape>, Memcpy/<shape>
//                                  readRegion of a loaded frame against one memcpy of the same size
//
// Files written to disk go to $TRESTAN_BENCH_TMPDIR (default: the system's temporary directory) and
// are removed at exit. Run by hand, e.g. `trestan-bench --benchmark_filter=TagWalk`.

#include "BenchWorkloads.h"
#include "GatanExtractor.h"
#include "InternalPluginLogger.h"
#include "WholeFileRead.h"
#include "trestan/OptionMap.h"
#include "velmora/ImageView.h"
#include "velmora/MetadataArena.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A float32 frame of this side is 16 MiB; pixel files are stacks of such frames.
constexpr std::uint32_t FrameSide = 2048;
constexpr std::uint64_t FrameBytes = std::uint64_t{FrameSide} * FrameSide * sizeof(float);

// Both open as the plugin's open does: the metadata of one file in an arena of its own. The arena's
// footprint goes to `treeBytes` when asked for.
std::shared_ptr<velmora::MultiImageView> openBytes(const Bytes& bytes, std::size_t* treeBytes = nullptr) {
    const velmora::MetadataArena::Scope metadataMemory;
    auto view = std::make_shared<GatanExtractor>(
        velmora::StreamAccessFactory::fromMemory(bytes.data(), bytes.size()), "DM", trestan::OptionMap{});
    if (treeBytes != nullptr) {
        *treeBytes = velmora::MetadataArena::current()->footprint();
    }
    return view;
}

std::shared_ptr<velmora::MultiImageView> openPath(const std::string& path) {
    const velmora::MetadataArena::Scope metadataMemory;
    return std::make_shared<GatanExtractor>(path, "DM", trestan::OptionMap{});
}

// Files are built once per process and kept for every benchmark that uses them.
struct TagFile {
    Bytes bytes;
    bench::WorkloadStats stats;
    std::size_t nodes = 0;
    std::size_t treeBytes = 0; ///< memory of the tag tree
};

const TagFile& tagFile(dmwriter::Version version, std::size_t tags) {
    static std::map<std::pair<dmwriter::Version, std::size_t>, TagFile> s_files;
    auto [at, added] = s_files.try_emplace({version, tags});
    if (added) {
        TagFile& file = at->second;
        file.bytes = bench::tagHeavyFile(tags, 64, version, &file.stats).toBytes();
        file.nodes =
            velmora::MetadataNodeHelper::countNodes(*openBytes(file.bytes, &file.treeBytes)->metadata());
    }
    return at->second;
}

const Bytes& pixelFileBytes(std::uint32_t frames) {
    static std::map<std::uint32_t, Bytes> s_files;
    auto [at, added] = s_files.try_emplace(frames);
    if (added) {
        at->second = bench::pixelFile({FrameSide, FrameSide, frames}).toBytes();
    }
    return at->second;
}

class TemporaryFiles {
public:
    ~TemporaryFiles() {
        for (const std::string& path : m_paths) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    }

    const std::string& pixelFile(std::uint32_t frames) {
        auto [at, added] = m_byFrames.try_emplace(frames);
        if (added) {
            const char* directory = std::getenv("TRESTAN_BENCH_TMPDIR");
            const std::filesystem::path base = directory != nullptr ? std::filesystem::path(directory)
                                                                    : std::filesystem::temp_directory_path();
            at->second = (base / ("trestan-bench-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(frames) + ".dm4"))
                             .string();
            m_paths.push_back(at->second);
            bench::pixelFile({FrameSide, FrameSide, frames}).writeFile(at->second);
        }
        return at->second;
    }

private:
    std::map<std::uint32_t, std::string> m_byFrames;
    std::vector<std::string> m_paths;
};

TemporaryFiles& temporaryFiles() {
    static TemporaryFiles s_files;
    return s_files;
}

void tagWalk(benchmark::State& state, dmwriter::Version version) {
    const TagFile& file = tagFile(version, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto view = openBytes(file.bytes);
        benchmark::DoNotOptimize(view->metadata().get());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * file.stats.tags));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.bytes.size()));
    state.counters["tags"] = static_cast<double>(file.stats.tags);
    state.counters["nodes"] = static_cast<double>(file.nodes);
    state.counters["nodes/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * file.nodes), benchmark::Counter::kIsRate);
    state.counters["bytes/tag"] = static_cast<double>(file.treeBytes) / static_cast<double>(file.stats.tags);
    state.counters["bytes/node"] = static_cast<double>(file.treeBytes) / static_cast<double>(file.nodes);
}

void pixelLoadMemory(benchmark::State& state) {
    const auto frames = static_cast<std::uint32_t>(state.range(0) * (1 << 20) / FrameBytes);
    const Bytes& bytes = pixelFileBytes(frames);
    for (auto _ : state) {
        auto view = openBytes(bytes);
        benchmark::DoNotOptimize(view->frame(0).get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * FrameBytes));
}

void pixelLoadFile(benchmark::State& state) {
    const auto frames = static_cast<std::uint32_t>(state.range(0) * (1 << 20) / FrameBytes);
    const std::string& path = temporaryFiles().pixelFile(frames);
    bench::readWholeFile(path, bench::Memory::Malloc); // into the page cache
    for (auto _ : state) {
        auto view = openPath(path);
        benchmark::DoNotOptimize(view->frame(0).get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * FrameBytes));
}

void readWholeFile(benchmark::State& state, bench::Memory memory) {
    const auto frames = static_cast<std::uint32_t>(state.range(0) * (1 << 20) / FrameBytes);
    const std::string& path = temporaryFiles().pixelFile(frames);
    bench::readWholeFile(path, bench::Memory::Malloc);
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        bytes += bench::readWholeFile(path, memory);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// One loaded 2048 x 2048 float32 image for the region reads.
std::shared_ptr<velmora::ImageView> regionFrame() {
    static const Bytes s_file = bench::pixelFile({FrameSide, FrameSide}).toBytes();
    static const std::shared_ptr<velmora::MultiImageView> s_view = openBytes(s_file);
    return s_view->frame(0);
}

struct RegionCase {
    const char* name;
    velmora::RegionX<std::size_t> region;
};

std::vector<RegionCase> regionCases() {
    using Vector = velmora::VectorX<std::size_t>;
    return {
        {"whole", velmora::RegionX<std::size_t>(Vector{0, 0}, Vector{FrameSide, FrameSide})},
        {"rows", velmora::RegionX<std::size_t>(Vector{512, 0}, Vector{1024, FrameSide})},
        {"tile", velmora::RegionX<std::size_t>(Vector{1000, 1000}, Vector{64, 64})},
        {"column", velmora::RegionX<std::size_t>(Vector{7, 0}, Vector{1, FrameSide})},
    };
}

void readRegion(benchmark::State& state, const velmora::RegionX<std::size_t>& region) {
    const auto frame = regionFrame();
    const std::size_t bytes = region.elementCount() * sizeof(float);
    Bytes destination(bytes, 1); // touched before the loop: no page faults inside it
    for (auto _ : state) {
        frame->readRegion(region, destination.data());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void memcpyOfRegionSize(benchmark::State& state, const velmora::RegionX<std::size_t>& region) {
    const auto frame = regionFrame();
    const std::size_t bytes = region.elementCount() * sizeof(float);
    Bytes source(bytes);
    frame->readRegion(region, source.data());
    Bytes destination(bytes, 1);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void registerBenchmarks() {
    for (const std::int64_t tags : {20'000, 250'000}) {
        benchmark::RegisterBenchmark("TagWalk/dm4", tagWalk, dmwriter::Version::Dm4)
            ->Arg(tags)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("TagWalk/dm3", tagWalk, dmwriter::Version::Dm3)
            ->Arg(tags)
            ->Unit(benchmark::kMillisecond);
    }
    for (const std::int64_t mebibytes : {16, 256}) {
        benchmark::RegisterBenchmark("PixelLoad/memory", pixelLoadMemory)
            ->Arg(mebibytes)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("PixelLoad/file", pixelLoadFile)
            ->Arg(mebibytes)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("ReadWholeFile/malloc", readWholeFile, bench::Memory::Malloc)
            ->Arg(mebibytes)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("ReadWholeFile/hugepage", readWholeFile, bench::Memory::HugePages)
            ->Arg(mebibytes)
            ->Unit(benchmark::kMillisecond);
    }
    for (const RegionCase& entry : regionCases()) {
        benchmark::RegisterBenchmark((std::string("ReadRegion/") + entry.name).c_str(), readRegion,
                                     entry.region);
        benchmark::RegisterBenchmark((std::string("Memcpy/") + entry.name).c_str(), memcpyOfRegionSize,
                                     entry.region);
    }
}

} // namespace

int main(int argc, char** argv) {
    // The level the trestan command sets by default: the walk's debug messages are below it.
    InternalPluginLogger::init(GatanExtractor::PluginName, velmora::LogLevel::Warning);
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
