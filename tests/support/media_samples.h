// Small fixtures shared by the video tests and benchmarks: a solid-colour JPEG reference image and
// the process's thread count.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <dirent.h>
#include <string>

namespace zarvo::testing {

inline std::string solidJpeg(uint8_t r, uint8_t g, uint8_t b, int width = 320, int height = 180) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, (uint32_t(r) << 24) | (uint32_t(g) << 16) | (uint32_t(b) << 8));
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", "90", nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

inline int threadCount() {
    int entries = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (readdir(tasks))
            ++entries;
        closedir(tasks);
    }
    return entries - 2; // "." and ".."
}

} // namespace zarvo::testing
