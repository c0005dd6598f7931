// The entry point of Zarvo: link the storage folder, refuse a second instance, create App and run
// the application loop.
#pragma once

#include <string>
#include <vector>

namespace zarvo {

struct Color {
    double red, green, blue, alpha;
};
// The accent colour of buttons and highlights.
inline constexpr Color accent{0.36, 0.36, 0.84, 1.0};

inline constexpr const char* kStorageMigrationFailed =
    "Zarvo storage migration failed; existing data preserved.\n";
inline constexpr const char* kInstanceConflictMessage = "已有 Zarvo 或旧版工作台正在运行";
inline constexpr const char* kInstanceConflictButton = "知道了";
// "…再启动 <version>。…": the version comes from the build.
std::string instanceConflictInformativeText();

// Returns the process exit status.
int runZarvo(const std::vector<std::string>& arguments);

} // namespace zarvo
