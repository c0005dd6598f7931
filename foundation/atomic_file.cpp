#include "foundation/atomic_file.h"

#include "foundation/owned.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zarvo {
namespace {

Status<> failure(const std::string& what) {
    return unexpected(Error{what + ": " + std::strerror(errno), errno});
}

} // namespace

Status<> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                             mode_t mode) {
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    std::string pattern =
        (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    // mkstemp creates 0600, so a secret is never readable by others on its way in.
    UniqueFd fd(mkstemp(pattern.data()));
    if (!fd)
        return failure("create temporary file");
    auto fail = [&](const char* what) {
        auto result = failure(what);
        fd.reset();
        ::unlink(pattern.c_str());
        return result;
    };
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("write");
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (mode != 0600 && ::fchmod(fd.get(), mode) != 0)
        return fail("set permissions");
    if (::fsync(fd.get()) != 0)
        return fail("flush");
    if (fd.close() != 0) {
        auto result = failure("flush");
        ::unlink(pattern.c_str());
        return result;
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        auto result = failure("rename");
        ::unlink(pattern.c_str());
        return result;
    }
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
    if (UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
    return Ok{};
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return out.str();
}

} // namespace zarvo
