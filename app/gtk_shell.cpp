#include "app/gtk_shell.h"

#include "app/app.h"
#include "app/command_line.h"
#include "foundation/atomic_file.h"
#include "media/camera_devices.h"
#include "media/camera_selection.h"
#include "media/rtc_bridge.h"
#include "media/virtual_camera.h"
#include "version.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <iostream>
#include <vector>

namespace zarvo {

void showModalAlert(const std::string& message, const std::string& informative,
                    const std::string& button) {
    if (!gtk_init_check()) {
        std::cerr << message << "\n" << informative << "\n";
        return;
    }
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                               GTK_BUTTONS_NONE, "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informative.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), button.c_str(), GTK_RESPONSE_OK);
    gtk_window_set_title(GTK_WINDOW(dialog), "Zarvo");

    // GTK 4 has no synchronous dialog run; spin a nested loop until the dialog answers or closes.
    GMainLoop* nested = g_main_loop_new(nullptr, FALSE);
    auto quit =
        +[](GtkDialog*, int, gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); };
    g_signal_connect(dialog, "response", G_CALLBACK(quit), nested);
    gtk_window_present(GTK_WINDOW(dialog));
    g_main_loop_run(nested);
    g_main_loop_unref(nested);
    gtk_window_destroy(GTK_WINDOW(dialog));
}

namespace {

GdkTexture* textureOf(const PicturePtr& picture) {
    // The texture borrows the picture's pixels and keeps the picture alive with them.
    auto* keep = new PicturePtr(picture);
    GBytes* bytes = g_bytes_new_with_free_func(
        picture->data(), picture->byteCount(),
        [](gpointer p) { delete static_cast<PicturePtr*>(p); }, keep);
    GdkTexture* texture = gdk_memory_texture_new(picture->width(), picture->height(),
                                                 GDK_MEMORY_B8G8R8A8_PREMULTIPLIED, bytes,
                                                 static_cast<gsize>(picture->stride()));
    g_bytes_unref(bytes);
    return texture;
}

void showPicture(GtkPicture* view, const PicturePtr& picture) {
    if (!picture) {
        gtk_picture_set_paintable(view, nullptr);
        return;
    }
    GdkTexture* texture = textureOf(picture);
    gtk_picture_set_paintable(view, GDK_PAINTABLE(texture));
    g_object_unref(texture);
}

// The view the RTC bridge installs as its output; main thread only.
class GtkPictureView final : public PictureView {
public:
    explicit GtkPictureView(GtkPicture* view) : view_(view) {}
    void setPicture(PicturePtr picture) override { showPicture(view_, picture); }

private:
    GtkPicture* view_;
};

struct Shell {
    ShellParts parts;
    const CommandLineOptions* options = nullptr;
    GtkApplication* application = nullptr;
    GtkWidget* window = nullptr;
    GtkLabel* badge = nullptr;
    GtkLabel* status = nullptr;
    GtkLabel* points = nullptr;
    GtkLabel* sync = nullptr;
    GtkLabel* duration = nullptr;
    GtkLabel* liveDuration = nullptr;
    GtkLabel* output = nullptr;
    GtkLabel* referenceName = nullptr;
    GtkLabel* switchNotice = nullptr;
    GtkPicture* aiOutput = nullptr;
    GtkPicture* localPicture = nullptr;
    std::vector<GtkToggleButton*> modeButtons;
    GtkDropDown* cameraChooser = nullptr;
    std::vector<std::string> cameraIDs;
    std::shared_ptr<GtkPictureView> outputView;
    TimerHandle refresh;
    TimerHandle selfRun;
    bool quitting = false;
    bool syncingModes = false;
};

void renderWindowPNG(Shell& shell, const std::filesystem::path& file);

void setText(GtkLabel* label, const std::string& text) {
    if (std::string(gtk_label_get_text(label)) != text)
        gtk_label_set_text(label, text.c_str());
}

void refreshLabels(Shell& shell) {
    App& app = *shell.parts.app;
    setText(shell.badge, app.sessionBadge.text);
    setText(shell.status, app.status.text);
    setText(shell.points, app.pointsLabel.text);
    setText(shell.sync, app.syncLabel.text);
    setText(shell.duration, app.durationLabel.text);
    setText(shell.liveDuration, app.liveDuration.text);
    setText(shell.output, app.outputStatus.text);
    setText(shell.referenceName, app.referenceName.text);
    setText(shell.switchNotice, app.switchNotice);
    shell.syncingModes = true;
    for (size_t i = 0; i < shell.modeButtons.size(); ++i)
        gtk_toggle_button_set_active(shell.modeButtons[i], app.modeButtons[i].selectedMode);
    shell.syncingModes = false;
}

GtkLabel* addLabel(GtkBox* box, const std::string& text, const char* cssClass = nullptr) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    if (cssClass)
        gtk_widget_add_css_class(label, cssClass);
    gtk_box_append(box, label);
    return GTK_LABEL(label);
}

