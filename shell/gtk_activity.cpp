#include "shell/gtk_activity.h"

#include "foundation/owned.h"

#include <gtk/gtk.h>

#include <utility>

namespace zarvo {
namespace {

// Holds one inhibition; moving it hands the inhibition over, so it is released exactly once.
class InhibitToken final : public ActivityToken {
public:
    InhibitToken(GtkApplication* application, guint cookie)
        : application_(retainRef(application)), cookie_(cookie) {}
    ~InhibitToken() override {
        if (application_ && cookie_)
            gtk_application_uninhibit(application_.get(), cookie_);
    }
    InhibitToken(const InhibitToken&) = delete;
    InhibitToken& operator=(const InhibitToken&) = delete;
    InhibitToken(InhibitToken&& other) noexcept
        : application_(std::move(other.application_)), cookie_(std::exchange(other.cookie_, 0)) {}
    InhibitToken& operator=(InhibitToken&&) = delete;

private:
    GRef<GtkApplication> application_;
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
