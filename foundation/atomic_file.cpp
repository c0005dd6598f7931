#include "foundation/atomic_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sstream>
#include <unistd.h>

namespace zarvo {
namespace {

Status<> failure(const std::string& what) {
    return unexpected(Error{what + ": " + std::strerror(errno), errno});
}

} // namespace

Status<> writeFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    std::string pattern = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        return failure("create temporary file");
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            auto result = failure("write");
            ::close(fd);
            ::unlink(pattern.c_str());
            return result;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    // mkstemp creates 0600; user files keep the usual permissions.
    ::fchmod(fd, 0644);
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        auto result = failure("flush");
        ::unlink(pattern.c_str());
        return result;
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        auto result = failure("rename");
        ::unlink(pattern.c_str());
        return result;
    }
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
