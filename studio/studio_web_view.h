// What the studio controller needs of the embedded web view. The WebKitGTK adapter implements it;
// tests use a fake that records the scripts.
#pragma once

#include "foundation/json.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace zarvo {

// What the web view tells whoever runs the page: messages posted to the "studio" handler, with
// whether they came from the top frame, and load completions (also after a reload). Given to the
// view when it is built; called on the main thread.
class StudioWebViewClient {
public:
    virtual void didReceiveMessage(const Json& body, bool mainFrame) = 0;
    virtual void didFinishLoad() = 0;

protected:
    ~StudioWebViewClient() = default;
};

class StudioWebView {
public:
    // The script's result as JSON; none when it threw or its value has no JSON form.
    using Evaluated = std::function<void(std::optional<Json>)>;

    virtual ~StudioWebView() = default;
    // A script run before the page's own scripts, in the top frame only, on every load.
    virtual void addDocumentStartScript(const std::string& source) = 0;
    // Loads a local page that may read only the files under `readAccess`.
    virtual void loadFile(const std::filesystem::path& file,
                          const std::filesystem::path& readAccess) = 0;
    virtual void evaluate(const std::string& script, Evaluated done = {}) = 0;
    // Writes the visible page as a PNG; `done(false)` when it could not.
    virtual void snapshotPNG(const std::filesystem::path& file, std::function<void(bool)> done) = 0;
};

} // namespace zarvo