GtkWidget* addButton(GtkBox* box, const char* title, GCallback callback, Shell* shell) {
    GtkWidget* button = gtk_button_new_with_label(title);
    g_signal_connect(button, "clicked", callback, shell);
    gtk_box_append(box, button);
    return button;
}

void loadReference(Shell& shell, const std::string& path) {
    auto bytes = readFile(path);
    if (!bytes || bytes->empty())
        return;
    App& app = *shell.parts.app;
    app.selectedReferenceData = *bytes;
    app.referenceName.text = std::filesystem::path(path).filename().string();
}

void chooseReference(GtkButton*, gpointer data) {
    auto* shell = static_cast<Shell*>(data);
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        "选择参考图", GTK_WINDOW(shell->window), GTK_FILE_CHOOSER_ACTION_OPEN, "选择", "取消");
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_add_pixbuf_formats(filter);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
    g_object_unref(filter);
    g_signal_connect(chooser, "response",
                     G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
                         auto* shell = static_cast<Shell*>(data);
                         if (response == GTK_RESPONSE_ACCEPT) {
                             GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
                             if (char* path = g_file_get_path(file)) {
                                 loadReference(*shell, path);
                                 shell->parts.app->defaults().set("referencePath", path);
                                 g_free(path);
                             }
                             g_object_unref(file);
                         }
                         g_object_unref(dialog);
                     }),
                     shell);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

void listCameras(Shell& shell) {
    App& app = *shell.parts.app;
    std::vector<std::string> names;
    shell.cameraIDs.clear();
    for (const auto& device : availableCameraDevices()) {
        shell.cameraIDs.push_back(device.uniqueID);
        names.push_back(device.localizedName);
    }
    std::vector<const char*> items;
    for (const auto& name : names)
        items.push_back(name.c_str());
    if (items.empty())
        items.push_back("未检测到摄像头");
    items.push_back(nullptr);
    GtkStringList* model = gtk_string_list_new(items.data());
    gtk_drop_down_set_model(shell.cameraChooser, G_LIST_MODEL(model));
    g_object_unref(model);
    gtk_widget_set_sensitive(GTK_WIDGET(shell.cameraChooser), !shell.cameraIDs.empty());
    if (shell.cameraIDs.empty()) {
        app.placeholder.text = "连接摄像头后会自动刷新，无需重启";
        return;
    }
    auto choice = CameraSelection::update(shell.cameraIDs, std::nullopt,
                                          app.defaults().string("cameraID"), std::nullopt);
    for (size_t i = 0; i < shell.cameraIDs.size(); ++i)
        if (choice.select && shell.cameraIDs[i] == *choice.select)
            gtk_drop_down_set_selected(shell.cameraChooser, static_cast<guint>(i));
}

std::optional<std::string> selectedCamera(const Shell& shell) {
    guint index = gtk_drop_down_get_selected(shell.cameraChooser);
    if (index == GTK_INVALID_LIST_POSITION || index >= shell.cameraIDs.size())
        return std::nullopt;
    return shell.cameraIDs[index];
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
    refreshLabels(*shell);
    return TRUE;
}

