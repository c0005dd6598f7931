// A studio page in a real WebKitGTK view, driven synchronously for tests: the "studio" message
// handler, the document-start theme script, script evaluation with its JSON result, and PNG
// snapshots. Everything runs on the calling thread's default main context.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zarvo::test {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using GObjectRef = std::unique_ptr<T, GObjectUnref>;

struct GFreeString {
    void operator()(char* text) const { g_free(text); }
};
using GText = std::unique_ptr<char, GFreeString>;

class StudioWebView {
public:
    using Clock = std::chrono::steady_clock;

    // Opens a toplevel window of the given size holding one web view whose document starts with
    // the theme script, exactly as the application installs it.
    StudioWebView(const std::string& theme, int width, int height) {
        gtk_init();
        content_.reset(webkit_user_content_manager_new());
        webkit_user_content_manager_register_script_message_handler(content_.get(), "studio",
                                                                    nullptr);
        g_signal_connect(content_.get(), "script-message-received::studio",
                         G_CALLBACK(&StudioWebView::onMessage), this);
        std::string source = "document.documentElement.dataset.theme='" + theme +
                             "';window.nativeAppearance='" + theme + "';";
        WebKitUserScript* script =
            webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(content_.get(), script);
        webkit_user_script_unref(script);

        // The window owns the view; the view keeps the content manager alive.
        view_ = WEBKIT_WEB_VIEW(
            g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content_.get(), nullptr));
        WebKitSettings* settings = webkit_web_view_get_settings(view_);
        webkit_settings_set_hardware_acceleration_policy(settings,
                                                         WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
        g_signal_connect(view_, "load-changed", G_CALLBACK(&StudioWebView::onLoadChanged), this);

        window_ = GTK_WINDOW(gtk_window_new());
        gtk_window_set_default_size(window_, width, height);
        gtk_window_set_child(window_, GTK_WIDGET(view_));
        gtk_window_present(window_);
    }

    ~StudioWebView() {
        g_signal_handlers_disconnect_by_data(content_.get(), this);
        g_signal_handlers_disconnect_by_data(view_, this);
        gtk_window_destroy(window_);
        pumpFor(std::chrono::milliseconds(50));
    }

    StudioWebView(const StudioWebView&) = delete;
    StudioWebView& operator=(const StudioWebView&) = delete;

    WebKitWebView* view() const { return view_; }

    // Loads a local file from its file URL; true once the load has finished.
    bool loadFile(const std::string& path, std::chrono::milliseconds deadline) {
        loaded_ = false;
        GText uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
        if (!uri)
            return false;
        webkit_web_view_load_uri(view_, uri.get());
        return waitUntil([this] { return loaded_; }, deadline);
    }

    // Evaluates a script and gives its result as JSON text ("null" for undefined), or nothing
    // when the script threw or the deadline passed.
    std::optional<std::string> evaluate(const std::string& script,
                                        std::chrono::milliseconds deadline) {
        struct Pending {
            bool done = false;
            std::optional<std::string> json;
        };
        auto pending = std::make_shared<Pending>();
        auto* keep = new std::shared_ptr<Pending>(pending);
        webkit_web_view_evaluate_javascript(
            view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Pending>> owner(
                    static_cast<std::shared_ptr<Pending>*>(data));
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(
                    WEBKIT_WEB_VIEW(source), result, &error);
                if (value) {
                    GText text(jsc_value_is_undefined(value) ? g_strdup("null")
                                                             : jsc_value_to_json(value, 0));
                    (*owner)->json = text ? std::string(text.get()) : std::string("null");
                    g_object_unref(value);
                }
                g_clear_error(&error);
                (*owner)->done = true;
            },
            keep);
        waitUntil([&] { return pending->done; }, deadline);
        return pending->done ? pending->json : std::nullopt;
    }

    // Messages the page posted to "studio" since the last call, each as JSON text.
    std::vector<std::string> takeMessages() { return std::exchange(messages_, {}); }

    // Saves what the view shows as a PNG; true on success.
    bool snapshot(const std::string& pngPath, std::chrono::milliseconds deadline) {
        struct Pending {
            bool done = false;
            bool saved = false;
            std::string path;
        };
        auto pending = std::make_shared<Pending>();
        pending->path = pngPath;
        auto* keep = new std::shared_ptr<Pending>(pending);
        webkit_web_view_get_snapshot(
            view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Pending>> owner(
                    static_cast<std::shared_ptr<Pending>*>(data));
                GError* error = nullptr;
                GObjectRef<GdkTexture> texture(
                    webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error));
                if (texture)
                    (*owner)->saved =
                        gdk_texture_save_to_png(texture.get(), (*owner)->path.c_str());
                g_clear_error(&error);
                (*owner)->done = true;
            },
            keep);
        waitUntil([&] { return pending->done; }, deadline);
        return pending->saved;
    }

    // Runs the main context until the condition holds or the deadline passes.
    static bool waitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds deadline) {
        auto end = Clock::now() + deadline;
        // A periodic wake-up so that the deadline is noticed even when nothing else happens.
        guint tick = g_timeout_add(
            20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
        bool met = condition();
        while (!met && Clock::now() < end) {
            g_main_context_iteration(nullptr, TRUE);
            met = condition();
        }
        g_source_remove(tick);
        return met;
    }

    static void pumpFor(std::chrono::milliseconds span) {
        auto end = Clock::now() + span;
        waitUntil([&] { return Clock::now() >= end; }, span + std::chrono::milliseconds(100));
    }

private:
    static void onMessage(WebKitUserContentManager*, JSCValue* value, gpointer self) {
        GText text(jsc_value_to_json(value, 0));
        static_cast<StudioWebView*>(self)->messages_.emplace_back(text ? text.get() : "null");
    }

    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
        if (event == WEBKIT_LOAD_FINISHED)
            static_cast<StudioWebView*>(self)->loaded_ = true;
    }

    GObjectRef<WebKitUserContentManager> content_;
    WebKitWebView* view_ = nullptr;
    GtkWindow* window_ = nullptr;
    bool loaded_ = false;
    std::vector<std::string> messages_;
};

} // namespace zarvo::test
