// The mapping's rules on files made with our DM writer: the cases of mappings.txt, tags that are
// missing, thumbnail lists, and spectrum images whose spectrum is not the fastest axis.

#include "trestan/gatan/DmMetadata.h"

#include "GatanTestSupport.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

using dmwriter::Directory;
using dmwriter::DmFile;
using dmwriter::Tag;
using nlohmann::json;

dmwriter::ImageDefinition image(std::vector<std::uint32_t> dimensions,
                                std::vector<dmwriter::AxisCalibration> calibrations = {}) {
    dmwriter::ImageDefinition definition = dmwriter::rampImage(6, std::move(dimensions)); // unsigned 8-bit
    if (!calibrations.empty()) {
        definition.calibrations = std::move(calibrations);
    }
    return definition;
}

// A file whose ImageList holds one entry per definition; returns the entries' "ImageTags".
struct TestFile {
    DmFile file{dmwriter::Version::Dm4};
    std::vector<dmwriter::ImageEntry> images;

    explicit TestFile(const std::vector<dmwriter::ImageDefinition>& definitions) {
        Directory& list = file.root().addDirectory("ImageList");
        for (const dmwriter::ImageDefinition& definition : definitions) {
            images.push_back(dmwriter::addImage(list, definition));
        }
    }
    void listThumbnails(const std::vector<std::uint32_t>& indices) {
        Directory& thumbnails = file.root().addDirectory("Thumbnails");
        for (std::uint32_t index : indices) {
            thumbnails.addDirectory().addTag("ImageIndex", Tag::uint32(index));
        }
    }
    std::vector<trestan::gatan::MappedSignal> signals() {
        return trestan::gatan::mapSignals(*testsupport::openDm(file));
    }
};

TEST(DmMetadata, TagsThatAreMissingLeaveTheirKeysOut) {
    TestFile bare({image({3, 2}, {{0.0F, 0.5F, u"nm"}, {2.0F, 0.25F, u"nm"}})});
    bare.images[0].entry.remove("Name");
    const json signal = bare.signals().at(0).json;
    EXPECT_EQ(signal["General"], json({{"title", ""}}));
    EXPECT_EQ(signal["Sample"], json::object());
    EXPECT_EQ(signal["Acquisition_instrument"], json::object());
    EXPECT_EQ(signal["Signal"], json::parse(R"({"signal_type": "", "quantity": "Intensity",
        "Noise_properties": {"Variance_linear_model": {"gain_factor": 1.0, "gain_offset": 0.0}}})"));
    EXPECT_EQ(signal["shape"], json({2, 3}));
    EXPECT_EQ(signal["axes"], json::parse(R"([
        {"name": "y", "units": "nm", "scale": 0.25, "offset": -0.5, "size": 2, "navigate": false},
        {"name": "x", "units": "nm", "scale": 0.5, "offset": -0.0, "size": 3, "navigate": false}])"));

    // Without calibrations there is neither a quantity nor a noise model.
    dmwriter::ImageDefinition uncalibrated = image({4});
    uncalibrated.withoutCalibrations = true;
    TestFile plain({uncalibrated});
    const json mapped = plain.signals().at(0).json;
    EXPECT_EQ(mapped["Signal"], json({{"signal_type", ""}}));
    EXPECT_EQ(mapped["axes"][0]["scale"], 1.0);
}

