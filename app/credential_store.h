// Where the account credential is kept between runs: the desktop keyring, or a private file where
// no keyring answers. Every call may block (the keyring answers over D-Bus, a locked one may wait
// for the user), so none runs on the main thread: CredentialKeeper runs them one at a time on its
// serial queue "zarvo.credential" and hands each result back through the loop.
#pragma once

#include "foundation/loop.h"
#include "foundation/result.h"
#include "foundation/serial_queue.h"
#include "foundation/weak_owner.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

enum class CredentialStorage { keyring, file };

// The text the settings page shows while the credential lives in the private file.
inline constexpr const char* kCredentialFileFallbackText =
    "未检测到系统钥匙环，账户凭据保存在本机私有文件中（仅本用户可读）";

// Failures are Chinese texts the settings page can show as they are. A store never puts the
// token into a failure text.
using CredentialRead = Result<std::optional<std::string>, std::string>;
using CredentialWrite = Status<std::string>;

class CredentialStore {
public:
    virtual ~CredentialStore() = default;
    // Safe from any thread.
    virtual CredentialStorage storage() const = 0;
    // The stored token, none when nothing is stored. Blocking.
    virtual CredentialRead read() = 0;
    // Replaces the stored token. Blocking.
    virtual CredentialWrite write(const std::string& token) = 0;
    // Removes the stored token; nothing stored counts as success. Blocking.
    virtual CredentialWrite erase() = 0;
};

// The private file: written atomically with mode 0600 in a folder of mode 0700, and read only
// when it is a regular file of this user that no one else may read.
class FileCredentialStore final : public CredentialStore {
public:
    explicit FileCredentialStore(std::filesystem::path file) : file_(std::move(file)) {}
    CredentialStorage storage() const override { return CredentialStorage::file; }
    CredentialRead read() override;
    CredentialWrite write(const std::string& token) override;
    CredentialWrite erase() override;
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

// The file's contents when it is a regular file of this user that no one else may read (checked on
// the descriptor that is read, so it cannot be swapped in between); none otherwise.
std::optional<std::string> readPrivateCredentialFile(const std::filesystem::path& path);

// Runs a store's calls on the serial queue "zarvo.credential"; each completion runs on the loop,
// and never once the keeper is gone. Calls run in the order they were made.
class CredentialKeeper {
public:
    CredentialKeeper(Loop& loop, std::shared_ptr<CredentialStore> store);
    ~CredentialKeeper();
    CredentialKeeper(const CredentialKeeper&) = delete;
    CredentialKeeper& operator=(const CredentialKeeper&) = delete;

    // The store's answer: a store that decides at its first call may change it once.
    CredentialStorage storage() const { return store_->storage(); }
    void read(std::function<void(CredentialRead)> done);
    void write(std::string token, std::function<void(CredentialWrite)> done);
    void erase(std::function<void(CredentialWrite)> done);

private:
    template <class R> void run(std::function<R()> call, std::function<void(R)> done);

    Loop& loop_;
    std::shared_ptr<CredentialStore> store_;
    SerialQueue queue_{"zarvo.credential"};
    WeakOwner life_; // last: completions see the keeper gone before its queue is joined
};

} // namespace zarvo
