#include "studio/webkit_studio_view.h"

#include "foundation/owned.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <map>
#include <string_view>

namespace zarvo {

template <> struct RefTraits<WebKitUserScript> {
    static WebKitUserScript* ref(WebKitUserScript* script) {
        return webkit_user_script_ref(script);
    }
    static void unref(WebKitUserScript* script) { webkit_user_script_unref(script); }
};

namespace {

constexpr const char* kScheme = "zarvo-studio";

// Folders served under the private scheme, by URI host; main thread only.
std::map<std::string, std::filesystem::path>& servedFolders() {
    static std::map<std::string, std::filesystem::path> folders;
    return folders;
}

const char* mimeType(const std::filesystem::path& file) {
    static const std::map<std::string, const char*, std::less<>> types = {
        {".html", "text/html"},     {".htm", "text/html"},       {".css", "text/css"},
        {".js", "text/javascript"}, {".mjs", "text/javascript"}, {".json", "application/json"},
        {".svg", "image/svg+xml"},  {".png", "image/png"},       {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},    {".webp", "image/webp"},     {".gif", "image/gif"},
        {".woff2", "font/woff2"},   {".woff", "font/woff"},      {".ttf", "font/ttf"},
    };
    auto type = types.find(file.extension().string());
    return type == types.end() ? "application/octet-stream" : type->second;
}

void failRequest(WebKitURISchemeRequest* request, const char* why) {
    GErrorHolder error;
    g_set_error_literal(error.out(), G_IO_ERROR, G_IO_ERROR_NOT_FOUND, why);
    webkit_uri_scheme_request_finish_error(request, error.get());
}

// Serves a file of the folder registered for the request's host; nothing outside that folder.
void serveRequest(WebKitURISchemeRequest* request, gpointer) {
    auto uri = adoptRef(
        g_uri_parse(webkit_uri_scheme_request_get_uri(request), G_URI_FLAGS_NONE, nullptr));
    if (!uri)
        return failRequest(request, "bad address");
    std::string host = g_uri_get_host(uri.get()) ? g_uri_get_host(uri.get()) : "";
    std::string path = g_uri_get_path(uri.get());
    auto folder = servedFolders().find(host);
    if (folder == servedFolders().end())
        return failRequest(request, "unknown page folder");
    std::error_code error;
    auto root = std::filesystem::weakly_canonical(folder->second, error);
    auto file = std::filesystem::weakly_canonical(
        folder->second / std::filesystem::path(path).relative_path(), error);
    auto relative = file.lexically_relative(root);
    if (error || relative.empty() || *relative.begin() == "..")
        return failRequest(request, "outside the page folder");
    auto gfile = adoptRef(g_file_new_for_path(file.c_str()));
    auto stream = adoptRef(g_file_read(gfile.get(), nullptr, nullptr));
    if (!stream)
        return failRequest(request, "no such file");
    auto size = std::filesystem::file_size(file, error);
    auto response = adoptRef(webkit_uri_scheme_response_new(
        G_INPUT_STREAM(stream.get()), error ? -1 : static_cast<gint64>(size)));
    webkit_uri_scheme_response_set_content_type(response.get(), mimeType(file));
    // The page's scripts are modules, which the engine fetches in CORS mode; without this header
    // it refuses them even from the page's own origin under a private scheme.
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Access-Control-Allow-Origin", "*");
    webkit_uri_scheme_response_set_http_headers(response.get(), headers);
    webkit_uri_scheme_request_finish_with_response(request, response.get());
}

void registerScheme() {
    static bool done = false;
    if (done)
        return;
    done = true;
    WebKitWebContext* context = webkit_web_context_get_default();
    webkit_web_context_register_uri_scheme(context, kScheme, serveRequest, nullptr, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kScheme);
}

bool allowedNavigation(std::string_view uri) {
    for (std::string_view prefix : {"zarvo-studio:", "about:", "data:", "blob:"})
        if (uri.starts_with(prefix))
            return true;
    return false;
}

std::optional<Json> jsonOf(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value))
        return std::nullopt;
    GOwned<char> text(jsc_value_to_json(value, 0));
    if (!text)
        return std::nullopt;
    Json parsed = Json::parse(text.get(), nullptr, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

} // namespace

struct WebKitStudioView::State {
    StudioWebViewClient* client = nullptr;
    // Declared in this order so that the view goes before the content manager it uses.
    GRef<WebKitUserContentManager> content;
    GRef<WebKitWebView> view;
    std::string handlerName;
    std::string host;
    bool loaded = false;
};

namespace {

using State = WebKitStudioView::State;

void messageReceived(WebKitUserContentManager*, JSCValue* value, gpointer data) {
    auto* state = static_cast<State*>(data);
    state->client->didReceiveMessage(jsonOf(value).value_or(Json()), true);
}

void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* state = static_cast<State*>(data);
    if (event == WEBKIT_LOAD_STARTED)
        state->loaded = false;
    if (event != WEBKIT_LOAD_FINISHED)
        return;
    state->loaded = true;
    state->client->didFinishLoad();
}

gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                      gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
        return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri && allowedNavigation(uri))
        return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

