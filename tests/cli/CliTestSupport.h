#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace trestan::clitest {

using Bytes = std::vector<std::uint8_t>;

/// A fresh directory for the output of one test, removed with everything in it at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    /// `name` inside the directory, as a string.
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& bytes);

/// SHA-256 as 64 lower-case hexadecimal digits.
std::string sha256Hex(const void* data, std::size_t size);
inline std::string sha256Hex(const Bytes& bytes) {
    return sha256Hex(bytes.data(), bytes.size());
}

/// Parses a whole JSON document; the test fails with the text when it is not one.
nlohmann::json parseJson(const std::string& text);

/// An array read back from a .npy file: its header fields and the bytes after the header.
struct NpyArray {
    std::string descr;
    bool fortranOrder = true;
    std::vector<std::size_t> shape;
    std::size_t headerSize = 0;
    Bytes data;
};

/// Reads a NumPy file of format version 1.0; throws std::runtime_error for anything else.
NpyArray readNpy(const std::string& path);

/// Compares a metadata tree printed by `trestan tree --json` with an expected one. Numbers are
/// compared as numbers: float32 values after rounding both to float, everything else exactly.
/// Returns a description of the first difference, with the path of the node, or nothing.
std::optional<std::string> compareTrees(const nlohmann::json& actual, const nlohmann::json& expected);

/// The node reached from `tree` by a path of child names ("GATAN/ImageList"), or nullptr.
const nlohmann::json* findNode(const nlohmann::json& tree, const std::string& path);

/// The real DM files of the shared corpus: directory and manifest.
class Corpus {
public:
    static std::filesystem::path directory();
    static bool available();
    /// manifest.json.
    static const nlohmann::json& manifest();
    /// The file names in the manifest, sorted.
    static std::vector<std::string> fileNames();
};

/// The README's sample file, when it has been generated.
std::optional<std::string> samplePath();

} // namespace trestan::clitest
