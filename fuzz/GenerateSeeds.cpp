// gatan_fuzz_seed_writer DIR: writes the writer-made seed files (support/WriterSeeds.h) into DIR.

#include "WriterSeeds.h"

#include <filesystem>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIR\n";
        return 2;
    }
    const std::filesystem::path directory(argv[1]);
    std::filesystem::create_directories(directory);
    const auto seeds = gatanfuzz::writerSeeds();
    for (const auto& seed : seeds) {
        std::ofstream out(directory / seed.name, std::ios::binary);
        if (!out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                       static_cast<std::streamsize>(seed.bytes.size()))) {
            std::cerr << argv[0] << ": cannot write " << (directory / seed.name).string() << "\n";
            return 1;
        }
    }
    std::cout << "wrote " << seeds.size() << " seed files to " << directory.string() << "\n";
    return 0;
}
