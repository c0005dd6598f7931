// The system activity of a running session on GTK: an idle and suspend inhibition of the
// application, released when the token is destroyed.
#pragma once

#include "app/app.h"

namespace zarvo {

class GtkSystemActivity final : public SystemActivity {
public:
    // Inhibits on the running GtkApplication; none when there is none or the desktop refused.
    std::unique_ptr<ActivityToken> begin(const std::string& reason) override;
};

} // namespace zarvo
