#include "app/credential_store.h"

#include "foundation/atomic_file.h"
#include "foundation/owned.h"
#include "foundation/thread_check.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zarvo {

std::optional<std::string> readPrivateCredentialFile(const std::filesystem::path& path) {
    if (path.empty())
        return std::nullopt;
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    const int fd = file.get();
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & S_IRUSR) == 0 || (info.st_mode & (S_IRGRP | S_IROTH)) != 0 ||
        info.st_size > 64 * 1024)
        return std::nullopt;
    std::string data;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return data;
        data.append(buffer, static_cast<size_t>(n));
    }
}

CredentialRead FileCredentialStore::read() {
    return readPrivateCredentialFile(file_);
}

CredentialWrite FileCredentialStore::write(const std::string& token) {
    const auto folder = file_.parent_path();
    std::error_code ec;
    if (!folder.empty()) {
        if (!std::filesystem::exists(folder, ec)) {
            std::filesystem::create_directories(folder, ec);
            if (ec)
                return unexpected(std::string("无法创建保存账户凭据的文件夹"));
        }
        // The folder holds the credential: its owner alone may look into it.
        struct stat info {};
        if (::stat(folder.c_str(), &info) == 0 && info.st_uid == ::geteuid() &&
            (info.st_mode & 07777) != 0700)
            ::chmod(folder.c_str(), 0700);
    }
    if (!writeFileAtomically(file_, token + "\n", 0600).ok())
        return unexpected(std::string("无法写入账户凭据文件"));
    return Ok{};
}

CredentialWrite FileCredentialStore::erase() {
    if (::unlink(file_.c_str()) != 0 && errno != ENOENT)
        return unexpected(std::string("无法删除账户凭据文件"));
    return Ok{};
}

CredentialKeeper::CredentialKeeper(Loop& loop, std::shared_ptr<CredentialStore> store)
    : loop_(loop), store_(std::move(store)) {}

CredentialKeeper::~CredentialKeeper() {
    life_.invalidate();
}

template <class R>
void CredentialKeeper::run(std::function<R()> call, std::function<void(R)> done) {
    queue_.async([life = life_.watch(), &loop = loop_, &queue = queue_, call = std::move(call),
                  done = std::move(done)]() mutable {
        ZARVO_DCHECK_ON_QUEUE(queue);
        auto result = std::make_shared<R>(call());
        loop.post([life, &loop, result, done = std::move(done)] {
            ZARVO_DCHECK_ON(loop);
            if (life.alive() && done)
                done(std::move(*result));
        });
    });
}

void CredentialKeeper::read(std::function<void(CredentialRead)> done) {
    run<CredentialRead>([store = store_] { return store->read(); }, std::move(done));
}

void CredentialKeeper::write(std::string token, std::function<void(CredentialWrite)> done) {
    run<CredentialWrite>([store = store_, token = std::move(token)] { return store->write(token); },
                         std::move(done));
}

void CredentialKeeper::erase(std::function<void(CredentialWrite)> done) {
    run<CredentialWrite>([store = store_] { return store->erase(); }, std::move(done));
}

} // namespace zarvo
