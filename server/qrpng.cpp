#include "qrpng.h"

#include <png.h>
#include <qrencode.h>

#include <memory>
#include <vector>

namespace {

constexpr int QuietZoneModules = 4;

void appendToString(png_structp png, png_bytep data, png_size_t length)
{
    auto *out = static_cast<std::string *>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char *>(data), length);
}

void flushNothing(png_structp) {}

} // namespace

std::optional<std::string> qrCodePng(const std::string &text, int scale)
{
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code)
        return std::nullopt;
    const int modules = code->width;
    const int size = (modules + 2 * QuietZoneModules) * scale;

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return std::nullopt;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return std::nullopt;
    }
    std::string out;
    // Grey-scale, one byte a pixel: small and read by every decoder.
    std::vector<png_byte> row(static_cast<size_t>(size));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return std::nullopt;
    }
    png_set_write_fn(png, &out, appendToString, flushNothing);
    png_set_IHDR(png, info, size, size, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < size; ++y) {
        const int my = y / scale - QuietZoneModules;
        for (int x = 0; x < size; ++x) {
            const int mx = x / scale - QuietZoneModules;
            bool dark = false;
            if (mx >= 0 && my >= 0 && mx < modules && my < modules)
                dark = code->data[my * modules + mx] & 1;
            row[static_cast<size_t>(x)] = dark ? 0 : 255;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}