TEST(DmMetadata, TheThumbnailListDecidesTheThumbnailsAndTheMainImage) {
    TestFile listed({image({2}), image({3}), image({4})});
    listed.listThumbnails({0, 2, 7}); // 7 names no image and is ignored
    const auto roles = trestan::gatan::frameRoles(*testsupport::openDm(listed.file)->metadata(), 3);
    EXPECT_EQ(roles.thumbnail, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(roles.main, 1U);
    const std::vector<trestan::gatan::MappedSignal> signals = listed.signals();
    ASSERT_EQ(signals.size(), 1U);
    EXPECT_EQ(signals[0].frame, 1U);
    EXPECT_EQ(signals[0].json["shape"], json({3}));

    TestFile unlisted({image({2}), image({3})});
    EXPECT_EQ(trestan::gatan::frameRoles(*testsupport::openDm(unlisted.file)->metadata(), 2).main, 0U);
    EXPECT_EQ(unlisted.signals().size(), 2U);

    TestFile onlyThumbnails({image({2})});
    onlyThumbnails.listThumbnails({0});
    EXPECT_FALSE(trestan::gatan::frameRoles(*testsupport::openDm(onlyThumbnails.file)->metadata(), 1).main);
    EXPECT_TRUE(onlyThumbnails.signals().empty());
}

void describeAs(dmwriter::ImageEntry& entry, const char16_t* signal, const char16_t* format) {
    Directory& meta = entry.imageTags.addDirectory("Meta Data");
    meta.addTag("Format", Tag::string(format));
    meta.addTag("Signal", Tag::string(signal));
}

json axisNamesAndNavigation(const json& axes) {
    json result = json::array();
    for (const json& axis : axes) {
        result.push_back({axis["name"], axis["navigate"], axis["size"]});
    }
    return result;
}

TEST(DmMetadata, SpectrumImagesPutTheSpectrumAxisLast) {
    // GMS stores a 2-D spectrum image as x, y, energy (energy slowest); NumPy order would put the
    // energy first.
    TestFile map({image({4, 3, 10}, {{0.0F, 1.0F, u"nm"}, {0.0F, 1.0F, u"nm"}, {-5.0F, 0.5F, u"eV"}})});
    describeAs(map.images[0], u"EELS", u"Spectrum image");
    const trestan::gatan::MappedSignal mapped = map.signals().at(0);
    EXPECT_EQ(mapped.frameAxes, (std::vector<std::size_t>{1, 0, 2}));
    EXPECT_EQ(mapped.json["shape"], json({3, 4, 10}));
    EXPECT_EQ(axisNamesAndNavigation(mapped.json["axes"]),
              json::parse(R"([["y", true, 3], ["x", true, 4], ["Energy loss", false, 10]])"));
    EXPECT_EQ(mapped.json["axes"][2]["offset"], 2.5);

    // One scan row: the axis of length 1 is dropped.
    TestFile row({image({5, 1, 10}, {{0.0F, 1.0F, u"nm"}, {0.0F, 1.0F, u"nm"}, {0.0F, 1.0F, u"eV"}})});
    describeAs(row.images[0], u"EELS", u"Spectrum image");
    const trestan::gatan::MappedSignal line = row.signals().at(0);
    EXPECT_EQ(line.frameAxes, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(axisNamesAndNavigation(line.json["axes"]),
              json::parse(R"([["x", true, 5], ["Energy loss", false, 10]])"));

    // A 3-axis image that is no spectrum image is a stack of images: one navigation axis.
    TestFile stack({image({4, 3, 2})});
    EXPECT_EQ(axisNamesAndNavigation(stack.signals().at(0).json["axes"]),
              json::parse(R"([["z", true, 2], ["y", false, 3], ["x", false, 4]])"));
}

// mappings.txt: one DM file per case, built from its "tag" and "remove" lines, and the keys its
// image maps to.
class MappingCase {
public:
    explicit MappingCase(std::string title) : m_title(std::move(title)) {}

    const std::string& title() const { return m_title; }

    void shape(const std::string& lengths) {
        m_shape.clear();
        std::istringstream in(lengths);
        for (std::uint32_t length; in >> length;) {
            m_shape.push_back(length);
        }
    }
    void tag(const std::string& path, dmwriter::Tag tag) { m_edits.push_back({path, std::move(tag)}); }
    void remove(const std::string& path) { m_edits.push_back({path, std::nullopt}); }

    // The mapped signal of the case's image (frame 1, after the thumbnail).
    json mapped() const {
        TestFile file({image({2, 2}), image(m_shape)});
        file.listThumbnails({0});
        for (const auto& [path, tag] : m_edits) {
            std::vector<std::string> names = split(path);
            const std::string last = names.back();
            names.pop_back();
            Directory* directory = &file.images[1].entry;
            for (const std::string& name : names) {
                directory = &childDirectory(*directory, name);
            }
            directory->remove(last);
            if (tag) {
                directory->addTag(last, *tag);
            }
        }
        const std::vector<trestan::gatan::MappedSignal> signals = file.signals();
        if (signals.size() != 1 || signals[0].frame != 1) {
            throw std::runtime_error("the case's file maps to other signals than its image");
        }
        return signals[0].json;
    }

private:
    static std::vector<std::string> split(const std::string& path) {
        std::vector<std::string> names;
        std::size_t start = 0;
        for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
            names.push_back(path.substr(start, slash - start));
        }
        names.push_back(path.substr(start));
        return names;
    }

    // The directory `name` of `parent`, made when missing; "#N" is the N-th unnamed entry.
    static Directory& childDirectory(Directory& parent, const std::string& name) {
        const bool unnamed = name.starts_with('#');
        const std::size_t wanted = unnamed ? std::stoul(name.substr(1)) : 0;
        std::size_t seen = 0;
        for (std::size_t i = 0; i < parent.size(); ++i) {
            dmwriter::Entry& entry = parent.entry(i);
            if (entry.isDirectory() &&
                (unnamed ? entry.name.empty() && seen++ == wanted : entry.name == name)) {
                return entry.directory();
            }
        }
        return parent.addDirectory(unnamed ? std::string() : name).flags(1, 0);
    }

    std::string m_title;
    std::vector<std::uint32_t> m_shape{3};
    std::vector<std::pair<std::string, std::optional<dmwriter::Tag>>> m_edits;
};

std::u16string utf16(const std::string& utf8) {
    std::u16string units;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t code = length == 1 ? lead : lead & (0xFFU >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(utf8.at(i + k)) & 0x3FU);
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (code >> 10));
            units += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            units += static_cast<char16_t>(code);
        }
        i += length;
    }
    return units;
}

