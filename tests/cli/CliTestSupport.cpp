#include "CliTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
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

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
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

namespace {

// The text of `key`'s value in a NumPy header dictionary such as
// "{'descr': '<u2', 'fortran_order': False, 'shape': (3, 4), }".
std::string headerField(const std::string& header, const std::string& key) {
    const std::string quotedKey = "'" + key + "':";
    const std::size_t at = header.find(quotedKey);
    if (at == std::string::npos) {
        throw std::runtime_error("npy header lacks " + key + ": " + header);
    }
    std::size_t start = at + quotedKey.size();
    while (start < header.size() && header[start] == ' ') {
        ++start;
    }
    std::size_t end = start;
    if (header[start] == '(') {
        end = header.find(')', start) + 1;
    } else if (header[start] == '\'') {
        end = header.find('\'', start + 1) + 1;
    } else {
        end = header.find_first_of(",}", start);
    }
    return header.substr(start, end - start);
}

} // namespace

NpyArray readNpy(const std::string& path) {
    const Bytes file = readFile(path);
    static const std::string Magic = "\x93NUMPY";
    if (file.size() < 10 || std::string(file.begin(), file.begin() + 6) != Magic) {
        throw std::runtime_error(path + " does not start with the NumPy magic string");
    }
    if (file[6] != 1 || file[7] != 0) {
        throw std::runtime_error(path + " is not NumPy format version 1.0");
    }
    const std::size_t headerLength = file[8] | (static_cast<std::size_t>(file[9]) << 8);
    NpyArray array;
    array.headerSize = 10 + headerLength;
    if (file.size() < array.headerSize) {
        throw std::runtime_error(path + " ends inside its header");
    }
    const std::string header(file.begin() + 10, file.begin() + static_cast<std::ptrdiff_t>(array.headerSize));
    if (header.empty() || header.back() != '\n') {
        throw std::runtime_error("npy header does not end with a newline: " + header);
    }
    const std::string descr = headerField(header, "descr");
    array.descr = descr.substr(1, descr.size() - 2);
    const std::string fortran = headerField(header, "fortran_order");
    if (fortran != "False" && fortran != "True") {
        throw std::runtime_error("npy fortran_order is neither True nor False: " + fortran);
    }
    array.fortranOrder = fortran == "True";
    std::string shape = headerField(header, "shape");
    shape = shape.substr(1, shape.size() - 2);
    std::stringstream items(shape);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.find_first_not_of(' ') != std::string::npos) {
            array.shape.push_back(static_cast<std::size_t>(std::stoull(item)));
        }
    }
    array.data.assign(file.begin() + static_cast<std::ptrdiff_t>(array.headerSize), file.end());
    return array;
}

namespace {

std::optional<std::string> compareData(const nlohmann::json& actual, const nlohmann::json& expected,
                                       bool float32, const std::string& where) {
    if (expected.is_array()) {
        if (!actual.is_array() || actual.size() != expected.size()) {
            return where + ": expected " + expected.dump().substr(0, 200) + ", got " +
                   actual.dump().substr(0, 200);
        }
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (auto difference =
                    compareData(actual[i], expected[i], float32, where + "[" + std::to_string(i) + "]")) {
                return difference;
            }
        }
        return std::nullopt;
    }
    if (expected.is_number_float() || (float32 && expected.is_number())) {
        if (!actual.is_number()) {
            return where + ": expected " + expected.dump() + ", got " + actual.dump();
        }
        const double a = actual.get<double>();
        const double e = expected.get<double>();
        const bool same = float32 ? static_cast<float>(a) == static_cast<float>(e) : a == e;
        // The sign of zero is data too (-0.0 is stored in real files).
        if (!same || std::signbit(a) != std::signbit(e)) {
            return where + ": expected " + expected.dump() + ", got " + actual.dump();
        }
        return std::nullopt;
    }
    if (actual != expected || expected.is_number_integer() != actual.is_number_integer()) {
        return where + ": expected " + expected.dump().substr(0, 200) + ", got " +
               actual.dump().substr(0, 200);
    }
    return std::nullopt;
}

