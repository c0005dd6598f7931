// defaults.json: the settings file, read at start whatever another program left in it.
#include "foundation/user_defaults.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    auto file = fuzz::writeScratch("defaults.json",
                                   std::string_view(reinterpret_cast<const char*>(data), size));
    UserDefaults defaults(file);
    for (const char* key : {"selectedMode", "cameraUniqueID", "mirror", "lastReference", "a"}) {
        (void)defaults.string(key);
        (void)defaults.integer(key);
        (void)defaults.boolean(key);
        (void)defaults.value(key);
    }
    // A set writes the whole store back; reading that file again sees the value.
    ZARVO_FUZZ_CHECK(defaults.set("fuzzProbe", Json(7)));
    UserDefaults reread(file);
    ZARVO_FUZZ_CHECK(reread.integer("fuzzProbe") == 7);
    return 0;
}
