#include "app/jpeg_encoding.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

namespace zarvo {
namespace {

std::string encodePNG(int width, int height, bool alpha) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, width, height);
    gdk_pixbuf_fill(pixbuf, 0x3366ccff);
    gchar* buffer = nullptr;
    gsize size = 0;
    EXPECT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr));
    std::string png(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return png;
}

GdkPixbuf* decode(const std::string& bytes, std::string* format) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(),
                            nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pixbuf)
        g_object_ref(pixbuf);
    if (GdkPixbufFormat* f = gdk_pixbuf_loader_get_format(loader)) {
        gchar* name = gdk_pixbuf_format_get_name(f);
        *format = name;
        g_free(name);
    }
    g_object_unref(loader);
    return pixbuf;
}

TEST(JpegEncoding, ReencodesAnyDecodableImageKeepingItsSizeAndQualityMatters) {
    for (bool alpha : {false, true}) {
        auto jpeg = reencodeAsJpeg(encodePNG(64, 48, alpha), 0.9);
        ASSERT_TRUE(jpeg) << alpha;
        EXPECT_EQ(jpeg->substr(0, 3), std::string("\xff\xd8\xff", 3));
        std::string format;
        GdkPixbuf* back = decode(*jpeg, &format);
        ASSERT_TRUE(back);
        EXPECT_EQ(format, "jpeg");
        EXPECT_EQ(gdk_pixbuf_get_width(back), 64);
        EXPECT_EQ(gdk_pixbuf_get_height(back), 48);
        g_object_unref(back);
    }
    auto png = encodePNG(256, 256, false);
    EXPECT_LT(reencodeAsJpeg(png, 0.3)->size(), reencodeAsJpeg(png, 0.95)->size());
}

TEST(JpegEncoding, RefusesWhatIsNotAnImage) {
    EXPECT_FALSE(reencodeAsJpeg("", 0.9));
    EXPECT_FALSE(reencodeAsJpeg("definitely not an image", 0.9));
    auto png = encodePNG(16, 16, false);
    EXPECT_FALSE(reencodeAsJpeg(png.substr(0, png.size() / 2), 0.9)); // truncated
}

} // namespace
} // namespace zarvo
