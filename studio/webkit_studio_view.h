// The studio web view on WebKitGTK 6.0. The page is served from its folder under a private URI
// scheme, so it reads nothing outside that folder, and the main frame cannot be navigated away.
// The "studio" handler is reachable from the top frame's page only: the real handler has a random
// name, and a document-start script of the top frame hands a function posting to it, once, to the
// page's bridge module (window.__studioTakeBridge).
#pragma once

#include "studio/studio_web_view.h"

#include <memory>

typedef struct _GtkWidget GtkWidget;

namespace zarvo {

class WebKitStudioView final : public StudioWebView {
public:
    // `client` outlives the view.
    explicit WebKitStudioView(StudioWebViewClient& client);
    ~WebKitStudioView() override;
    WebKitStudioView(const WebKitStudioView&) = delete;
    WebKitStudioView& operator=(const WebKitStudioView&) = delete;

    // The WebKitWebView; the view holds a reference for its own life.
    GtkWidget* widget() const;
    // A page load has completed since the last loadFile().
    bool loaded() const;

    void addDocumentStartScript(const std::string& source) override;
    void loadFile(const std::filesystem::path& file,
                  const std::filesystem::path& readAccess) override;
    void evaluate(const std::string& script, Evaluated done = {}) override;
    void snapshotPNG(const std::filesystem::path& file, std::function<void(bool)> done) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace zarvo