struct Pending {
    std::weak_ptr<State> state;
    std::function<void(std::optional<Json>)> evaluated;
    std::function<void(bool)> snapshot;
    std::string file;
};

} // namespace

WebKitStudioView::WebKitStudioView(StudioWebViewClient& client)
    : state_(std::make_shared<State>()) {
    registerScheme();
    static int counter = 0;
    state_->client = &client;
    state_->host = "page" + std::to_string(++counter);
    GOwned<char> uuid(g_uuid_string_random());
    state_->handlerName = std::string("studio-") + uuid.get();

    state_->content = adoptRef(webkit_user_content_manager_new());
    std::string signal = "script-message-received::" + state_->handlerName;
    g_signal_connect(state_->content.get(), signal.c_str(), G_CALLBACK(messageReceived),
                     state_.get());
    webkit_user_content_manager_register_script_message_handler(
        state_->content.get(), state_->handlerName.c_str(), nullptr);
    // WebKitGTK does not say which frame posted a message, so the handler must be unreachable from
    // any other frame. Its name is random and the namespace does not list names; the top frame's
    // document-start script hands a function posting to it to the first caller of
    // window.__studioTakeBridge and then removes it, and the page's bridge module takes it while
    // it is evaluated and keeps it in its closure. A same-origin frame can read the top window's
    // globals, but by then nothing there leads to the handler, and the page's content policy
    // refuses any script it could make the top frame run. The window keeps the engine's namespace
    // wrappers alive, as it recreates them after a garbage collection.
    addDocumentStartScript(
        "(function(){var w=window.webkit;var n=w&&w.messageHandlers;var h=n&&n['" +
        state_->handlerName +
        "'];if(!h)return;var post=h.postMessage.bind(h);"
        "Object.defineProperty(window,'__studioTakeBridge',{configurable:true,enumerable:false,"
        "value:function(){delete window.__studioTakeBridge;return function(b){return post(b);};}});"
        "Object.defineProperty(window,'__studioBridge',{value:Object.freeze([w,n]),"
        "writable:false,configurable:false,enumerable:false});})();");

    GtkWidget* view = GTK_WIDGET(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", state_->content.get(), nullptr));
    state_->view = adoptRef(WEBKIT_WEB_VIEW(g_object_ref_sink(view)));
    WebKitSettings* settings = webkit_web_view_get_settings(state_->view.get());
    webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    g_signal_connect(state_->view.get(), "load-changed", G_CALLBACK(loadChanged), state_.get());
    g_signal_connect(state_->view.get(), "decide-policy", G_CALLBACK(decidePolicy), state_.get());
}

WebKitStudioView::~WebKitStudioView() {
    g_signal_handlers_disconnect_by_data(state_->view.get(), state_.get());
    g_signal_handlers_disconnect_by_data(state_->content.get(), state_.get());
    webkit_user_content_manager_unregister_script_message_handler(
        state_->content.get(), state_->handlerName.c_str(), nullptr);
    servedFolders().erase(state_->host);
}

GtkWidget* WebKitStudioView::widget() const {
    return GTK_WIDGET(state_->view.get());
}

bool WebKitStudioView::loaded() const {
    return state_->loaded;
}

void WebKitStudioView::addDocumentStartScript(const std::string& source) {
    auto script = adoptRef(
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr));
    webkit_user_content_manager_add_script(state_->content.get(), script.get());
}

void WebKitStudioView::loadFile(const std::filesystem::path& file,
                                const std::filesystem::path& readAccess) {
    servedFolders()[state_->host] = readAccess;
    auto relative = file.lexically_relative(readAccess);
    if (relative.empty() || *relative.begin() == "..")
        relative = file.filename();
    GOwned<char> escaped(g_uri_escape_string(relative.generic_string().c_str(), "/", FALSE));
    std::string uri = std::string(kScheme) + "://" + state_->host + "/" + escaped.get();
    state_->loaded = false;
    webkit_web_view_load_uri(state_->view.get(), uri.c_str());
}

void WebKitStudioView::evaluate(const std::string& script, Evaluated done) {
    auto* pending = new Pending{state_, std::move(done), {}, {}};
    webkit_web_view_evaluate_javascript(
        state_->view.get(), script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            auto value = adoptRef(webkit_web_view_evaluate_javascript_finish(
                WEBKIT_WEB_VIEW(source), result, nullptr));
            std::optional<Json> json = jsonOf(value.get());
            if (pending->state.lock() && pending->evaluated)
                pending->evaluated(std::move(json));
        },
        pending);
}

void WebKitStudioView::snapshotPNG(const std::filesystem::path& file,
                                   std::function<void(bool)> done) {
    auto* pending = new Pending{state_, {}, std::move(done), file.string()};
    webkit_web_view_get_snapshot(
        state_->view.get(), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            auto texture = adoptRef(
                webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr));
            bool saved = texture && gdk_texture_save_to_png(texture.get(), pending->file.c_str());
            if (pending->state.lock() && pending->snapshot)
                pending->snapshot(saved);
        },
        pending);
}

} // namespace zarvo
