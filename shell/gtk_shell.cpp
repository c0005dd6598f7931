#include "shell/gtk_shell.h"

#include "app/app.h"
#include "app/command_line.h"
#include "app/video_failure.h"
#include "foundation/atomic_file.h"
#include "foundation/child_process.h"
#include "foundation/encoding.h"
#include "foundation/gtk_modal.h"
#include "foundation/owned.h"
#include "media/camera/camera_device_relay.h"
#include "media/camera/camera_monitor.h"
#include "media/camera/camera_preview_gst.h"
#include "media/output/camera_setup_gtk.h"
#include "media/output/virtual_camera.h"
#include "media/rtc/rtc_bridge.h"
#include "shell/update_link.h"
#include "studio/exact_interface.h"
#include "studio/gdk_gallery_codec.h"
#include "studio/gtk_studio_dialogs.h"
#include "studio/webkit_studio_view.h"
#include "update/client_support.h"
#include "update/gtk_update_presenter.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <iostream>
#include <mutex>
#include <utility>
#include <vector>

namespace zarvo {

template <> struct RefTraits<GskRenderNode> {
    static GskRenderNode* ref(GskRenderNode* node) { return gsk_render_node_ref(node); }
    static void unref(GskRenderNode* node) { gsk_render_node_unref(node); }
};

namespace {

GtkWindow* activeWindow() {
    GApplication* application = g_application_get_default();
    return application && GTK_IS_APPLICATION(application)
               ? gtk_application_get_active_window(GTK_APPLICATION(application))
               : nullptr;
}

int runDialog(GtkWidget* dialog) {
    gtk_window_set_title(GTK_WINDOW(dialog), "Zarvo");
    const int response = runModalDialog(dialog);
    gtk_window_destroy(GTK_WINDOW(dialog));
    return response;
}

} // namespace

void showModalAlert(const std::string& message, const std::string& informative,
                    const std::string& button) {
    if (!gtk_init_check()) {
        std::cerr << message << "\n" << informative << "\n";
        return;
    }
    GtkWidget* dialog = newMessageDialog(activeWindow(), GTK_MESSAGE_WARNING, message, informative);
    gtk_dialog_add_button(GTK_DIALOG(dialog), button.c_str(), GTK_RESPONSE_OK);
    runDialog(dialog);
}

bool showModalConfirm(const std::string& message, const std::string& informative,
                      const std::string& confirmButton, const std::string& cancelButton) {
    if (!gtk_init_check())
        return false;
    GtkWidget* dialog = newMessageDialog(activeWindow(), GTK_MESSAGE_WARNING, message, informative);
    gtk_dialog_add_button(GTK_DIALOG(dialog), confirmButton.c_str(), GTK_RESPONSE_ACCEPT);
    gtk_dialog_add_button(GTK_DIALOG(dialog), cancelButton.c_str(), GTK_RESPONSE_CANCEL);
    return runDialog(dialog) == GTK_RESPONSE_ACCEPT;
}

namespace {

GRef<GdkTexture> textureOf(const PicturePtr& picture) {
    // The texture borrows the picture's pixels and keeps the picture alive with them.
    auto* keep = new PicturePtr(picture);
    auto bytes = adoptRef(g_bytes_new_with_free_func(
        picture->data(), picture->byteCount(),
        [](gpointer p) { delete static_cast<PicturePtr*>(p); }, keep));
    return adoptRef(gdk_memory_texture_new(picture->width(), picture->height(),
                                           GDK_MEMORY_B8G8R8A8_PREMULTIPLIED, bytes.get(),
                                           static_cast<gsize>(picture->stride())));
}

void showTexture(GtkPicture* view, GdkTexture* texture) {
    if (view)
        gtk_picture_set_paintable(view, texture ? GDK_PAINTABLE(texture) : nullptr);
}
void showTexture(GtkPicture* view, const GRef<GdkTexture>& texture) {
    showTexture(view, texture.get());
}

// The view the RTC bridge installs as its output; main thread only.
class GtkPictureView final : public PictureView {
public:
    explicit GtkPictureView(GtkPicture* view) : view_(view) {}
    void setPicture(PicturePtr picture) override {
        showTexture(view_, picture ? textureOf(picture) : nullptr);
    }

private:
    GtkPicture* view_;
};

// The local preview's pictures arrive on a streaming thread; only the newest is shown, from the
// main loop, so a slow window never queues pictures up.
struct PreviewFrames {
    std::mutex mutex;
    PicturePtr newest;
    bool scheduled = false;
    GtkPicture* view = nullptr; // main thread only; null once the window is gone
};

void showPreviewPicture(Loop& loop, const std::shared_ptr<PreviewFrames>& frames,
                        const PicturePtr& picture) {
    {
        std::lock_guard lock(frames->mutex);
        frames->newest = picture;
        if (frames->scheduled)
            return;
        frames->scheduled = true;
    }
    loop.post([frames] {
        PicturePtr newest;
        {
            std::lock_guard lock(frames->mutex);
            newest = std::move(frames->newest);
            frames->scheduled = false;
        }
        if (!frames->view || !newest)
            return;
        showTexture(frames->view, textureOf(newest));
    });
}

void requestQuit(Shell& shell);
void renderWindowPNG(Shell& shell, const std::filesystem::path& file);

// The window side of the studio.
class ShellHost final : public StudioHost {
public:
    explicit ShellHost(Shell& shell) : shell_(shell) {}
    void placeVideo(const VideoFrame& frame) override;
    void setVideoVisible(bool visible) override;
    void showLocalPreview() override;
    void showAIOutput() override;
    void enlargeOutput() override;
    void setDarkAppearance(bool dark) override;
    void alert(const std::string& message, const std::string& informative) override {
        showModalAlert(message, informative, "好");
    }
    bool confirm(const std::string& message, const std::string& informative,
                 const std::string& confirmButton, const std::string& cancelButton) override {
        return showModalConfirm(message, informative, confirmButton, cancelButton);
    }
    void clearReferenceView() override {}
    std::optional<std::string> virtualCameraName() override {
        return VirtualCamera::availableDeviceName();
    }
    void relaunch() override;
    void terminate() override { requestQuit(shell_); }

private:
    Shell& shell_;
};

// The studio's update and diagnostics actions on the update workflow, plus the virtual camera
// set-up dialog. The workflow lives while this does, opened on the update link App was given.
class ShellSupport final : public StudioSupport {
public:
    ShellSupport(Shell& shell, UpdateLink& link, App& app);
    ~ShellSupport() override;

