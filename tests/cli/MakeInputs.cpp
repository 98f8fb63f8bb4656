// Writes the DM files that the command-line cases (cases.txt) run on into the directory given.

#include "dmwriter/DmImage.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <numeric>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace dmwriter;

namespace {

template <typename T> Bytes bytesOf(const std::vector<T>& values) {
    return littleEndian(std::span<const T>(values));
}

ImageDefinition image(std::int32_t dataType, std::vector<std::uint32_t> dimensions, Bytes pixels,
                      std::vector<AxisCalibration> calibrations) {
    ImageDefinition image = rampImage(dataType, std::move(dimensions));
    image.pixels = std::move(pixels);
    image.calibrations = std::move(calibrations);
    return image;
}

// Framed as DM frames its files.
void write(const std::filesystem::path& path, DmFile file) {
    file.dmFraming();
    file.writeFile(path.string());
}

// Every rule of the JSON and text trees: float forms, non-finite numbers, long arrays and texts, an
// array of groups, a name that is not UTF-8 and unnamed entries.
DmFile tagFile() {
    DmFile file(Version::Dm4);
    file.root().addDirectory("ImageList");
    Directory& values = file.root().addDirectory("Values");
    values.addTag("Float32", Tag::float32(0.001F));
    values.addTag("Float64", Tag::float64(0.1));
    values.addTag("Tiny", Tag::float64(1.5e-300));
    values.addTag("NotANumber", Tag::float32(std::numeric_limits<float>::quiet_NaN()));
    values.addTag("Infinite", Tag::float64(-std::numeric_limits<double>::infinity()));
    values.addTag("Int64", Tag::int64(-9007199254740993LL));
    values.addTag("Pair", Tag::array<std::int16_t>(ElementType::Int16, {-3, 4}));
    values.addTag("Empty", Tag::array(code(ElementType::UInt32), 0, {}));
    std::vector<std::int32_t> counting(1000);
    std::iota(counting.begin(), counting.end(), 0);
    values.addTag("Ramp", Tag::array(ElementType::Int32, std::span<const std::int32_t>(counting)));
    values.addTag("Pairs", Tag::groupArray(
                               {code(ElementType::Int16), code(ElementType::Int16)}, 10,
                               bytesOf(std::vector<std::int16_t>(counting.begin(), counting.begin() + 20))));
    values.addTag("Text", Tag::utf16Array(u"5\u00B5m grid"));
    values.addTag("LongText", Tag::utf16Array(std::u16string(300, u'a')));
    values.addTag("\xB5m", Tag::int32(1)); // Latin-1, as old files name tags
    values.addDirectory().addTag(Tag::int32(5));
    return file;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::filesystem::create_directories(directory);

    const std::vector<std::uint16_t> counts = {7,    1007, 2007, 3007, 4007,  5007,
                                               6007, 7007, 8007, 9007, 10007, 11007};
    const std::vector<ImageDefinition> calibrated = {
        image(10, {4, 3}, bytesOf(counts), {{1.5F, 0.25F, u"nm"}, {-2.0F, 0.5F, u"nm"}}),
        image(2, {5}, bytesOf(std::vector<float>{0.5F, -1.25F, 3.0F, 1e-3F, 2.0F}),
              {{100.0F, 0.125F, u"eV"}})};
    write(directory / "two.dm4", imageFile(calibrated));
    write(directory / "IMAGE.DM4", imageFile(calibrated));
    write(directory / "image.xyz", imageFile(calibrated));

    // Every image data type the reader serves, as a stack of two 4 x 3 slices.
    for (std::int32_t code : {1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 13, 14, 23}) {
        write(directory / ("type" + std::to_string(code) + ".dm3"),
              imageFile({rampImage(code, {4, 3, 2})}, Version::Dm3));
    }
    // The default export is the main image: the first frame the file does not list as a thumbnail,
    // here the third (the second has the most bytes).
    DmFile three = imageFile({rampImage(6, {2, 2}), rampImage(2, {3, 3}), rampImage(10, {4, 4})});
    Directory& thumbnails = three.root().addDirectory("Thumbnails");
    for (std::int32_t index : {0, 1}) {
        thumbnails.addDirectory().addTag("ImageIndex", Tag::int32(index));
    }
    write(directory / "three.dm4", std::move(three));
    // scan walks directories for DM names in any case, and reports a damaged file in its place.
    const std::filesystem::path scan = directory / "scan";
    std::filesystem::create_directories(scan / "sub");
    write(scan / "a.dm4", imageFile({image(10, {4, 3}, bytesOf(counts), {})}));
    write(scan / "sub" / "b.DM3",
          imageFile({image(2, {5}, bytesOf(std::vector<float>(5, 1.5F)), {})}, Version::Dm3));
    write(scan / "c.txt", imageFile({rampImage(6, {2})}));
    std::filesystem::copy_file(scan / "a.dm4", scan / "d.dm4");
    std::filesystem::resize_file(scan / "d.dm4", std::filesystem::file_size(scan / "a.dm4") / 2);
    // Slices 2 nm apart, in a TIFF's description as micrometres.
    std::vector<float> stack(24);
    for (std::size_t i = 0; i < stack.size(); ++i) {
        stack[i] = static_cast<float>(i) * 0.5F - 3.0F;
    }
    write(directory / "stack.dm4",
          imageFile({image(2, {4, 3, 2}, bytesOf(stack),
                           {{0.0F, 0.5F, u"nm"}, {0.0F, 0.5F, u"nm"}, {0.0F, 2.0F, u"nm"}})}));
    // A ramp with one hot pixel, which a PNG preview's scaling ignores.
    std::vector<float> hot(200);
    std::iota(hot.begin(), hot.end(), 0.0F);
    hot[37] = 1e6F;
    write(directory / "hot.dm4", imageFile({image(2, {20, 10}, bytesOf(hot), {})}));
    write(directory / "tags.dm4", tagFile());
    // 128 x 128 uint16 pixels that compress poorly: every export format needs more than 4 KiB.
    Bytes noise(128 * 128 * 2);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : noise) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    write(directory / "noisy.dm4", imageFile({image(10, {128, 128}, noise, {})}));
    // About a kilobyte declaring a 1,000,000 x 1,000,000 float64 image: it opens (the pixels it lacks
    // read as zeros), but no machine holds the frame's 8 TB.
    ImageDefinition huge = image(12, {1, 1}, Bytes(64, 0), {});
    huge.dimensions = {1000000, 1000000};
    write(directory / "huge.dm4", imageFile({huge}));
    // Float32 frames of 32 MiB and 6 GiB, declared by files of a kilobyte, for exports that take a
    // while and for what memory a frame's export needs.
    for (const auto& [name, dimensions] :
         {std::pair<const char*, std::vector<std::uint32_t>>{"large.dm4", {4096, 2048}},
          std::pair<const char*, std::vector<std::uint32_t>>{"vast.dm4", {49152, 32768}}}) {
        ImageDefinition declared = image(2, {1, 1}, Bytes(64, 0), {});
        declared.dimensions = dimensions;
        write(directory / name, imageFile({declared}));
    }
    // Float32 frames that files hold whole, as holes: 64 GiB of them for what summarising a file
    // needs, and 512 MiB for what exporting a frame needs.
    for (const auto& [name, dimensions] :
         {std::pair<const char*, std::vector<std::uint32_t>>{"sparse-64GiB.dm4", {131072, 131072}},
          std::pair<const char*, std::vector<std::uint32_t>>{"sparse-512MiB.dm4", {16384, 8192}}}) {
        ImageDefinition sparse = image(2, {1, 1}, {}, {});
        sparse.dimensions = dimensions;
        sparse.generatedPixels = GeneratedValue{std::uint64_t{4} * dimensions[0] * dimensions[1], {}};
        write(directory / name, imageFile({sparse}));
    }
    // A folder and a FIFO named like DM files: readers refuse the FIFO at once instead of waiting
    // for a writer.
    std::filesystem::create_directories(directory / "folder.dm4");
    if (::mkfifo((directory / "fifo.dm4").c_str(), 0644) != 0) {
        std::perror("mkfifo");
        return 1;
    }
    DmFile version5 = imageFile({}, Version::Dm3);
    version5.versionWord(5);
    write(directory / "version5.dm3", std::move(version5));
    return 0;
}
