// The store a desktop start uses: the keyring when a Secret Service answers, else the private
// file. The choice is made at the first call (on the keeper's queue, as every call), and there a
// credential file of older versions is moved into the keyring.
#pragma once

#include "app/credential_store.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace zarvo {

enum class CredentialMigration {
    nothingToMove, // no file, or the keyring already holds a different token
    moved,         // the keyring confirmed the token and the file is gone
    keptFile,      // the keyring did not take it: the file stays for the next start
};

// Moves the token of `file` into `keyring`. The file is removed only after the keyring accepted
// the write and reads the same token back. Blocking.
CredentialMigration migrateCredentialFile(CredentialStore& file, CredentialStore& keyring);

class DesktopCredentialStore final : public CredentialStore {
public:
    // `keyringAnswers` asks whether a Secret Service is there (blocking); asked once.
    DesktopCredentialStore(std::shared_ptr<CredentialStore> keyring,
                           std::function<bool()> keyringAnswers,
                           std::shared_ptr<CredentialStore> file);

    // The keyring until the first call found none; safe from any thread.
    CredentialStorage storage() const override { return storage_.load(); }
    // While a refused migration left the old file, it still signs the user in, and the next
    // sign-in or sign-out removes it.
    CredentialRead read() override;
    CredentialWrite write(const std::string& token) override;
    CredentialWrite erase() override;
    // How the start's migration went; nothingToMove until the first call.
    CredentialMigration migration() const { return migration_.load(); }

private:
    CredentialStore& chosen();

    std::shared_ptr<CredentialStore> keyring_;
    std::function<bool()> keyringAnswers_;
    std::shared_ptr<CredentialStore> file_;
    std::once_flag decided_;
    CredentialStore* chosen_ = nullptr;
    std::atomic<CredentialStorage> storage_{CredentialStorage::keyring};
    std::atomic<CredentialMigration> migration_{CredentialMigration::nothingToMove};
};

// The desktop store for `serviceHost` with `file` as the fallback.
std::shared_ptr<DesktopCredentialStore> desktopCredentialStore(const std::string& serviceHost,
                                                               const std::filesystem::path& file);

} // namespace zarvo