    void start() override { client_.start(); }
    void markLaunchReady() override { ClientSupport::markLaunchReady(); }
    void checkForUpdates(bool interactive) override { client_.checkForUpdates(interactive); }
    void showRelease() override { client_.showRelease(); }
    void downloadAvailable() override { client_.downloadAvailable(); }
    void installDownloaded() override { client_.installDownloaded(); }
    void exportDiagnostics() override { client_.exportDiagnostics(); }
    void showCameraSetup() override;
    Json snapshot() const override { return client_.snapshot(); }

private:
    Shell& shell_;
    UpdateLink& link_;
    GtkUpdatePresenter presenter_;
    ClientSupport& client_;
};

} // namespace

// What the studio web view tells the window: the controller gets the page's messages and loads,
// and in screenshot mode a finished load also moves the capture on. Built with the window, before
// the view; it reaches the controller while that lives.
class StudioPageLink final : public StudioWebViewClient {
public:
    explicit StudioPageLink(Shell& shell) : shell_(shell) {}
    void didReceiveMessage(const Json& body, bool mainFrame) override;
    void didFinishLoad() override;

private:
    Shell& shell_;
};

struct Shell {
    ShellParts parts;
    const CommandLineOptions* options = nullptr;
    GtkApplication* application = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* content = nullptr; // the overlay: web view below, video region above
    GtkWidget* video = nullptr;
    GtkPicture* aiOutput = nullptr;
    GtkPicture* preview = nullptr;
    GtkWidget* outputWindow = nullptr;
    GtkPicture* enlargedOutput = nullptr;
    GRef<GdkTexture> lastOutput; // the newest edited picture, for the enlarged window
    VideoFrame videoFrame;
    bool videoPlaced = false;

    std::unique_ptr<ShellHost> host;
    std::unique_ptr<GtkStudioDialogs> dialogs;
    std::shared_ptr<PreviewFrames> previewFrames;
    std::unique_ptr<ShellSupport> support;
    StudioPageLink pageLink{*this};
    std::unique_ptr<WebKitStudioView> web;
    std::unique_ptr<ExactInterface> studio;
    std::shared_ptr<GtkPictureView> outputView;

