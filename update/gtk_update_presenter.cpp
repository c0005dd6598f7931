#include "update/gtk_update_presenter.h"

#include "foundation/owned.h"

#include <gtk/gtk.h>

namespace zarvo {

namespace {

// Runs a dialog in a nested main loop until it answers; timers keep firing meanwhile.
int runModal(GtkDialog* dialog) {
    struct State {
        GRef<GMainLoop> loop;
        int response = GTK_RESPONSE_NONE;
    } state{adoptRef(g_main_loop_new(nullptr, FALSE))};
    g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog*, int response, gpointer data) {
                         auto* s = static_cast<State*>(data);
                         s->response = response;
                         g_main_loop_quit(s->loop.get());
                     }),
                     &state);
    gtk_window_present(GTK_WINDOW(dialog));
    g_main_loop_run(state.loop.get());
    return state.response;
}

} // namespace

GtkUpdatePresenter::GtkUpdatePresenter(std::function<GtkWindow*()> mainWindow,
                                       std::function<bool()> darkByDefault)
    : mainWindow_(std::move(mainWindow)), darkByDefault_(std::move(darkByDefault)) {}

bool GtkUpdatePresenter::canPresent() {
    if (modalDepth_ > 0)
        return false;
    // Another modal window of ours (a dialog of the camera setup or the gallery) is up.
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
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
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
    ++modalDepth_;
    int response = runModal(GTK_DIALOG(dialog));
    --modalDepth_;
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
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser.get()), TRUE);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser.get()), suggestedName.c_str());
    struct State {
        GRef<GMainLoop> loop;
        int response = GTK_RESPONSE_CANCEL;
    } state{adoptRef(g_main_loop_new(nullptr, FALSE))};
    g_signal_connect(chooser.get(), "response",
                     G_CALLBACK(+[](GtkNativeDialog*, int response, gpointer data) {
                         auto* s = static_cast<State*>(data);
                         s->response = response;
                         g_main_loop_quit(s->loop.get());
                     }),
                     &state);
    ++modalDepth_;
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser.get()));
    g_main_loop_run(state.loop.get());
    --modalDepth_;
    std::optional<std::filesystem::path> chosen;
    if (state.response == GTK_RESPONSE_ACCEPT) {
        if (auto file = adoptRef(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser.get())))) {
            if (GOwned<char> path{g_file_get_path(file.get())})
                chosen = std::filesystem::path(path.get());
        }
    }
    return chosen;
}

} // namespace zarvo