std::optional<std::string> compareNode(const nlohmann::json& actual, const nlohmann::json& expected,
                                       const std::string& parentPath) {
    if (!actual.is_object() || !expected.is_object()) {
        return parentPath + ": a node is not a JSON object";
    }
    const std::string path = parentPath + "/" + expected.value("name", std::string("?"));
    for (const auto& [key, value] : actual.items()) {
        if (!expected.contains(key)) {
            return path + ": unexpected member \"" + key + "\"";
        }
    }
    for (const auto& [key, value] : expected.items()) {
        if (!actual.contains(key)) {
            return path + ": missing member \"" + key + "\"";
        }
    }
    if (actual["name"] != expected["name"]) {
        return parentPath + ": expected node " + expected["name"].dump() + ", got " + actual["name"].dump();
    }
    if (expected.contains("value")) {
        const nlohmann::json& a = actual["value"];
        const nlohmann::json& e = expected["value"];
        if (!a.is_object() || a.size() != 2 || !a.contains("type") || !a.contains("data")) {
            return path + ": value is not {\"type\", \"data\"}: " + a.dump().substr(0, 200);
        }
        if (a["type"] != e["type"]) {
            return path + ": expected type " + e["type"].dump() + ", got " + a["type"].dump();
        }
        if (auto difference = compareData(a["data"], e["data"], e["type"] == "float32", path)) {
            return difference;
        }
    }
    if (expected.contains("children")) {
        const nlohmann::json& a = actual["children"];
        const nlohmann::json& e = expected["children"];
        if (!a.is_array() || a.size() != e.size()) {
            return path + ": expected " + std::to_string(e.size()) + " children, got " +
                   std::to_string(a.is_array() ? a.size() : 0);
        }
        for (std::size_t i = 0; i < e.size(); ++i) {
            if (auto difference = compareNode(a[i], e[i], path)) {
                return difference;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> compareTrees(const nlohmann::json& actual, const nlohmann::json& expected) {
    return compareNode(actual, expected, "");
}

const nlohmann::json* findNode(const nlohmann::json& tree, const std::string& path) {
    const nlohmann::json* node = &tree;
    std::stringstream steps(path);
    std::string step;
    while (std::getline(steps, step, '/')) {
        if (!node->contains("children")) {
            return nullptr;
        }
        const nlohmann::json* next = nullptr;
        for (const nlohmann::json& child : (*node)["children"]) {
            if (child.value("name", std::string()) == step) {
                next = &child;
                break;
            }
        }
        if (next == nullptr) {
            return nullptr;
        }
        node = next;
    }
    return node;
}

std::filesystem::path Corpus::directory() {
    return std::filesystem::path(TRESTAN_TEST_CORPUS_DIR);
}

bool Corpus::available() {
    return std::filesystem::is_regular_file(directory() / "manifest.json");
}

const nlohmann::json& Corpus::manifest() {
    static const nlohmann::json s_manifest = [] {
        const Bytes bytes = readFile((directory() / "manifest.json").string());
        return nlohmann::json::parse(bytes.begin(), bytes.end());
    }();
    return s_manifest;
}

std::vector<std::string> Corpus::fileNames() {
    std::vector<std::string> names;
    for (const auto& [name, entry] : manifest().items()) {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ProcessResult::errLines() const {
    std::vector<std::string> lines;
    std::stringstream in(err);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
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

dmwriter::ImageDefinition dmImage(std::int32_t dataType, std::vector<std::uint32_t> dimensions,
                                  dmwriter::Bytes pixels) {
    dmwriter::ImageDefinition image;
    image.dataType = dataType;
    image.dimensions = std::move(dimensions);
    image.pixels = std::move(pixels);
    return image;
}

void writeDmFile(const std::string& path, const std::vector<dmwriter::ImageDefinition>& images,
                 dmwriter::Version version, std::optional<std::uint32_t> versionWord) {
    dmwriter::DmFile file(version);
    file.dmFraming();
    if (versionWord) {
        file.versionWord(*versionWord);
    }
    file.root().flags(1, 0);
    file.root().addTag("HasWindowPosition", dmwriter::Tag::boolean(false));
    dmwriter::Directory& imageList = file.root().addDirectory("ImageList");
    for (const dmwriter::ImageDefinition& image : images) {
        dmwriter::addImage(imageList, image);
    }
    file.writeFile(path);
}

} // namespace trestan::clitest