    TimerHandle selfRun, updateStart, snapshotPage, snapshotCapture;
    bool quitting = false;
    std::optional<WallTime> snapshotStarted; // set when screenshot mode begins
    bool snapshotReady = false, captured = false;
    int failedStatus = 0; // an unattended mode that could not do its job exits with this
};

namespace {

void ShellHost::placeVideo(const VideoFrame& frame) {
    shell_.videoFrame = frame;
    shell_.videoPlaced = true;
    gtk_widget_queue_allocate(shell_.content);
}

void ShellHost::setVideoVisible(bool visible) {
    gtk_widget_set_visible(shell_.video, visible);
}

void ShellHost::showLocalPreview() {
    gtk_widget_set_visible(GTK_WIDGET(shell_.preview), TRUE);
    gtk_widget_set_visible(GTK_WIDGET(shell_.aiOutput), FALSE);
}

void ShellHost::showAIOutput() {
    gtk_widget_set_visible(GTK_WIDGET(shell_.preview), FALSE);
    gtk_widget_set_visible(GTK_WIDGET(shell_.aiOutput), TRUE);
}

void ShellHost::enlargeOutput() {
    if (!shell_.outputWindow) {
        shell_.outputWindow = gtk_window_new();
        gtk_window_set_title(GTK_WINDOW(shell_.outputWindow), "AI 输出 · 放大预览");
        gtk_window_set_default_size(GTK_WINDOW(shell_.outputWindow), 960, 540);
        gtk_window_set_resizable(GTK_WINDOW(shell_.outputWindow), TRUE);
        // Closing only hides it; the next "enlarge" shows the same window again.
        gtk_window_set_hide_on_close(GTK_WINDOW(shell_.outputWindow), TRUE);
        shell_.enlargedOutput = GTK_PICTURE(gtk_picture_new());
        gtk_widget_add_css_class(GTK_WIDGET(shell_.enlargedOutput), "zarvo-black");
        gtk_window_set_child(GTK_WINDOW(shell_.outputWindow), GTK_WIDGET(shell_.enlargedOutput));
        gtk_window_set_transient_for(GTK_WINDOW(shell_.outputWindow), GTK_WINDOW(shell_.window));
    }
    showTexture(shell_.enlargedOutput, shell_.lastOutput);
    gtk_window_present(GTK_WINDOW(shell_.outputWindow));
}

ShellSupport::ShellSupport(Shell& shell, UpdateLink& link, App& app)
    : shell_(shell), link_(link),
      presenter_([&shell] { return shell.window ? GTK_WINDOW(shell.window) : nullptr; },
                 [&defaults = app.defaults()] {
                     return defaults.string("studioAppearance").value_or("") == "dark";
                 }),
      // The hand-over quits through the termination guard, like the quit menu item.
      client_(link.open(app, app.loop(), presenter_, ClientSupportEnvironment::forThisProcess(),
                        [&shell] { requestQuit(shell); })) {}

ShellSupport::~ShellSupport() {
    link_.close();
}

void ShellSupport::showCameraSetup() {
    showCameraSetupDialog(GTK_WINDOW(shell_.window));
}

void ShellHost::setDarkAppearance(bool dark) {
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark, nullptr);
}

// The relaunch is a shell that waits 2 s and starts this executable again, detached from us.
void ShellHost::relaunch() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return;
    ChildOptions options;
    options.argv = {"/bin/sh", "-c", "sleep 2; exec \"$@\"", "zarvo-restart", executable.string()};
    options.output = ChildStream::Inherit;
    options.error = ChildStream::Inherit;
    if (auto started = startDetached(options); !started)
        g_warning("relaunch: %s", started.error().message.c_str());
}

gboolean closeRequested(GtkWindow*, gpointer data) {
    auto* shell = static_cast<Shell*>(data);
    if (shell->quitting)
        return TRUE;
    App& app = *shell->parts.app;
    bool now = app.applicationShouldTerminate(
        [shell](bool) { g_application_quit(G_APPLICATION(shell->application)); });
    if (now)
        return FALSE;
    // The window stays until the service has the stop.
    shell->quitting = true;
    app.status.text = "正在停止 AI 会话，完成后退出…";
    return TRUE;
}

