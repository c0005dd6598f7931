#include "devservice/billing/billing_front.h"

#include "devservice/billing/billing_config.h"
#include "devservice/devservice.h"
#include "foundation/atomic_file.h"

#include <algorithm>

namespace zarvo::devservice {

std::shared_ptr<BillingService> installBilling(DevService& devService, BillingConfig config) {
    std::string token = devService.accountToken();
    auto listed = std::find_if(config.accounts.begin(), config.accounts.end(),
                               [&](const BillingAccountConfig& a) { return a.token == token; });
    if (listed == config.accounts.end() && !config.accounts.empty() &&
        config.accounts.front().token.empty()) {
        config.accounts.front().token = token; // the first configured account becomes it
    } else if (listed == config.accounts.end()) {
        BillingAccountConfig development;
        development.token = token;
        config.accounts.insert(config.accounts.begin(), development);
    } else {
        std::rotate(config.accounts.begin(), listed, listed + 1);
    }
    std::shared_ptr<BillingService> billing;
    // Built on the server thread, where its timers run and its requests arrive.
    devService.runOnServer(
        [&] { billing = std::make_shared<BillingService>(devService.loop(), std::move(config)); });
    devService.setApiHandler(billing);
    return billing;
}

Result<BillingConfig> programBillingConfig(const std::filesystem::path& stateDirectory) {
    BillingConfig config;
    auto settingsFile = stateDirectory / "billing-settings.json";
    if (auto text = readFile(settingsFile)) {
        auto json = parseJsonObject(*text);
        if (!json)
            return unexpected(Error{settingsFile.string() + ": not a JSON object", 1});
        auto read = billingConfigFromJson(*json);
        if (!read)
            return unexpected(Error{settingsFile.string() + ": " + read.error().message, 1});
        config = std::move(*read);
    }
    if (!config.snapshotPath)
        config.snapshotPath = stateDirectory / "billing.json";
    return config;
}

} // namespace zarvo::devservice
