#include "devservice/billing/jpeg_data_url.h"

#include "foundation/encoding.h"
#include "foundation/owned.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace zarvo::devservice {

namespace {

constexpr std::string_view kPrefix = "data:image/jpeg;base64,";

// True when gdk-pixbuf's JPEG loader turns the bytes into a picture.
bool decodesAsJpeg(const std::string& bytes) {
    GErrorHolder error;
    auto loader = adoptRef(gdk_pixbuf_loader_new_with_type("jpeg", error.out()));
    if (!loader)
        return false;
    bool ok = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data()),
                                      bytes.size(), error.out());
    // close() must run even after a failed write, or the loader complains on finalisation.
    bool closed = gdk_pixbuf_loader_close(loader.get(), ok ? error.out() : nullptr);
    ok = ok && closed;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
    return ok && pixbuf && gdk_pixbuf_get_width(pixbuf) > 0 && gdk_pixbuf_get_height(pixbuf) > 0;
}

} // namespace

std::optional<JpegSize> jpegSize(std::string_view bytes) {
    auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < 4 || at(0) != 0xFF || at(1) != 0xD8)
        return std::nullopt;
    size_t i = 2;
    while (i + 4 <= bytes.size()) {
        if (at(i) != 0xFF)
            return std::nullopt;
        const unsigned char marker = at(i + 1);
        if (marker == 0xFF) { // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { // no length
            i += 2;
            continue;
        }
        const size_t length = size_t(at(i + 2)) << 8 | at(i + 3);
        if (length < 2)
            return std::nullopt;
        // Start of frame: every SOFn except the DHT, JPG and DAC markers that share the range.
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (i + 9 > bytes.size() || length < 7)
                return std::nullopt;
            return JpegSize{int(at(i + 7)) << 8 | at(i + 8), int(at(i + 5)) << 8 | at(i + 6)};
        }
        if (marker == 0xDA || marker == 0xD9) // scan data or the end before any frame header
            return std::nullopt;
        i += 2 + length;
    }
    return std::nullopt;
}

Result<std::string> decodeJpegDataURL(std::string_view url, size_t maxBytes) {
    if (url.substr(0, kPrefix.size()) != kPrefix)
        return unexpected(Error{"参考图片必须是 data:image/jpeg;base64 格式", 1});
    std::string_view text = url.substr(kPrefix.size());
    // Base64 grows by 4/3; refuse before decoding anything far too large.
    if (text.size() / 4 * 3 > maxBytes + 3)
        return unexpected(Error{"参考图片过大", 2});
    auto bytes = base64Decode(text);
    if (!bytes || bytes->empty())
        return unexpected(Error{"参考图片的 base64 内容无效", 3});
    if (bytes->size() > maxBytes)
        return unexpected(Error{"参考图片过大", 2});
    auto size = jpegSize(*bytes);
    if (!size || size->width <= 0 || size->height <= 0)
        return unexpected(Error{"参考图片不是可解码的 JPEG", 4});
    if (int64_t(size->width) * size->height > kMaxImagePixels)
        return unexpected(Error{"参考图片尺寸过大（最大 4096 × 4096 像素）", 5});
    if (!decodesAsJpeg(*bytes))
        return unexpected(Error{"参考图片不是可解码的 JPEG", 4});
    return std::move(*bytes);
}

} // namespace zarvo::devservice