void requestQuit(Shell& shell) {
    if (!shell.window || !closeRequested(GTK_WINDOW(shell.window), &shell))
        g_application_quit(G_APPLICATION(shell.application));
}

// The main menu: the application menu and the edit menu, the latter acting on the page.
void buildMenus(Shell& shell) {
    GtkApplication* application = shell.application;
    auto add = [&](const char* name, void (*callback)(GSimpleAction*, GVariant*, gpointer)) {
        auto action = adoptRef(g_simple_action_new(name, nullptr));
        g_signal_connect(action.get(), "activate", G_CALLBACK(callback), &shell);
        g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action.get()));
    };
    add("check-updates", [](GSimpleAction*, GVariant*, gpointer data) {
        static_cast<Shell*>(data)->support->checkForUpdates(true);
    });
    add("quit",
        [](GSimpleAction*, GVariant*, gpointer data) { requestQuit(*static_cast<Shell*>(data)); });
    struct Edit {
        const char* action;
        const char* command;
        const char* accel;
    };
    static const Edit edits[] = {{"cut", WEBKIT_EDITING_COMMAND_CUT, "<Control>x"},
                                 {"copy", WEBKIT_EDITING_COMMAND_COPY, "<Control>c"},
                                 {"paste", WEBKIT_EDITING_COMMAND_PASTE, "<Control>v"},
                                 {"select-all", WEBKIT_EDITING_COMMAND_SELECT_ALL, "<Control>a"}};
    for (const auto& edit : edits) {
        auto action = adoptRef(g_simple_action_new(edit.action, nullptr));
        g_signal_connect(
            action.get(), "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
                auto* edit = static_cast<const Edit*>(data);
                GApplication* app = g_application_get_default();
                auto* shell = static_cast<Shell*>(g_object_get_data(G_OBJECT(app), "zarvo-shell"));
                if (shell && shell->web)
                    webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(shell->web->widget()),
                                                            edit->command);
            }),
            const_cast<Edit*>(&edit));
        g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action.get()));
        std::string name = std::string("app.") + edit.action;
        const char* accels[] = {edit.accel, nullptr};
        gtk_application_set_accels_for_action(application, name.c_str(), accels);
    }
    const char* quitAccels[] = {"<Control>q", nullptr};
    gtk_application_set_accels_for_action(application, "app.quit", quitAccels);
    g_object_set_data(G_OBJECT(application), "zarvo-shell", &shell);

    auto bar = adoptRef(g_menu_new());
    auto appMenu = adoptRef(g_menu_new());
    g_menu_append(appMenu.get(), "检查更新…", "app.check-updates");
    g_menu_append(appMenu.get(), "退出 Zarvo", "app.quit");
    g_menu_append_submenu(bar.get(), "Zarvo", G_MENU_MODEL(appMenu.get()));
    auto editMenu = adoptRef(g_menu_new());
    g_menu_append(editMenu.get(), "剪切", "app.cut");
    g_menu_append(editMenu.get(), "复制", "app.copy");
    g_menu_append(editMenu.get(), "粘贴", "app.paste");
    g_menu_append(editMenu.get(), "全选", "app.select-all");
    g_menu_append_submenu(bar.get(), "编辑", G_MENU_MODEL(editMenu.get()));
    gtk_application_set_menubar(application, G_MENU_MODEL(bar.get()));
}

