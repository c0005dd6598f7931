#include "app/app.h"

namespace zarvo {

App::App(Loop& loop, UserDefaults& defaults)
    : usageSyncedAt(loop.now()), loop_(loop), defaults_(defaults) {
    for (int tag = 0; tag < 4; ++tag)
        modeButtons.push_back({tag, false});
}

App::~App() = default;

} // namespace zarvo
