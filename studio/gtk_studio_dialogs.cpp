#include "studio/gtk_studio_dialogs.h"

#include "foundation/gtk_modal.h"
#include "foundation/owned.h"

#include <gtk/gtk.h>

#include <memory>

namespace zarvo {

namespace {

GtkWidget* messageDialog(GtkWindow* parent, const std::string& message,
                         const std::string& informative) {
    return newMessageDialog(parent, GTK_MESSAGE_OTHER, message, informative);
}

} // namespace

GtkStudioDialogs::GtkStudioDialogs(std::function<GtkWindow*()> parent)
    : parent_(std::move(parent)) {}

GtkStudioDialogs::~GtkStudioDialogs() {
    if (previewWindow_)
        gtk_window_destroy(previewWindow_);
}

void GtkStudioDialogs::alert(const std::string& message, const std::string& informative) {
    GtkWidget* dialog = messageDialog(parent_ ? parent_() : nullptr, message, informative);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "好", GTK_RESPONSE_OK);
    runModalDialog(dialog);
    gtk_window_destroy(GTK_WINDOW(dialog));
}

bool GtkStudioDialogs::confirm(const std::string& message, const std::string& informative,
                               const std::string& confirmTitle, const std::string& cancelTitle) {
    GtkWidget* dialog = messageDialog(parent_ ? parent_() : nullptr, message, informative);
    gtk_dialog_add_button(GTK_DIALOG(dialog), confirmTitle.c_str(), GTK_RESPONSE_ACCEPT);
    gtk_dialog_add_button(GTK_DIALOG(dialog), cancelTitle.c_str(), GTK_RESPONSE_CANCEL);
    const bool confirmed = runModalDialog(dialog) == GTK_RESPONSE_ACCEPT;
    gtk_window_destroy(GTK_WINDOW(dialog));
    return confirmed;
}

std::optional<std::string> GtkStudioDialogs::askPresetName() {
    GtkWidget* dialog = messageDialog(parent_ ? parent_() : nullptr, "保存当前预设", "");
    gtk_dialog_add_button(GTK_DIALOG(dialog), "保存", GTK_RESPONSE_ACCEPT);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "取消", GTK_RESPONSE_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_placeholder_text(GTK_ENTRY(entry), "预设名称");
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_widget_set_size_request(entry, 280, 24);
    gtk_box_append(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))), entry);
    std::optional<std::string> name;
    if (runModalDialog(dialog) == GTK_RESPONSE_ACCEPT)
        name = gtk_editable_get_text(GTK_EDITABLE(entry));
    gtk_window_destroy(GTK_WINDOW(dialog));
    return name;
}

std::optional<std::vector<std::filesystem::path>> GtkStudioDialogs::chooseImages(bool multiple) {
    auto chooser = adoptRef(gtk_file_chooser_native_new(
        "选择参考图", parent_ ? parent_() : nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, "打开", "取消"));
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser.get()), multiple);
    const int response = runModalNativeDialog(GTK_NATIVE_DIALOG(chooser.get()));

    std::optional<std::vector<std::filesystem::path>> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        chosen.emplace();
        auto files = adoptRef(gtk_file_chooser_get_files(GTK_FILE_CHOOSER(chooser.get())));
        for (guint i = 0; i < g_list_model_get_n_items(files.get()); ++i) {
            auto file = adoptRef(G_FILE(g_list_model_get_item(files.get(), i)));
            if (GOwned<char> path{g_file_get_path(file.get())})
                chosen->emplace_back(path.get());
        }
    }
    return chosen;
}

bool GtkStudioDialogs::showPreview(const std::string& title, const std::filesystem::path& file) {
    GErrorHolder error;
    auto texture = adoptRef(gdk_texture_new_from_filename(file.c_str(), error.out()));
    if (!texture)
        return false;
    if (previewWindow_)
        gtk_window_destroy(previewWindow_);
    GtkWidget* window = gtk_window_new();
    previewWindow_ = GTK_WINDOW(window);
    gtk_window_set_title(previewWindow_, title.c_str());
    gtk_window_set_default_size(previewWindow_, 720, 540);
    gtk_window_set_resizable(previewWindow_, TRUE);
    gtk_window_set_hide_on_close(previewWindow_, TRUE);
    if (GtkWindow* parent = parent_ ? parent_() : nullptr)
        gtk_window_set_transient_for(previewWindow_, parent);
    GtkWidget* picture = gtk_picture_new_for_paintable(GDK_PAINTABLE(texture.get()));
    gtk_picture_set_content_fit(GTK_PICTURE(picture), GTK_CONTENT_FIT_CONTAIN);
    gtk_picture_set_can_shrink(GTK_PICTURE(picture), TRUE);
    gtk_window_set_child(previewWindow_, picture);
    gtk_window_present(previewWindow_);
    return true;
}

void installImageFileDrop(GtkWidget* widget,
                          std::function<void(std::vector<std::filesystem::path>)> dropped) {
    GtkDropTarget* target = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
    auto* callback =
        new std::function<void(std::vector<std::filesystem::path>)>(std::move(dropped));
    g_object_set_data_full(G_OBJECT(target), "zarvo-dropped", callback, [](gpointer data) {
        delete static_cast<std::function<void(std::vector<std::filesystem::path>)>*>(data);
    });
    g_signal_connect(
        target, "drop",
        G_CALLBACK(+[](GtkDropTarget* target, const GValue* value, double, double,
                       gpointer) -> gboolean {
            if (!G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST))
                return FALSE;
            std::vector<std::filesystem::path> paths;
            for (GSList* item = static_cast<GSList*>(g_value_get_boxed(value)); item;
                 item = item->next)
                if (GOwned<char> path{g_file_get_path(G_FILE(item->data))})
                    paths.emplace_back(path.get());
            if (paths.empty())
                return FALSE;
            auto* callback = static_cast<std::function<void(std::vector<std::filesystem::path>)>*>(
                g_object_get_data(G_OBJECT(target), "zarvo-dropped"));
            // Importing shows dialogs; leave the drop handler first.
            auto* pending = new std::pair(*callback, std::move(paths));
            g_idle_add_once(
                [](gpointer data) {
                    std::unique_ptr<
                        std::pair<std::function<void(std::vector<std::filesystem::path>)>,
                                  std::vector<std::filesystem::path>>>
                        job(static_cast<
                            std::pair<std::function<void(std::vector<std::filesystem::path>)>,
                                      std::vector<std::filesystem::path>>*>(data));
                    job->first(std::move(job->second));
                },
                pending);
            return TRUE;
        }),
        nullptr);
    // Taken before the children see it, so a drop on the web view imports instead of navigating.
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(target), GTK_PHASE_CAPTURE);
    gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(target));
}

} // namespace zarvo