void buildWindow(Shell& shell) {
    shell.window = gtk_application_window_new(shell.application);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(shell.window), TRUE);
    gtk_window_set_title(GTK_WINDOW(shell.window), ("Zarvo · " + runningVersion()).c_str());
    gtk_window_set_default_size(GTK_WINDOW(shell.window), 1240, 840);
    gtk_widget_set_size_request(shell.window, 1100, 800);
    gtk_widget_add_css_class(shell.window, "zarvo-main");
    g_signal_connect(shell.window, "close-request", G_CALLBACK(closeRequested), &shell);

    auto css = adoptRef(gtk_css_provider_new());
    gtk_css_provider_load_from_data(css.get(),
                                    "window.zarvo-main { background: rgba(247,247,247,1); }"
                                    ".zarvo-black { background: black; }"
                                    ".zarvo-video { background: black; border-radius: 12px; }",
                                    -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(),
                                               GTK_STYLE_PROVIDER(css.get()),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// The video region: the edited video and the local preview, one shown at a time.
void buildVideoRegion(Shell& shell) {
    shell.video = gtk_overlay_new();
    gtk_widget_add_css_class(shell.video, "zarvo-video");
    gtk_widget_set_overflow(shell.video, GTK_OVERFLOW_HIDDEN);
    shell.aiOutput = GTK_PICTURE(gtk_picture_new());
    shell.preview = GTK_PICTURE(gtk_picture_new());
    for (GtkPicture* picture : {shell.aiOutput, shell.preview}) {
        gtk_picture_set_can_shrink(picture, TRUE);
        gtk_picture_set_content_fit(picture, GTK_CONTENT_FIT_CONTAIN);
    }
    gtk_overlay_set_child(GTK_OVERLAY(shell.video), GTK_WIDGET(shell.aiOutput));
    gtk_overlay_add_overlay(GTK_OVERLAY(shell.video), GTK_WIDGET(shell.preview));
    gtk_widget_set_visible(GTK_WIDGET(shell.preview), FALSE);
    // Until the page has placed it, the region stays out of sight.
    gtk_widget_set_visible(shell.video, TRUE);
}

// The page's slot in page coordinates is the region's allocation: both have the origin top left.
gboolean placeOverlayChild(GtkOverlay*, GtkWidget* child, GdkRectangle* where, gpointer data) {
    auto* shell = static_cast<Shell*>(data);
    if (child != shell->video)
        return FALSE;
    const VideoFrame& f = shell->videoFrame;
    *where = {static_cast<int>(f.x), static_cast<int>(f.y),
              shell->videoPlaced ? static_cast<int>(f.width) : 0,
              shell->videoPlaced ? static_cast<int>(f.height) : 0};
    return TRUE;
}

void loadReference(Shell& shell, const std::string& path) {
    auto bytes = readFile(path);
    if (!bytes || bytes->empty())
        return;
    App& app = *shell.parts.app;
    app.selectedReferenceData = *bytes;
    app.referenceName.text = std::filesystem::path(path).filename().string();
}

void wire(Shell& shell) {
    auto& bridge = *shell.parts.bridge;
    shell.outputView = std::make_shared<GtkPictureView>(shell.aiOutput);
    bridge.install(shell.outputView);
    shell.parts.video->attach(&shell);
}

// Renders the window's content as it is on screen into a PNG file; failures are ignored.
void renderWindowPNG(Shell& shell, const std::filesystem::path& file) {
    GtkWidget* content = gtk_window_get_child(GTK_WINDOW(shell.window));
    if (!content)
        return;
    int width = gtk_widget_get_width(content), height = gtk_widget_get_height(content);
    GtkNative* native = gtk_widget_get_native(content);
    if (width <= 0 || height <= 0 || !native || !gtk_native_get_renderer(native))
        return;
    auto paintable = adoptRef(gtk_widget_paintable_new(content));
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable.get(), snapshot, width, height);
    auto node = adoptRef(gtk_snapshot_free_to_node(snapshot));
    if (node) {
        graphene_rect_t bounds =
            GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
        auto texture = adoptRef(
            gsk_renderer_render_texture(gtk_native_get_renderer(native), node.get(), &bounds));
        gdk_texture_save_to_png(texture.get(), file.c_str());
    }
}

Duration selfRunDeadline(Shell& shell) {
    return shell.parts.app->loop().uptime() + seconds(60.0);
}

// The self-run's start: it waits (up to a minute) for the studio page and the first account
// reply, so a slow launch neither captures an empty window nor has the start refused.
void selfRunStart(Shell& shell, const std::string& image, Duration deadline) {
    App& app = *shell.parts.app;
    if ((!app.usageSnapshot || !shell.web->loaded()) && app.loop().uptime() < deadline) {
        shell.selfRun = app.loop().postDelayed(
            seconds(0.5), [&shell, image, deadline] { selfRunStart(shell, image, deadline); });
        return;
    }
    app.smokeStarted = app.loop().now();
    if (app.smokeReport) {
        (void)writeFileAtomically(*app.smokeReport, R"({"stage":"starting"})");
        renderWindowPNG(shell, *app.smokeReport + ".startup.png");
    }
    loadReference(shell, image);
    app.startAI();
    shell.studio->refresh();
}

