// The stand-in's reference image: a "data:image/jpeg;base64,…" text from the request body.
#include "devservice/billing/jpeg_data_url.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo::devservice;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto jpeg = decodeJpegDataURL(bytes, 256 * 1024)) {
        auto picture = jpegSize(*jpeg);
        ZARVO_FUZZ_CHECK(picture && picture->width > 0 && picture->height > 0 &&
                         int64_t(picture->width) * picture->height <= kMaxImagePixels);
    }
    (void)jpegSize(bytes);
    return 0;
}
