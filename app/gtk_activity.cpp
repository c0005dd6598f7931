#include "app/gtk_activity.h"

#include <gtk/gtk.h>

namespace zarvo {
namespace {

class InhibitToken final : public ActivityToken {
public:
    InhibitToken(GtkApplication* application, guint cookie)
        : application_(GTK_APPLICATION(g_object_ref(application))), cookie_(cookie) {}
    ~InhibitToken() override {
        gtk_application_uninhibit(application_, cookie_);
        g_object_unref(application_);
    }

private:
    GtkApplication* application_;
    guint cookie_;
};

} // namespace

std::unique_ptr<ActivityToken> GtkSystemActivity::begin(const std::string& reason) {
    GApplication* application = g_application_get_default();
    if (!application || !GTK_IS_APPLICATION(application))
        return nullptr;
    auto* gtkApplication = GTK_APPLICATION(application);
    guint cookie =
        gtk_application_inhibit(gtkApplication, gtk_application_get_active_window(gtkApplication),
                                static_cast<GtkApplicationInhibitFlags>(
                                    GTK_APPLICATION_INHIBIT_IDLE | GTK_APPLICATION_INHIBIT_SUSPEND),
                                reason.c_str());
    if (cookie == 0)
        return nullptr;
    return std::make_unique<InhibitToken>(gtkApplication, cookie);
}

} // namespace zarvo