// The automatic self-run: load the configuration now, start a session with its image 2 s later.
void beginSelfRun(Shell& shell, const std::string& configFile) {
    App& app = *shell.parts.app;
    auto text = readFile(configFile);
    auto config = text ? parseJsonObject(*text) : std::nullopt;
    if (!config)
        return;
    if (auto report = jsonString(*config, "report_path")) {
        app.smokeReport = *report;
        (void)writeFileAtomically(*report, R"({"stage":"config_loaded"})");
    }
    std::string image = jsonString(*config, "image_path", "");
    shell.selfRun = app.loop().postDelayed(
        seconds(2.0), [&shell, image] { selfRunStart(shell, image, selfRunDeadline(shell)); });
}

// Screenshot mode. Each step waits for what it needs instead of a fixed time from launch: the page
// step for the loaded page and, with --with-account, the first account reply (at most 15 s); the
// capture for a moment of rendering after that, so neither a slow start nor a fast one captures a
// blank or half-filled page.
void captureSnapshot(Shell& shell);

void snapshotStep(Shell& shell) {
    if (!shell.snapshotStarted || shell.snapshotReady || shell.captured)
        return;
    App& app = *shell.parts.app;
    const auto& options = *shell.options;
    const bool accountIn = !options.withAccount || app.usageSnapshot ||
                           app.loop().now() - *shell.snapshotStarted >= seconds(15);
    if (!shell.web->loaded() || !accountIn) {
        shell.snapshotPage =
            app.loop().postDelayed(seconds(0.25), [&shell] { snapshotStep(shell); });
        return;
    }
    shell.snapshotReady = true;
    shell.studio->refresh(); // the account now, not at the next push
    if (options.page)
        shell.studio->openStudioPage(*options.page);
    // A page asks for its content (a bill, the gallery) when it opens; a second lets it render.
    shell.snapshotCapture =
        app.loop().postDelayed(seconds(1.0), [&shell] { captureSnapshot(shell); });
}

void captureSnapshot(Shell& shell) {
    if (shell.captured)
        return;
    shell.captured = true;
    App& app = *shell.parts.app;
    const std::string path = *shell.options->snapshot;
    if (shell.options->withAccount) {
        Json account = {{"balance", app.pointsLabel.text},
                        {"sync", app.syncLabel.text},
                        {"duration", app.durationLabel.text}};
        (void)writeFileAtomically(path + ".json", account.dump());
    }
    shell.web->snapshotPNG(path, [&shell, path](bool saved) {
        if (!saved) {
            std::cerr << "Zarvo：截图无法写入 " << path << "\n";
            shell.failedStatus = 1;
        }
        requestQuit(shell);
    });
}

// Screenshot mode's reference picture: shown in the page's reference view as the gallery's own
// thumbnail would be, without importing the file.
void showReferencePreview(Shell& shell) {
    if (!shell.options->referencePreview)
        return;
    auto bytes = readFile(*shell.options->referencePreview);
    auto inspected = bytes ? GdkGalleryCodec().inspect(*bytes) : std::nullopt;
    if (!inspected || inspected->thumbnailJpeg.empty()) {
        std::cerr << "Zarvo：参考图无法读取 " << *shell.options->referencePreview << "\n";
        shell.failedStatus = 1;
        requestQuit(shell);
        return;
    }
    const Json url = "data:image/jpeg;base64," + base64Encode(inspected->thumbnailJpeg);
    shell.web->evaluate("window.showReferencePreview && showReferencePreview(" + url.dump() + ")");
}

void snapshotPageLoaded(Shell& shell) {
    showReferencePreview(shell);
    snapshotStep(shell);
}

// The reference preview is only shown by the page: the application state keeps no reference, so
// the screenshot shows what a user without one sees (no enabled start).
void beginSnapshot(Shell& shell) {
    shell.snapshotStarted = shell.parts.app->loop().now();
    snapshotStep(shell);
}