void buildWindow(Shell& shell) {
    App& app = *shell.parts.app;
    shell.window = gtk_application_window_new(shell.application);
    gtk_window_set_title(GTK_WINDOW(shell.window), (std::string("Zarvo · ") + kVersion).c_str());
    gtk_window_set_default_size(GTK_WINDOW(shell.window), 1240, 840);
    gtk_widget_set_size_request(shell.window, 1100, 800);
    g_signal_connect(shell.window, "close-request", G_CALLBACK(closeRequested), &shell);

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css,
                                    ".badge { font-size: 20px; font-weight: bold; color: #5c5cd6; }"
                                    ".output { background: black; }"
                                    ".side { padding: 16px; }",
                                    -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    GtkWidget* root = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    GtkWidget* side = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_widget_add_css_class(side, "side");
    gtk_widget_set_size_request(side, 340, -1);
    GtkBox* box = GTK_BOX(side);
    shell.badge = addLabel(box, app.sessionBadge.text, "badge");
    shell.status = addLabel(box, app.status.text);
    shell.points = addLabel(box, app.pointsLabel.text);
    shell.sync = addLabel(box, app.syncLabel.text);
    shell.duration = addLabel(box, app.durationLabel.text);
    shell.liveDuration = addLabel(box, app.liveDuration.text);
    shell.output = addLabel(box, app.outputStatus.text);

    addLabel(box, "摄像头");
    shell.cameraChooser = GTK_DROP_DOWN(gtk_drop_down_new(nullptr, nullptr));
    gtk_box_append(box, GTK_WIDGET(shell.cameraChooser));
    g_signal_connect(shell.cameraChooser, "notify::selected",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                         auto* shell = static_cast<Shell*>(data);
                         if (auto id = selectedCamera(*shell))
                             shell->parts.app->defaults().set("cameraID", *id);
                     }),
                     &shell);

    addLabel(box, "编辑模式");
    GtkWidget* modes = gtk_grid_new();
    for (const auto& mode : app.modeButtons) {
        GtkWidget* button = gtk_toggle_button_new_with_label(mode.title.c_str());
        g_object_set_data(G_OBJECT(button), "tag", GINT_TO_POINTER(mode.tag));
        g_signal_connect(button, "toggled", G_CALLBACK(+[](GtkToggleButton* button, gpointer data) {
                             auto* shell = static_cast<Shell*>(data);
                             if (shell->syncingModes || !gtk_toggle_button_get_active(button))
                                 return;
                             int tag = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "tag"));
                             shell->parts.app->selectMode(tag);
                             refreshLabels(*shell);
                         }),
                         &shell);
        gtk_grid_attach(GTK_GRID(modes), button, mode.tag % 2, mode.tag / 2, 1, 1);
        shell.modeButtons.push_back(GTK_TOGGLE_BUTTON(button));
    }
    gtk_box_append(box, modes);

    addLabel(box, "参考图");
    shell.referenceName = addLabel(box, app.referenceName.text);
    addButton(box, "选择参考图…", G_CALLBACK(chooseReference), &shell);
    shell.switchNotice = addLabel(box, app.switchNotice);

    addButton(box, "开启 AI", G_CALLBACK(+[](GtkButton*, gpointer data) {
                  auto* shell = static_cast<Shell*>(data);
                  shell->parts.app->startAI();
                  refreshLabels(*shell);
              }),
              &shell);
    addButton(box, "停止 AI", G_CALLBACK(+[](GtkButton*, gpointer data) {
                  auto* shell = static_cast<Shell*>(data);
                  shell->parts.app->stopAI();
                  refreshLabels(*shell);
              }),
              &shell);
    gtk_box_append(GTK_BOX(root), side);

    // A paned split sizes the two pictures by position rather than by their 1280 × 720 frames.
    GtkWidget* pictures = gtk_paned_new(GTK_ORIENTATION_VERTICAL);
    gtk_widget_set_hexpand(pictures, TRUE);
    shell.aiOutput = GTK_PICTURE(gtk_picture_new());
    gtk_widget_add_css_class(GTK_WIDGET(shell.aiOutput), "output");
    gtk_paned_set_start_child(GTK_PANED(pictures), GTK_WIDGET(shell.aiOutput));
    shell.localPicture = GTK_PICTURE(gtk_picture_new());
    gtk_paned_set_end_child(GTK_PANED(pictures), GTK_WIDGET(shell.localPicture));
    gtk_paned_set_resize_end_child(GTK_PANED(pictures), FALSE);
    gtk_paned_set_shrink_start_child(GTK_PANED(pictures), TRUE);
    gtk_paned_set_shrink_end_child(GTK_PANED(pictures), TRUE);
    gtk_paned_set_position(GTK_PANED(pictures), 600);
    gtk_box_append(GTK_BOX(root), pictures);

    gtk_window_set_child(GTK_WINDOW(shell.window), root);
}

void wire(Shell& shell) {
    App& app = *shell.parts.app;
    auto& bridge = *shell.parts.bridge;
    shell.outputView = std::make_shared<GtkPictureView>(shell.aiOutput);
    bridge.install(shell.outputView);
    bridge.onStatus = [&app](const std::string& text) { app.videoStatus(text); };
    bridge.onFrame = [&shell, &app](const PicturePtr& picture) {
        if (app.aiActive && !app.aiStopping)
            showPicture(shell.aiOutput, picture);
    };
    bridge.onLocalFrame = [&shell, &app](const PicturePtr& picture) {
        if (app.aiActive && !app.aiStopping)
            showPicture(shell.localPicture, picture);
    };
    if (auto* camera = shell.parts.virtualCamera) {
        bridge.onOutputFrame = [camera](const PicturePtr& picture) { camera->submit(picture); };
        camera->onStatus = [&app](const std::string& text) { app.outputStatus.text = text; };
    }
    app.hooks.selectedCameraID = [&shell] { return selectedCamera(shell); };
    app.hooks.clearAIPictures = [&shell] {
        showPicture(shell.aiOutput, nullptr);
        showPicture(shell.localPicture, nullptr);
    };
    app.hooks.modeButtonsChanged = [&shell] { refreshLabels(shell); };
    app.hooks.renderWindowPNG = [&shell](const std::filesystem::path& file) {
        renderWindowPNG(shell, file);
    };
}

