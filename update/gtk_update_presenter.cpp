#include "update/gtk_update_presenter.h"

#include "foundation/gtk_modal.h"
#include "foundation/owned.h"

#include <gtk/gtk.h>

namespace zarvo {

GtkUpdatePresenter::GtkUpdatePresenter(std::function<GtkWindow*()> mainWindow,
                                       std::function<bool()> darkByDefault)
    : mainWindow_(std::move(mainWindow)), darkByDefault_(std::move(darkByDefault)) {}

bool GtkUpdatePresenter::canPresent() {
    // Another dialog of ours is up (the camera setup's, the gallery's, one of our own), or another
    // modal window.
    if (modalDialogRunning())
        return false;
    GListModel* windows = gtk_window_get_toplevels();
    for (guint i = 0; i < g_list_model_get_n_items(windows); ++i) {
        auto window = adoptRef(GTK_WINDOW(g_list_model_get_item(windows, i)));
        bool modal =
            gtk_widget_get_visible(GTK_WIDGET(window.get())) && gtk_window_get_modal(window.get());
        if (modal)
            return false;
    }
    return true;
}

int GtkUpdatePresenter::run(const std::string& title, const std::string& message,
                            const std::string& notes, const std::vector<std::string>& buttons) {
    GtkWindow* parent = mainWindow_ ? mainWindow_() : nullptr;
    if (!parent)
        g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme",
                     darkByDefault_ && darkByDefault_(), nullptr);
    GtkWidget* dialog = newMessageDialog(parent, GTK_MESSAGE_INFO, title, message);
    for (size_t i = 0; i < buttons.size(); ++i)
        gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), int(i));
    if (!notes.empty()) {
        GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
        GtkWidget* scroll = gtk_scrolled_window_new();
        gtk_widget_set_size_request(scroll, 460, 210);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                       GTK_POLICY_AUTOMATIC);
        gtk_scrolled_window_set_has_frame(GTK_SCROLLED_WINDOW(scroll), TRUE);
        GtkWidget* text = gtk_text_view_new();
        gtk_text_view_set_editable(GTK_TEXT_VIEW(text), FALSE);
        gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(text), GTK_WRAP_WORD_CHAR);
        gtk_text_view_set_left_margin(GTK_TEXT_VIEW(text), 10);
        gtk_text_view_set_right_margin(GTK_TEXT_VIEW(text), 10);
        gtk_text_view_set_top_margin(GTK_TEXT_VIEW(text), 10);
        gtk_text_view_set_bottom_margin(GTK_TEXT_VIEW(text), 10);
        gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(text)), notes.c_str(), -1);
        gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroll), text);
        gtk_box_append(GTK_BOX(area), scroll);
    }
    const int response = runModalDialog(dialog);
    gtk_window_destroy(GTK_WINDOW(dialog));
    return response >= 0 && response < int(buttons.size()) ? response : -1;
}

void GtkUpdatePresenter::alert(const std::string& title, const std::string& message) {
    run(title, message, "", {"知道了"});
}

int GtkUpdatePresenter::showRelease(const ReleaseDialog& dialog) {
    return run(dialog.title, dialog.text, dialog.notes, dialog.buttons);
}

int GtkUpdatePresenter::confirm(const std::string& title, const std::string& message,
                                const std::vector<std::string>& buttons) {
    return run(title, message, "", buttons);
}

std::optional<std::filesystem::path>
GtkUpdatePresenter::chooseSaveLocation(const std::string& suggestedName,
                                       const std::string& message) {
    GtkWindow* parent = mainWindow_ ? mainWindow_() : nullptr;
    auto chooser = adoptRef(gtk_file_chooser_native_new(
        message.c_str(), parent, GTK_FILE_CHOOSER_ACTION_SAVE, "保存", "取消"));
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser.get()), suggestedName.c_str());
    const int response = runModalNativeDialog(GTK_NATIVE_DIALOG(chooser.get()));
    std::optional<std::filesystem::path> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        if (auto file = adoptRef(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser.get())))) {
            if (GOwned<char> path{g_file_get_path(file.get())})
                chosen = std::filesystem::path(path.get());
        }
    }
    return chosen;
}

} // namespace zarvo
