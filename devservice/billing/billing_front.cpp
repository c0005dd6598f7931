#include "devservice/billing/billing_front.h"

#include "devservice/devservice.h"

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

} // namespace zarvo::devservice
