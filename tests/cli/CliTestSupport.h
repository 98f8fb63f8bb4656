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
/// Returns the differences as a JSON patch, or nothing.
std::optional<std::string> compareTrees(const nlohmann::json& actual, const nlohmann::json& expected);

/// What one run of a program left behind.
struct ProcessResult {
    int exitCode = -1; ///< the exit status, or 128 + signal number when a signal ended the process
    std::string out;
    std::string err;
};

/// Runs `program` with `arguments` (not including argv[0]) and collects standard output, standard
/// error and the exit status. Standard input is /dev/null.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments);

/// The freshly built trestan binary.
std::string trestanPath();

/// Runs the freshly built trestan.
inline ProcessResult runTrestan(const std::vector<std::string>& arguments) {
    return runProcess(trestanPath(), arguments);
}

} // namespace trestan::clitest
