// The stand-in's billing settings from a JSON object, so the program and tests can shorten the
// lifecycle's delays or set up accounts without recompiling. Unknown members are ignored.
#pragma once

#include "devservice/billing/billing_service.h"
#include "foundation/result.h"

namespace zarvo::devservice {

// Members (all optional; times in seconds, fractions allowed):
//   "accounts": [{"token", "name", "paid_points", "gift_points"}], "snapshot": path,
//   "min_start_points", "max_reservation_points", "reserve_seconds", "create_seconds",
//   "running_seconds", "participant_timeout_seconds", "stopping_seconds",
//   "settlement_seconds", "heartbeat_timeout_seconds", "max_body_bytes", "max_image_bytes".
// A member of the wrong type or out of range is an error naming it.
Result<BillingConfig> billingConfigFromJson(const Json& json, BillingConfig base = {});

} // namespace zarvo::devservice