StudioParts studioParts(Shell& shell) {
    Loop& loop = shell.parts.app->loop();
    shell.dialogs = std::make_unique<GtkStudioDialogs>(
        [&shell] { return shell.window ? GTK_WINDOW(shell.window) : nullptr; });
    shell.previewFrames = std::make_shared<PreviewFrames>();
    shell.previewFrames->view = shell.preview;
    // A window closed before the application's shutdown takes the view with it.
    g_signal_connect(shell.preview, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                         static_cast<PreviewFrames*>(data)->view = nullptr;
                     }),
                     shell.previewFrames.get());
    StudioParts parts;
    parts.galleryUI = shell.dialogs.get();
    parts.presetUI = shell.dialogs.get();
    parts.codec = std::make_shared<GdkGalleryCodec>();
    parts.cameras = makeCameraDeviceSource();
    parts.capture = std::make_shared<GstPreviewCapture>(
        [&loop, frames = shell.previewFrames](const PicturePtr& picture) {
            showPreviewPicture(loop, frames, picture);
        });
    return parts;
}

std::filesystem::path studioPage() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return executable.parent_path().parent_path() / "Resources" / "index.html";
}

// SIGINT and SIGTERM take the same way out as closing the window, so a session is stopped first.
// Before the window exists (or after it went) the request waits for it.
Shell* quitTarget = nullptr;
bool quitPending = false;

void activate(GtkApplication* application, gpointer data) {
    auto& shell = *static_cast<Shell*>(data);
    if (shell.window) {
        gtk_window_present(GTK_WINDOW(shell.window));
        return;
    }
    App& app = *shell.parts.app;
    const auto& options = *shell.options;
    shell.application = application;
    auto page = studioPage();
    if (!std::filesystem::is_regular_file(page)) {
        showModalAlert("Zarvo", "找不到工作台页面（" + page.string() + "），请重新安装 Zarvo。",
                       "退出");
        g_application_quit(G_APPLICATION(application));
        return;
    }
    shell.host = std::make_unique<ShellHost>(shell);
    shell.support = std::make_unique<ShellSupport>(shell, *shell.parts.update, app);

    buildMenus(shell);
    buildWindow(shell);
    if (auto mode = app.defaults().integer("editingMode"); mode && *mode >= 0 && *mode < 4)
        app.modeButtons[static_cast<size_t>(*mode)].selectedMode = true;
    buildVideoRegion(shell);
    wire(shell);
    shell.parts.window->attach(&shell);
    if (options.smokeConfig)
        beginSelfRun(shell, *options.smokeConfig);
    app.startAccountTimers();
    g_signal_connect(shell.window, "notify::is-active",
                     G_CALLBACK(+[](GObject* window, GParamSpec*, gpointer data) {
                         if (gtk_window_is_active(GTK_WINDOW(window)))
                             static_cast<Shell*>(data)->parts.app->manualRefresh();
                     }),
                     &shell);

    bool dark = app.defaults().string("studioAppearance").value_or("") == "dark";
    shell.host->setDarkAppearance(dark);
    shell.web = std::make_unique<WebKitStudioView>(shell.pageLink);
    shell.studio = std::make_unique<ExactInterface>(app, *shell.web, *shell.host, *shell.support,
                                                    page, studioParts(shell));
    if (shell.parts.cameraDevices)
        shell.parts.cameraDevices->attach(&shell.studio->cameras());
    shell.content = gtk_overlay_new();
    gtk_overlay_set_child(GTK_OVERLAY(shell.content), shell.web->widget());
    gtk_overlay_add_overlay(GTK_OVERLAY(shell.content), shell.video);
    g_signal_connect(shell.content, "get-child-position", G_CALLBACK(placeOverlayChild), &shell);
    gtk_window_set_child(GTK_WINDOW(shell.window), shell.content);
    // Images dropped anywhere on the window join the gallery.
    installImageFileDrop(shell.content, [&shell](std::vector<std::filesystem::path> paths) {
        if (!shell.studio)
            return;
        shell.studio->gallery().importFiles(std::move(paths));
        shell.studio->refresh();
    });
    if (!options.snapshotMode && !options.smokeConfig)
        shell.updateStart =
            app.loop().postDelayed(seconds(2.0), [&shell] { shell.support->start(); });

    // The first account refresh does not wait for the window manager's activation.
    app.refreshState();
    gtk_window_present(GTK_WINDOW(shell.window));
    gtk_widget_grab_focus(shell.web->widget());

    if (options.snapshotMode)
        beginSnapshot(shell);

    quitTarget = &shell;
    if (std::exchange(quitPending, false))
        requestQuit(shell);
}

gboolean quitSignal(gpointer) {
    if (quitTarget) {
        requestQuit(*quitTarget);
        return G_SOURCE_CONTINUE;
    }
    quitPending = true;
    // An alert before the window (another copy runs) is answered as if closed.
    abandonModalDialog();
    return G_SOURCE_CONTINUE;
}

} // namespace

