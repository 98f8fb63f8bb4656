#include "CliTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace trestan::clitest {

ScratchDirectory::ScratchDirectory() {
    static std::atomic<int> s_counter{0};
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "scratch";
    std::replace(name.begin(), name.end(), '/', '_');
    m_path = std::filesystem::temp_directory_path() /
             ("trestan-cli-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + "-" + name);
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sha256Hex(const void* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_Digest(data, size, digest, &digestSize, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("EVP_Digest failed");
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < digestSize; ++i) {
        text.push_back(Hex[digest[i] >> 4]);
        text.push_back(Hex[digest[i] & 0x0F]);
    }
    return text;
}

nlohmann::json parseJson(const std::string& text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        ADD_FAILURE() << "not one JSON document (" << error.what() << "):\n" << text.substr(0, 2000);
        return nullptr;
    }
}

NpyArray readNpy(const std::string& path) {
    const Bytes file = readFile(path);
    if (file.size() < 10 ||
        std::string(file.begin(), file.begin() + 8) != std::string("\x93NUMPY\x01\x00", 8)) {
        throw std::runtime_error(path + " is not a NumPy file of format version 1.0");
    }
    NpyArray array;
    array.headerSize = 10 + (file[8] | (static_cast<std::size_t>(file[9]) << 8));
    if (file.size() < array.headerSize || file[array.headerSize - 1] != '\n') {
        throw std::runtime_error(path + " has no header ending in a newline");
    }
    // The header is a Python dictionary literal; made JSON, nlohmann parses it and refuses any other
    // text.
    const std::string header(file.begin() + 10, file.begin() + static_cast<std::ptrdiff_t>(array.headerSize));
    std::string text;
    for (std::size_t i = 0; i < header.size(); ++i) {
        const char c = header[i];
        if (c == ',') {
            // A trailing comma, as in "(3,)" or "{...,}", has no place in JSON.
            const std::size_t next = header.find_first_not_of(" \t\n", i + 1);
            if (next != std::string::npos && (header[next] == ')' || header[next] == '}')) {
                continue;
            }
        }
        if (header.compare(i, 5, "False") == 0 || header.compare(i, 4, "True") == 0) {
            const bool value = header[i] == 'T';
            text += value ? "true" : "false";
            i += value ? 3 : 4;
            continue;
        }
        text += c == '\'' ? '"' : c == '(' ? '[' : c == ')' ? ']' : c;
    }
    const nlohmann::json fields = nlohmann::json::parse(text);
    array.descr = fields.at("descr");
    array.fortranOrder = fields.at("fortran_order");
    array.shape = fields.at("shape").get<std::vector<std::size_t>>();
    array.data.assign(file.begin() + static_cast<std::ptrdiff_t>(array.headerSize), file.end());
    return array;
}

namespace {

// Numbers as exact text: float32 values rounded to float, other floating-point numbers as they are,
// in hexadecimal so that the sign of zero counts. Integers stay integers and never equal a float.
nlohmann::json exactNumbers(const nlohmann::json& data, bool float32) {
    if (data.is_array()) {
        nlohmann::json items = nlohmann::json::array();
        for (const nlohmann::json& item : data) {
            items.push_back(exactNumbers(item, float32));
        }
        return items;
    }
    if (data.is_number_float() || (float32 && data.is_number())) {
        const double value = float32 ? static_cast<float>(data.get<double>()) : data.get<double>();
        char text[64];
        std::snprintf(text, sizeof text, "%a", value);
        return text;
    }
    return data;
}

nlohmann::json exactTree(nlohmann::json node) {
    if (node.is_object() && node.contains("value") && node["value"].is_object()) {
        nlohmann::json& value = node["value"];
        value["data"] = exactNumbers(value["data"], value["type"] == "float32");
    }
    if (node.is_object() && node.contains("children") && node["children"].is_array()) {
        for (nlohmann::json& child : node["children"]) {
            child = exactTree(child);
        }
    }
    return node;
}

} // namespace

std::optional<std::string> compareTrees(const nlohmann::json& actual, const nlohmann::json& expected) {
    const nlohmann::json patch = nlohmann::json::diff(exactTree(actual), exactTree(expected));
    if (patch.empty()) {
        return std::nullopt;
    }
    return "the patch from the actual to the expected tree: " + patch.dump().substr(0, 2000);
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments) {
    // Standard output and error go to files of a scratch directory, read once the child has ended.
    const ScratchDirectory scratch;
    const std::string outPath = scratch.file("out");
    const std::string errPath = scratch.file("err");
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        }
    }
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const Bytes out = readFile(outPath);
    const Bytes err = readFile(errPath);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

std::string trestanPath() {
    return std::string(TRESTAN_TEST_BINARY_DIR) + "/trestan";
}

} // namespace trestan::clitest
