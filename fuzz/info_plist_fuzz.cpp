// A bundle's Info.plist: read for its identifier and version before an update is installed, and
// for the identifier of every running bundle (another program's file) at start.
#include "app/running_applications.h"
#include "fuzz/fuzz_support.h"
#include "update/code_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    auto plist = fuzz::writeScratch("Info.plist",
                                    std::string_view(reinterpret_cast<const char*>(data), size));
    for (const char* key :
         {"CFBundleIdentifier", "CFBundleShortVersionString", "CFBundleExecutable"})
        if (auto value = plistString(plist, key))
            ZARVO_FUZZ_CHECK(value->size() <= size);
    if (auto identifier = bundleIdentifierFromPlist(plist))
        ZARVO_FUZZ_CHECK(identifier->size() <= size && identifier->find('<') == std::string::npos);
    return 0;
}
