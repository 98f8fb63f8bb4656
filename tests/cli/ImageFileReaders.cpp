#include "ImageFileReaders.h"

#include <cstdio>
#include <memory>
#include <png.h>
#include <stdexcept>
#include <tiffio.h>

namespace trestan::clitest {

std::vector<TiffPage> readTiff(const std::string& path) {
    const std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFOpen(path.c_str(), "r"), &TIFFClose);
    if (!tiff) {
        throw std::runtime_error("libtiff cannot open " + path);
    }
    std::vector<TiffPage> pages;
    do {
        TiffPage page;
        TIFF* in = tiff.get();
        TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &page.width);
        TIFFGetField(in, TIFFTAG_IMAGELENGTH, &page.height);
        TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &page.bitsPerSample);
        TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &page.samplesPerPixel);
        TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLEFORMAT, &page.sampleFormat);
        TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &page.photometric);
        float resolution = 0;
        if (TIFFGetField(in, TIFFTAG_XRESOLUTION, &resolution) == 1) {
            page.xResolution = resolution;
        }
        if (TIFFGetField(in, TIFFTAG_YRESOLUTION, &resolution) == 1) {
            page.yResolution = resolution;
        }
        TIFFGetFieldDefaulted(in, TIFFTAG_RESOLUTIONUNIT, &page.resolutionUnit);
        const char* description = nullptr;
        if (TIFFGetField(in, TIFFTAG_IMAGEDESCRIPTION, &description) == 1 && description != nullptr) {
            page.description = description;
        }
        const tmsize_t lineSize = TIFFScanlineSize(in);
        page.pixels.resize(static_cast<std::size_t>(lineSize) * page.height);
        for (std::uint32_t row = 0; row < page.height; ++row) {
            if (TIFFReadScanline(in, page.pixels.data() + static_cast<std::size_t>(lineSize) * row, row, 0) !=
                1) {
                throw std::runtime_error("libtiff cannot read row " + std::to_string(row) + " of " + path);
            }
        }
        pages.push_back(std::move(page));
    } while (TIFFReadDirectory(tiff.get()) == 1);
    return pages;
}

namespace {

[[noreturn]] void onPngError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

} // namespace

PngImage readPng(const std::string& path) {
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"),
                                                                  &std::fclose);
    if (!file) {
        throw std::runtime_error("cannot open " + path);
    }
    PngImage image;
    std::vector<png_bytep> rows;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng cannot read " + path);
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    image.width = png_get_image_width(png, info);
    image.height = png_get_image_height(png, info);
    image.bitDepth = png_get_bit_depth(png, info);
    image.colourType = png_get_color_type(png, info);
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    image.pixels.resize(rowBytes * image.height);
    rows.resize(image.height);
    for (std::uint32_t row = 0; row < image.height; ++row) {
        rows[row] = image.pixels.data() + rowBytes * row;
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return image;
}

} // namespace trestan::clitest
