#include "media/camera_chooser_gtk.h"

#include <gtk/gtk.h>

#include <vector>

namespace zarvo {

namespace {

void selectedChanged(GObject* object, GParamSpec*, gpointer data) {
    const guint index = gtk_drop_down_get_selected(GTK_DROP_DOWN(object));
    if (index != GTK_INVALID_LIST_POSITION)
        static_cast<CameraChooser*>(data)->userPicked(index);
}

} // namespace

void bindCameraDropDown(GtkDropDown* dropDown, CameraChooser& chooser) {
    g_signal_connect(dropDown, "notify::selected", G_CALLBACK(selectedChanged), &chooser);
    showCameraMenu(dropDown, chooser);
}

void showCameraMenu(GtkDropDown* dropDown, const CameraChooser& chooser) {
    g_signal_handlers_block_matched(dropDown, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                    reinterpret_cast<gpointer>(selectedChanged), nullptr);
    std::vector<const char*> items;
    for (const auto& item : chooser.menuItems)
        items.push_back(item.c_str());
    items.push_back(nullptr);
    GtkStringList* model = gtk_string_list_new(items.data());
    gtk_drop_down_set_model(dropDown, G_LIST_MODEL(model));
    g_object_unref(model);
    gtk_drop_down_set_selected(dropDown, chooser.selectedIndex ? guint(*chooser.selectedIndex)
                                                               : GTK_INVALID_LIST_POSITION);
    gtk_widget_set_sensitive(GTK_WIDGET(dropDown), chooser.menuEnabled);
    g_signal_handlers_unblock_matched(dropDown, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                      reinterpret_cast<gpointer>(selectedChanged), nullptr);
}

} // namespace zarvo