// Renders the window's content as it is on screen into a PNG file; failures are ignored.
void renderWindowPNG(Shell& shell, const std::filesystem::path& file) {
    GtkWidget* content = gtk_window_get_child(GTK_WINDOW(shell.window));
    int width = gtk_widget_get_width(content), height = gtk_widget_get_height(content);
    GtkNative* native = gtk_widget_get_native(content);
    if (width <= 0 || height <= 0 || !native || !gtk_native_get_renderer(native))
        return;
    GdkPaintable* paintable = gtk_widget_paintable_new(content);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    if (node) {
        graphene_rect_t bounds =
            GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
        GdkTexture* texture =
            gsk_renderer_render_texture(gtk_native_get_renderer(native), node, &bounds);
        gdk_texture_save_to_png(texture, file.c_str());
        g_object_unref(texture);
        gsk_render_node_unref(node);
    }
    g_object_unref(paintable);
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
    shell.selfRun = app.loop().postDelayed(seconds(2.0), [&shell, &app, image] {
        app.smokeStarted = app.loop().now();
        if (app.smokeReport) {
            (void)writeFileAtomically(*app.smokeReport, R"({"stage":"starting"})");
            renderWindowPNG(shell, *app.smokeReport + ".startup.png");
        }
        loadReference(shell, image);
        app.startAI();
        refreshLabels(shell);
    });
}

// SIGINT and SIGTERM take the same way out as closing the window, so a session is stopped first.
gboolean quitSignal(gpointer data) {
    auto* shell = static_cast<Shell*>(data);
    if (shell->window && !closeRequested(GTK_WINDOW(shell->window), shell))
        g_application_quit(G_APPLICATION(shell->application));
    return G_SOURCE_CONTINUE;
}

void activate(GtkApplication* application, gpointer data) {
    auto& shell = *static_cast<Shell*>(data);
    if (shell.window) {
        gtk_window_present(GTK_WINDOW(shell.window));
        return;
    }
    App& app = *shell.parts.app;
    shell.application = application;
    if (auto mode = app.defaults().integer("editingMode"); mode && *mode >= 0 && *mode < 4)
        app.modeButtons[static_cast<size_t>(*mode)].selectedMode = true;
    else
        app.modeButtons[0].selectedMode = true;
    buildWindow(shell);
    listCameras(shell);
    if (auto path = app.defaults().string("referencePath"))
        loadReference(shell, *path);
    wire(shell);
    app.routes.check();
    app.refreshState();
    app.startAccountTimers();
    shell.refresh = app.loop().repeating(milliseconds(250), [&shell] { refreshLabels(shell); });
    refreshLabels(shell);
    gtk_window_present(GTK_WINDOW(shell.window));
    if (shell.options->smokeConfig)
        beginSelfRun(shell, *shell.options->smokeConfig);
}

} // namespace

int runApplication(const ShellParts& parts, const CommandLineOptions& options) {
    // NON_UNIQUE: the single-instance rule is ours, and must not depend on a session bus.
    GtkApplication* application = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    Shell shell;
    shell.parts = parts;
    shell.options = &options;
    g_signal_connect(application, "activate", G_CALLBACK(activate), &shell);
    g_signal_connect(application, "shutdown", G_CALLBACK(+[](GApplication*, gpointer data) {
                         auto* shell = static_cast<Shell*>(data);
                         shell->refresh.cancel();
                         shell->selfRun.cancel();
                         shell->parts.app->applicationWillTerminate();
                     }),
                     &shell);
    guint interrupt = g_unix_signal_add(SIGINT, quitSignal, &shell);
    guint terminate = g_unix_signal_add(SIGTERM, quitSignal, &shell);
    int status = g_application_run(G_APPLICATION(application), 0, nullptr);
    g_source_remove(interrupt);
    g_source_remove(terminate);
    g_object_unref(application);
    return status;
}

} // namespace zarvo
