// The baselines of bench/compare: each file read whole into freshly allocated memory and released
// before the next one. Nothing is decoded; any reader of the same bytes pays at least this.
//
//   trestan-bench-read malloc FILE...     memory from malloc (4 KiB pages: one fault per page)
//   trestan-bench-read hugepage FILE...   2 MiB-aligned memory advised for transparent huge pages
//                                         (files from 4 MiB on; smaller ones from malloc)
//
// Prints one summary line as key=value pairs; exits with 1 when a file could not be read.

#include "WholeFileRead.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (argc < 3 || (mode != "malloc" && mode != "hugepage")) {
        std::cerr << "usage: trestan-bench-read malloc|hugepage FILE...\n";
        return 2;
    }
    const bench::Memory memory = mode == "hugepage" ? bench::Memory::HugePages : bench::Memory::Malloc;
    std::uint64_t total = 0;
    int read = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 2; i < argc; ++i) {
        try {
            total += bench::readWholeFile(argv[i], memory);
            ++read;
        } catch (const std::exception& error) {
            std::cerr << "trestan-bench-read: " << error.what() << '\n';
        }
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::cout << "files=" << argc - 2 << " read=" << read << " bytes=" << total
              << " readSeconds=" << seconds.count() << '\n';
    return read == argc - 2 ? 0 : 1;
}
