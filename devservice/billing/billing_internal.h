// The records behind BillingService, shared by its lifecycle, API and snapshot code.
#pragma once

#include "devservice/billing/billing_service.h"
#include "foundation/loop.h"
#include "foundation/result.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo::devservice {

struct SwitchError {
    int64_t seqID = 0;
    std::string errorCode;
};

struct BillingService::Session {
    std::string id;
    std::string idempotencyKey;
    std::string editingType;
    std::string referenceJpeg; // not kept in the snapshot: a restart ends live sessions anyway
    std::string state = "RESERVED";
    std::string renderUID;
    std::string endReason; // "client_stop", "reservation_exhausted", "heartbeat_timeout", ...
    RTCCredentials rtc;
    int64_t reservedPaid = 0;
    int64_t reservedGift = 0;
    int64_t consumedPaid = 0;
    int64_t consumedGift = 0;
    int64_t elapsedSeconds = 0; // billed seconds; stays when a failed session is refunded
    WallTime createdAt{};
    WallTime endedAt{};
    bool hasEnded = false;
    bool confirmed = false; // settled: the consumption is the confirmed bill
    bool billing = false;   // the one-point-per-second clock runs
    bool participant = false;
    bool videoSeen = false;
    Duration lastHeartbeat{0};
    int64_t switchSeq = 0; // last "seq_id" handed out
    int64_t mediaSeq = 0;  // "seq_id" of the switch whose image and mode are in effect
    std::optional<SwitchError> switchError;
    std::map<std::string, int64_t> switchKeys; // idempotency key → seq_id
    TimerHandle stepTimer;
    TimerHandle billingTimer;
    TimerHandle heartbeatTimer;

    int64_t reserved() const { return reservedPaid + reservedGift; }
    int64_t consumed() const { return consumedPaid + consumedGift; }
};

// A token handed out by "auth/login".
struct BillingService::SignIn {
    std::string token;
    WallTime issuedAt{};
    bool revoked = false;
};

// The code a number was last sent, and the number's recent sends (kept in memory only: a
// restarted stand-in simply asks for a new code).
struct BillingService::CodeState {
    std::string code;
    Duration sentAt{0}; // loop uptime
    int64_t wrongAttempts = 0;
    bool used = false;
    std::vector<Duration> recentSends; // loop uptimes within the last hour
};

struct BillingService::Account {
    std::string token; // the configured token; an internal key for a phone account
    std::string name;
    int64_t paid = 0; // available (not reserved) points
    int64_t gift = 0;
    int64_t reservedPaid = 0;
    int64_t reservedGift = 0;
    int64_t nextEntryID = 1;
    std::vector<Json> ledger;                       // oldest first
    std::vector<std::unique_ptr<Session>> sessions; // oldest first; the last is current
    std::map<std::string, std::string> idempotency; // "live/start" key → session id
    std::string phone;                              // the number a phone account signs in with
    std::vector<SignIn> signIns;

    Session* current() const { return sessions.empty() ? nullptr : sessions.back().get(); }
};

namespace billing {

// RESERVED … RUNNING: the session may still be billed and its media still flows.
bool isLive(std::string_view state);
bool isStartable(std::string_view state);
bool isEditingType(std::string_view type);
std::string randomHex(size_t length);
Json errorBody(std::string_view detail);
// A mainland mobile number: eleven digits, "1" then 3 to 9.
bool isPhoneNumber(std::string_view phone);
// "13800000000" → "138****0000".
std::string maskedPhone(std::string_view phone);

void addLedgerEntry(BillingService::Account& account, std::string_view kind,
                    const std::string* sessionID, int64_t paidDelta, int64_t giftDelta,
                    const std::string& description, WallTime at);
Json sessionRecord(const BillingService::Session& session);
Json accountToJson(const BillingService::Account& account);
// An account from its snapshot form; an error naming the first member of the wrong type.
Result<std::unique_ptr<BillingService::Account>> accountFromJson(const Json& json);

} // namespace billing

} // namespace zarvo::devservice
