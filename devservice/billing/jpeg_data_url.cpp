#include "devservice/billing/jpeg_data_url.h"

#include "foundation/encoding.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace zarvo::devservice {

namespace {

constexpr std::string_view kPrefix = "data:image/jpeg;base64,";

// True when gdk-pixbuf's JPEG loader turns the bytes into a picture.
bool decodesAsJpeg(const std::string& bytes) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("jpeg", &error);
    if (!loader) {
        g_clear_error(&error);
        return false;
    }
    bool ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()),
                                      bytes.size(), &error);
    // close() must run even after a failed write, or the loader complains on finalisation.
    bool closed = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr);
    ok = ok && closed;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    ok = ok && pixbuf && gdk_pixbuf_get_width(pixbuf) > 0 && gdk_pixbuf_get_height(pixbuf) > 0;
    g_clear_error(&error);
    g_object_unref(loader);
    return ok;
}

} // namespace

Result<std::string> decodeJpegDataUrl(std::string_view url, size_t maxBytes) {
    if (url.substr(0, kPrefix.size()) != kPrefix)
        return unexpected(Error{"image_url is not a data:image/jpeg;base64 URL", 1});
    std::string_view text = url.substr(kPrefix.size());
    // Base64 grows by 4/3; refuse before decoding anything far too large.
    if (text.size() / 4 * 3 > maxBytes + 3)
        return unexpected(Error{"image larger than the limit", 2});
    auto bytes = base64Decode(text);
    if (!bytes || bytes->empty())
        return unexpected(Error{"image_url is not valid base64", 3});
    if (bytes->size() > maxBytes)
        return unexpected(Error{"image larger than the limit", 2});
    if (bytes->size() < 4 || static_cast<unsigned char>((*bytes)[0]) != 0xFF ||
        static_cast<unsigned char>((*bytes)[1]) != 0xD8 || !decodesAsJpeg(*bytes))
        return unexpected(Error{"image is not a decodable JPEG", 4});
    return std::move(*bytes);
}

} // namespace zarvo::devservice
