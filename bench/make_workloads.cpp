// Writes the DM files that bench/compare, bench/lazy-compare and bench/cli-compare time:
//   trestan-bench-workloads pixels FILE MIB   a DM4 file with a float32 stack of MIB x 1 MiB frames
//   trestan-bench-workloads sparse-pixels FILE MIB   the same with its pixels left as a hole (the
//                                                    same tags as `pixels`; bench/cli-compare)
//   trestan-bench-workloads tags FILE COUNT   a DM4 file with COUNT tags of mixed kinds and a small image
//   trestan-bench-workloads scan FILE DX DY SX SY          a DM4 file with a float32 4-D scan: SX x SY
//                                                          positions of DX x DY detector pixels
//   trestan-bench-workloads sparse-scan FILE DX DY SX SY   the same with its pixels left as a hole
// and prints what the file holds as key=value lines.

#include "BenchWorkloads.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A 512 x 512 float32 frame is exactly 1 MiB.
constexpr std::uint32_t FrameSide = 512;

std::uint64_t parseCount(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0) {
        throw std::invalid_argument("not a positive whole number: " + std::string(text));
    }
    return value;
}

int usage() {
    std::cerr << "usage: trestan-bench-workloads pixels|sparse-pixels FILE MIB\n"
                 "       trestan-bench-workloads tags FILE COUNT\n"
                 "       trestan-bench-workloads scan|sparse-scan FILE DX DY SX SY\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view kind = argc > 1 ? argv[1] : "";
    const bool scan = kind == "scan" || kind == "sparse-scan";
    if (argc != (scan ? 7 : 4)) {
        return usage();
    }
    const std::string path = argv[2];
    try {
        const std::uint64_t amount = parseCount(argv[3]);
        bench::WorkloadStats stats;
        dmwriter::DmFile file;
        if (scan) {
            std::vector<std::uint32_t> dimensions;
            for (int i = 3; i < 7; ++i) {
                dimensions.push_back(static_cast<std::uint32_t>(parseCount(argv[i])));
            }
            file = bench::pixelFile(dimensions, dmwriter::Version::Dm4, &stats, kind == "sparse-scan");
        } else if (kind == "pixels" || kind == "sparse-pixels") {
            file = bench::pixelFile({FrameSide, FrameSide, static_cast<std::uint32_t>(amount)},
                                    dmwriter::Version::Dm4, &stats, kind == "sparse-pixels");
        } else if (kind == "tags") {
            file = bench::tagHeavyFile(static_cast<std::size_t>(amount), 64, dmwriter::Version::Dm4, &stats);
        } else {
            return usage();
        }
        file.writeFile(path);
        std::cout << "file=" << path << '\n'
                  << "fileBytes=" << std::filesystem::file_size(path) << '\n'
                  << "tags=" << stats.tags << '\n'
                  << "directories=" << stats.directories << '\n'
                  << "pixelBytes=" << stats.pixelBytes << '\n';
    } catch (const std::exception& error) {
        std::cerr << "trestan-bench-workloads: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
