// Accounts and billing behind the stand-in's HTTPS front.
#pragma once

#include "devservice/billing/billing_service.h"
#include "foundation/result.h"

#include <filesystem>

#include <memory>

namespace zarvo::devservice {

class DevService;

// Puts a BillingService behind a started DevService as its API handler, on the server's loop.
// The development account is the one whose token the deployment file names ("account_token");
// when `config` does not list it, the first configured account without a token becomes it, or
// else it is added with the default points. The result is also the
// SessionRegistry for the RTC gateway. Destroy the DevService before the last reference to it.
std::shared_ptr<BillingService> installBilling(DevService& devService, BillingConfig config = {});

// The zarvo-devservice program's settings: "billing-settings.json" in the state folder when it
// exists (see billingConfigFromJson), and the snapshot "billing.json" there unless it names one,
// so a restarted stand-in keeps its accounts.
Result<BillingConfig> programBillingConfig(const std::filesystem::path& stateDirectory);

} // namespace zarvo::devservice
