// The stand-in's account and session business: paid and gift points, the session lifecycle with
// its reservation, one point per second of session time, settlement and the billing pages. Time
// and timers come from a Loop, so the whole lifecycle runs in virtual time under test.
#pragma once

#include "devservice/api_handler.h"
#include "devservice/billing/session_registry.h"
#include "foundation/json.h"
#include "foundation/loop.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::devservice {

struct BillingAccountConfig {
    std::string token; // empty: a fresh random token
    std::string name = "开发账号";
    int64_t paidPoints = 3000;
    int64_t giftPoints = 600;
};

struct BillingConfig {
    // Created when the snapshot does not know their token yet. Empty: one development account.
    std::vector<BillingAccountConfig> accounts;
    int64_t minStartPoints = 10;
    // A start holds at most this many points (gift first); the session ends when they are used up.
    int64_t maxReservationPoints = 3600;
    Duration reserveDelay = seconds(0.2);      // RESERVED → CREATING
    Duration createDelay = seconds(0.5);       // CREATING → CREATED (the billing clock starts)
    Duration runningDelay = seconds(1.0);      // CREATED → RUNNING while no participant attached
    Duration participantTimeout = seconds(30); // attached participant without video → FAILED
    Duration stoppingDelay = seconds(0.5);     // STOPPING → RECONCILE_REQUIRED
    Duration settlementDelay = seconds(3);     // RECONCILE_REQUIRED → ENDED / STOPPED
    Duration heartbeatTimeout = seconds(30);   // no "live/current" poll for this long → stopped
    std::optional<std::filesystem::path> snapshotPath; // accounts survive a restart when set
    // State changes are written at once; a running session's counters at most this often, so a
    // session does not rewrite and flush the whole snapshot every billed second.
    Duration counterSaveDelay = seconds(5);
    size_t maxBodyBytes = 16 * 1024 * 1024;
    size_t maxImageBytes = 10 * 1024 * 1024; // decoded JPEG bytes of "image_url"
    int64_t billingPageSize = 20;
    int64_t maxPageSize = 100;
    // Sign-in by phone number and one-time code. A signed-in token expires after
    // `tokenLifetime` when set; configured accounts' tokens never expire.
    std::optional<Duration> tokenLifetime;
    Duration codeLifetime = seconds(300);
    Duration codeInterval = seconds(60); // one code per number this often
    int64_t codesPerHour = 10;           // per number
    int64_t codeAttempts = 5;            // wrong codes that void a code
    // Points a new phone account opens with: the usual gift, nothing paid.
    int64_t newAccountGiftPoints = 600;
    // Handed to the client in every start's "rtc" as "ice_servers" when not empty: the relays
    // the stand-in was told of, in the browsers' form.
    Json iceServers = Json::array();
};

// A code the stand-in "sent": it has no text messages, so they go to this outbox.
struct SentCode {
    std::string phone;
    std::string code;
    WallTime sentAt{};
};

class BillingService final : public ApiHandler, public SessionRegistry {
public:
    BillingService(Loop& loop, BillingConfig config);
    ~BillingService() override;
    BillingService(const BillingService&) = delete;
    BillingService& operator=(const BillingService&) = delete;

    // Answers every call under "/api/v1/" that the client makes.
    ApiResponse handle(const ApiRequest& request) override;

    // The development account's token (the first configured account, else the first known one):
    // the account the deployment file names.
    std::string developmentToken() const;
    // Adds an account (a fresh token when `account.token` is empty) and returns its token.
    std::string addAccount(const BillingAccountConfig& account);
    // The next accepted "live/switch" is reported as failed with this code instead of applied.
    void failNextSwitch(const std::string& errorCode);
    // Why the snapshot could not be read at start (empty when it was read or absent).
    std::string snapshotProblem() const;

    // Every code sent so far, oldest first.
    std::vector<SentCode> outbox() const;
    // Revokes a signed-in token, or every token signed in with `phone`; false when none matched.
    bool revokeToken(const std::string& token);
    bool revokePhone(const std::string& phone);
    // The admin endpoint's share: "GET /auth/outbox", "POST /auth/revoke" {"token"} or {"phone"}.
    // None for any other path.
    std::optional<ApiResponse> handleAdmin(const std::string& method, const std::string& path,
                                           const std::string& body) override;

    // SessionRegistry
    std::optional<SessionMedia> validateJoin(const RTCCredentials& join) override;
    std::optional<SessionMedia> sessionMedia(const std::string& sessionID) override;
    bool attachParticipant(const std::string& sessionID) override;
    void videoFlowing(const std::string& sessionID) override;
    void switchFailed(const std::string& sessionID, int64_t seqID,
                      const std::string& errorCode) override;
    int addListener(Listener listener) override;
    void removeListener(int id) override;

    struct Session;
    struct Account;
    struct SignIn;
    struct CodeState;

private:
    ApiResponse route(const ApiRequest& request);
    ApiResponse authCode(const Json& body);
    ApiResponse authLogin(const Json& body);
    ApiResponse authLogout(const std::string& token);
    ApiResponse liveCurrent(Account& account);
    ApiResponse liveStart(Account& account, const Json& body);
    ApiResponse liveSwitch(Account& account, const Json& body);
    ApiResponse liveStop(Account& account);
    ApiResponse clientState(const Account& account) const;
    ApiResponse billingPage(const Account& account, const ApiRequest& request) const;
    ApiResponse sessionBillingPage(const Account& account, const ApiRequest& request) const;

    // The account a token belongs to; when none, `refusal` (if given) says why in Chinese.
    Account* accountForToken(const std::string& token, std::string* refusal = nullptr);
    Account* accountForPhone(const std::string& phone);
    Session* findSession(const std::string& sessionID, Account** owner = nullptr);
    Account& createAccount(const BillingAccountConfig& config);
    Json startReply(const Session& session) const;
    SessionMedia mediaOf(const Session& session) const;

    void advanceTo(Session& session, const std::string& state);
    void scheduleStep(Session& session);
    void onCreated(Session& session);
    void billOneSecond(Account& account, Session& session);
    void checkHeartbeat(Account& account, Session& session);
    void endSession(Account& account, Session& session, const std::string& reason,
                    const std::string& finalState);
    void settle(Account& account, Session& session, const std::string& finalState);
    void failSession(Account& account, Session& session, const std::string& reason);
    void notify(SessionEventKind kind, const Session& session);

    void loadSnapshot();
    // `at` dates the snapshot; the loop's time when none.
    void saveSnapshot(std::optional<WallTime> at = std::nullopt);
    void saveCountersSoon();

    struct Listeners;

    Loop& loop_;
    BillingConfig config_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Account>> accounts_;
    std::vector<std::string> pendingSwitchFailures_;
    std::string snapshotProblem_;
    std::string developmentToken_;
    std::vector<SentCode> outbox_;
    std::map<std::string, CodeState> codes_; // by phone number
    // Shared, not watched: the service may go on a thread other than the loop's, and a
    // notification holds the listeners while it runs them.
    std::shared_ptr<Listeners> listeners_;
    TimerHandle counterSave_;
    bool counterSavePending_ = false;
};

} // namespace zarvo::devservice
