#include "updater/launcher_entry.h"

#include "foundation/atomic_file.h"
#include "foundation/owned.h"
#include "foundation/paths.h"
#include "foundation/process.h"

#include <glib.h>

namespace zarvo::updater {

bool registerApplication(const std::filesystem::path& app) {
    const auto folder = applicationSupportDirectory() / "applications";
    // Exec takes a quoted path; backslash, quote, backtick and dollar are escaped inside quotes.
    std::string executable = (app / "Contents/MacOS/Zarvo").string(), quoted;
    for (char c : executable) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += "\\\\";
        quoted += c;
    }
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Zarvo\nExec=\"" + quoted +
                              "\"\nPath=" + app.string() +
                              "\nTerminal=false\nCategories=AudioVideo;Video;\n";
    if (!writeFileAtomically(folder / "cn.zarvo.morvex.workbench.desktop", entry))
        return false;
    if (GOwned<gchar> tool{g_find_program_in_path("update-desktop-database")})
        (void)command(tool.get(), {folder.string()});
    return true;
}

} // namespace zarvo::updater