// A tag as a "tag" line states it: a JSON string, or a type and a value.
dmwriter::Tag tagOf(const std::string& written) {
    if (written.starts_with('"')) {
        return Tag::utf16Array(utf16(json::parse(written).get<std::string>()));
    }
    const std::size_t space = written.find(' ');
    const std::string type = written.substr(0, space);
    const std::string value = written.substr(space + 1);
    if (type == "u8text") {
        std::vector<std::uint8_t> bytes;
        for (const char16_t unit : utf16(json::parse(value).get<std::string>())) {
            bytes.push_back(static_cast<std::uint8_t>(unit));
        }
        return Tag::array(dmwriter::ElementType::UInt8, std::span<const std::uint8_t>(bytes));
    }
    if (type == "string") {
        return Tag::string(utf16(json::parse(value).get<std::string>()));
    }
    if (type == "bool") {
        return Tag::boolean(value == "true");
    }
    const double number = std::stod(value);
    if (type == "f64") {
        return Tag::float64(number);
    }
    if (type == "f32") {
        return Tag::float32(static_cast<float>(number));
    }
    if (type == "i32") {
        return Tag::int32(static_cast<std::int32_t>(number));
    }
    if (type == "u32") {
        return Tag::uint32(static_cast<std::uint32_t>(number));
    }
    if (type == "i16") {
        return Tag::int16(static_cast<std::int16_t>(number));
    }
    if (type == "u16") {
        return Tag::uint16(static_cast<std::uint16_t>(number));
    }
    if (type == "i8") {
        return Tag::int8(static_cast<std::int8_t>(number));
    }
    if (type == "u8") {
        return Tag::uint8(static_cast<std::uint8_t>(number));
    }
    throw std::invalid_argument("no tag type \"" + type + "\"");
}

// The value at a key path ("General.title"); empty when a key is missing.
std::optional<json> valueAt(const json& signal, const std::string& path) {
    const json* node = &signal;
    std::size_t start = 0;
    for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
        end = path.find('.', start);
        const std::string key =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!node->is_object() || !node->contains(key)) {
            return std::nullopt;
        }
        node = &(*node)[key];
    }
    return *node;
}

