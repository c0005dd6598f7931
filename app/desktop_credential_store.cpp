#include "app/desktop_credential_store.h"

#include "app/credential.h"
#include "app/secret_service_store.h"

namespace zarvo {

CredentialMigration migrateCredentialFile(CredentialStore& file, CredentialStore& keyring) {
    auto old = file.read();
    if (!old.ok() || !*old)
        return CredentialMigration::nothingToMove;
    const auto token = acceptedAccountCredential(**old);
    if (!token)
        return CredentialMigration::nothingToMove;
    auto held = keyring.read();
    if (!held.ok())
        return CredentialMigration::keptFile;
    if (*held && acceptedAccountCredential(**held) != token)
        return CredentialMigration::nothingToMove; // the keyring's newer sign-in wins
    if (!*held && !keyring.write(*token).ok())
        return CredentialMigration::keptFile;
    auto confirmed = keyring.read();
    if (!confirmed.ok() || !*confirmed || acceptedAccountCredential(**confirmed) != token)
        return CredentialMigration::keptFile;
    return file.erase().ok() ? CredentialMigration::moved : CredentialMigration::keptFile;
}

DesktopCredentialStore::DesktopCredentialStore(std::shared_ptr<CredentialStore> keyring,
                                               std::function<bool()> keyringAnswers,
                                               std::shared_ptr<CredentialStore> file)
    : keyring_(std::move(keyring)), keyringAnswers_(std::move(keyringAnswers)),
      file_(std::move(file)) {}

CredentialStore& DesktopCredentialStore::chosen() {
    std::call_once(decided_, [this] {
        if (keyringAnswers_()) {
            chosen_ = keyring_.get();
            migration_ = migrateCredentialFile(*file_, *keyring_);
        } else {
            chosen_ = file_.get();
            storage_ = CredentialStorage::file;
        }
    });
    return *chosen_;
}

CredentialRead DesktopCredentialStore::read() {
    auto read = chosen().read();
    if (chosen_ == keyring_.get() && migration_ == CredentialMigration::keptFile &&
        (!read.ok() || !*read))
        return file_->read();
    return read;
}

CredentialWrite DesktopCredentialStore::write(const std::string& token) {
    auto written = chosen().write(token);
    if (written.ok() && chosen_ == keyring_.get() && migration_ == CredentialMigration::keptFile &&
        file_->erase().ok())
        migration_ = CredentialMigration::moved;
    return written;
}

CredentialWrite DesktopCredentialStore::erase() {
    auto erased = chosen().erase();
    if (chosen_ == keyring_.get() && migration_ == CredentialMigration::keptFile) {
        auto file = file_->erase();
        if (!file.ok())
            return file;
        migration_ = CredentialMigration::nothingToMove;
    }
    return erased;
}

std::shared_ptr<DesktopCredentialStore> desktopCredentialStore(const std::string& serviceHost,
                                                               const std::filesystem::path& file) {
    auto keyring = std::make_shared<SecretServiceCredentialStore>(serviceHost);
    return std::make_shared<DesktopCredentialStore>(
        keyring, [keyring] { return keyring->answers(); },
        std::make_shared<FileCredentialStore>(file));
}

} // namespace zarvo