void StudioPageLink::didReceiveMessage(const Json& body, bool mainFrame) {
    if (shell_.studio)
        shell_.studio->didReceiveMessage(body, mainFrame);
}

void StudioPageLink::didFinishLoad() {
    if (!shell_.studio)
        return;
    shell_.studio->didFinishLoad();
    // The capture waits for the page if it is not loaded by the time it is due.
    if (shell_.options && shell_.options->snapshotMode)
        snapshotPageLoaded(shell_);
}

// One texture per frame, borrowing the picture's pixels; both views show the same one.
void VideoLink::editedPictureArrived(const PicturePtr& picture) {
    if (!shell_ || !app_ || !app_->aiActive || app_->aiStopping || !picture)
        return;
    shell_->lastOutput = textureOf(picture);
    showTexture(shell_->aiOutput, shell_->lastOutput);
    showTexture(shell_->enlargedOutput, shell_->lastOutput);
}

void VideoLink::localPictureArrived(const PicturePtr& picture) {
    if (!shell_ || !app_ || !app_->aiActive || app_->aiStopping || !picture)
        return;
    showTexture(shell_->preview, textureOf(picture));
}

void VideoLink::outputPictureArrived(const PicturePtr& picture) {
    if (output_)
        output_->submit(picture);
}

void VideoLink::videoStatusChanged(const std::string& text) {
    if (app_)
        app_->videoStatus(text);
}

void VideoLink::videoFailed(const Error& error) {
    if (app_)
        endSessionOnVideoFailure(*app_, error);
}

void VideoLink::virtualCameraStatusChanged(const std::string& text) {
    if (app_)
        app_->outputStatus.text = text;
}

std::optional<std::string> WindowLink::selectedCameraID() const {
    return shell_ && shell_->studio ? shell_->studio->cameras().selectedCameraID() : std::nullopt;
}

void WindowLink::stopPreview() {
    if (shell_ && shell_->studio)
        shell_->studio->preview().stopPreview();
}

void WindowLink::showAIOutput() {
    if (shell_ && shell_->host)
        shell_->host->showAIOutput();
}

void WindowLink::clearAIPictures() {
    if (!shell_)
        return;
    showTexture(shell_->aiOutput, nullptr);
    showTexture(shell_->preview, nullptr);
    showTexture(shell_->enlargedOutput, nullptr);
    shell_->lastOutput.reset();
}

void WindowLink::renderWindowPNG(const std::filesystem::path& file) {
    if (shell_ && shell_->window)
        zarvo::renderWindowPNG(*shell_, file);
}

void takeQuitSignals() {
    g_unix_signal_add(SIGINT, quitSignal, nullptr);
    g_unix_signal_add(SIGTERM, quitSignal, nullptr);
}

int runApplication(const ShellParts& parts, const CommandLineOptions& options) {
    // NON_UNIQUE: the single-instance rule is ours, and must not depend on a session bus.
    auto owned = adoptRef(gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE));
    GtkApplication* application = owned.get();
    Shell shell;
    shell.parts = parts;
    shell.options = &options;
    g_signal_connect(application, "activate", G_CALLBACK(activate), &shell);
    g_signal_connect(application, "shutdown", G_CALLBACK(+[](GApplication*, gpointer data) {
                         auto* shell = static_cast<Shell*>(data);
                         quitTarget = nullptr;
                         shell->parts.window->attach(nullptr);
                         shell->parts.video->attach(static_cast<Shell*>(nullptr));
                         shell->selfRun.cancel();
                         shell->updateStart.cancel();
                         shell->snapshotPage.cancel();
                         shell->snapshotCapture.cancel();
                         if (shell->parts.cameraDevices)
                             shell->parts.cameraDevices->attach(nullptr);
                         if (shell->previewFrames)
                             shell->previewFrames->view = nullptr;
                         shell->studio.reset();
                         shell->parts.app->applicationWillTerminate();
                     }),
                     &shell);
    int status = g_application_run(G_APPLICATION(application), 0, nullptr);
    quitTarget = nullptr;
    shell.lastOutput.reset();
    shell.web.reset();
    owned.reset();
    return shell.failedStatus ? shell.failedStatus : status;
}

} // namespace zarvo