// The same JSON, numbers of the same kind (integer or float), floats to a relative 1e-12.
bool sameJson(const json& actual, const json& expected) {
    if (expected.is_number_float() || actual.is_number_float()) {
        if (!expected.is_number_float() || !actual.is_number_float()) {
            return false;
        }
        const double a = actual.get<double>();
        const double e = expected.get<double>();
        return a == e || std::abs(a - e) <= 1e-12 * std::max(std::abs(a), std::abs(e));
    }
    if (expected.is_number_integer() && actual.is_number_integer()) {
        return actual.get<std::int64_t>() == expected.get<std::int64_t>();
    }
    if (expected.is_object() && actual.is_object()) {
        if (expected.size() != actual.size()) {
            return false;
        }
        for (const auto& [key, value] : expected.items()) {
            if (!actual.contains(key) || !sameJson(actual[key], value)) {
                return false;
            }
        }
        return true;
    }
    if (expected.is_array() && actual.is_array()) {
        if (expected.size() != actual.size()) {
            return false;
        }
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (!sameJson(actual[i], expected[i])) {
                return false;
            }
        }
        return true;
    }
    return actual == expected;
}

TEST(DmMetadata, EveryRuleOfTheMappingTable) {
    std::ifstream table(std::string(TRESTAN_TEST_SOURCE_DIR) + "/tests/metadata/mappings.txt");
    ASSERT_TRUE(table.is_open());
    std::optional<MappingCase> current;
    std::optional<json> mapped;
    std::size_t cases = 0;
    std::size_t expectations = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t space = line.find(' ');
        const std::string keyword = line.substr(0, space);
        std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (keyword == "case") {
            current.emplace(rest);
            mapped.reset();
            ++cases;
            continue;
        }
        ASSERT_TRUE(current) << "before the first case: " << line;
        if (keyword == "shape") {
            current->shape(rest);
        } else if (keyword == "tag") {
            const std::size_t equals = rest.find(" = ");
            ASSERT_NE(equals, std::string::npos) << line;
            current->tag(rest.substr(0, equals), tagOf(rest.substr(equals + 3)));
        } else if (keyword == "remove") {
            current->remove(rest);
        } else if (keyword == "axes") {
            // Each axis as [name, navigate, size]; what HyperSpy gives instead is for
            // check_with_hyperspy.py.
            rest = rest.substr(0, rest.find(" | hyperspy "));
            if (!mapped) {
                mapped = current->mapped();
            }
            json axes = json::array();
            for (const json& axis : (*mapped)["axes"]) {
                axes.push_back({axis.value("name", json()), axis["navigate"], axis["size"]});
            }
            EXPECT_EQ(axes, json::parse(rest)) << current->title();
            ++expectations;
        } else if (keyword == "expect") {
            // What HyperSpy maps instead is for check_with_hyperspy.py.
            rest = rest.substr(0, rest.find(" | hyperspy "));
            if (!mapped) {
                mapped = current->mapped();
            }
            const std::size_t equals = rest.find(" = ");
            const std::string key = rest.substr(0, equals == std::string::npos ? rest.find(' ') : equals);
            const std::optional<json> actual = valueAt(*mapped, key);
            if (equals == std::string::npos) {
                ASSERT_EQ(rest.substr(key.size()), " -") << line;
                EXPECT_FALSE(actual) << current->title() << ": " << key << " is " << actual->dump();
            } else {
                const json expected = json::parse(rest.substr(equals + 3));
                EXPECT_TRUE(actual && sameJson(*actual, expected))
                    << current->title() << ": " << key << " is " << (actual ? actual->dump() : "missing")
                    << ", not " << expected.dump();
            }
            ++expectations;
        } else {
            FAIL() << "unknown line: " << line;
        }
    }
    EXPECT_GT(cases, 60U);
    EXPECT_GT(expectations, cases);
}

} // namespace
