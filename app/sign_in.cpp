// Signing in and out, and the end of a credential the service no longer accepts.
#include "app/app.h"
#include "app/session_presentation.h"
#include "foundation/thread_check.h"
#include "service/account_sign_in.h"

namespace zarvo {
namespace {

const char* const kExpired = "登录已过期，请重新登录";
const char* const kAccountLocked = "请先停止 AI 并等待结算，再退出或切换账号";

} // namespace

bool App::sessionUnsettled() const {
    if (aiBusy || aiActive || aiStopping || stopRequestBusy || startUnanswered_ || quit_.active)
        return true;
    if (!usageSnapshot)
        return false;
    std::string state =
        SessionPresentation::upperCased(jsonString(*usageSnapshot, "session_state", "IDLE"));
    return !SessionPresentation::canStart(state) ||
           jsonInteger(*usageSnapshot, "reserved_points", 0) > 0;
}

void App::requestSignInCode(const std::string& phone,
                            std::function<void(std::optional<std::string>)> done) {
    ZARVO_DCHECK_ON(loop_);
    zarvo::requestSignInCode(
        routes, phone,
        [life = life_.watch(), done = std::move(done)](std::optional<std::string> e) {
            if (life.alive())
                done(std::move(e));
        });
}

void App::signIn(const std::string& phone, const std::string& code,
                 std::function<void(std::optional<std::string>)> done) {
    ZARVO_DCHECK_ON(loop_);
    if (credential && sessionUnsettled()) {
        done(std::string(kAccountLocked));
        return;
    }
    if (signInBusy) {
        done(std::string("正在登录，请稍候"));
        return;
    }
    signInBusy = true;
    signInWithCode(routes, phone, code,
                   [life = life_.watch(), this, done = std::move(done)](
                       std::optional<SignedIn> signedIn, std::optional<std::string> error) {
                       if (!life.alive())
                           return;
                       signInBusy = false;
                       if (!signedIn) {
                           done(std::move(error));
                           return;
                       }
                       if (credential && sessionUnsettled()) {
                           // A session began meanwhile under the old account; keep it.
                           signOutOfService(routes, signedIn->token, [](auto) {});
                           done(std::string(kAccountLocked));
                           return;
                       }
                       credential = signedIn->token;
                       maskedPhone = signedIn->maskedPhone;
                       signInNotice.clear();
                       defaults_.set(kMaskedPhoneKey, maskedPhone);
                       storeCredential(credential);
                       // A new account: nothing of the old one's display may remain.
                       ++operationGeneration;
                       usageSnapshot.reset();
                       syncLabel.text = "积分尚未同步";
                       pointsLabel.text = "—  积分";
                       refreshState();
                       done(std::nullopt);
                   });
}

std::optional<std::string> App::signOut() {
    if (!credential)
        return std::nullopt;
    if (sessionUnsettled())
        return std::string(kAccountLocked);
    std::string token = *credential;
    enterSignedOut("");
    // Revoked on the service as well; signed out here whatever it answers.
    signOutOfService(routes, token, [](std::optional<std::string>) {});
    return std::nullopt;
}

void App::credentialRefused(const std::string& token) {
    // Every call in flight with this token may answer 401; the first one ends the signed-in state.
    if (!credential || *credential != token)
        return;
    if (aiActive || aiBusy || liveActivity) {
        // The service holds the session until its heartbeat rule stops it; the picture stops now.
        stopReason = kExpired;
        writeStopReport(video_ ? video_->frameStats() : RemoteFrameStats{});
        clearLiveFrames();
    }
    enterSignedOut(kExpired);
    status.text = kExpired;
}

void App::enterSignedOut(const std::string& notice) {
    // Replies still in flight belong to the old credential's phase.
    ++operationGeneration;
    credential.reset();
    maskedPhone.clear();
    signInNotice = notice;
    defaults_.remove(kMaskedPhoneKey);
    storeCredential(std::nullopt);
    aiTimer.cancel();
    aiActive = false;
    aiBusy = false;
    aiPollBusy = false;
    aiStopping = false;
    stopRequestBusy = false;
    startUnanswered_ = false;
    usageSnapshot.reset();
    stateBusy = false;
    networkState = "unknown";
    sessionBadge.text = "未开启 AI";
    syncLabel.text = notice.empty() ? "积分尚未同步" : notice;
    pointsLabel.text = "—  积分";
    durationLabel.text = "本次使用 00:00:00";
}

void App::storeCredential(std::optional<std::string> token) {
    if (!credentialKeeper)
        return;
    if (token)
        credentialKeeper->write(*token, [](CredentialWrite) {});
    else
        credentialKeeper->erase([](CredentialWrite) {});
}

} // namespace zarvo
