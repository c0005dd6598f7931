// Errors of URL loading as the update code sees them. Network failures carry the domain
// `kURLLoadingDomain` and one of the codes below, so that the decision to try another host does
// not depend on the HTTP library's own error values.
#pragma once

#include "foundation/result.h"

#include <string>

typedef struct _GError GError;

namespace zarvo::URLError {

inline constexpr const char* kURLLoadingDomain = "url-loading";
inline constexpr int kUnknown = -1;
inline constexpr int kCancelled = -999;
inline constexpr int kTimedOut = -1001;
inline constexpr int kCannotFindHost = -1003;
inline constexpr int kCannotConnectToHost = -1004;
inline constexpr int kNetworkConnectionLost = -1005;
inline constexpr int kDnsLookupFailed = -1006;
inline constexpr int kNotConnectedToInternet = -1009;

// An error value whose message is the domain, as update errors are {message, code}.
inline Error make(int code) {
    return Error{kURLLoadingDomain, code};
}
inline bool isURLLoading(const Error& error) {
    return error.message == kURLLoadingDomain;
}
// Maps a GIO / libsoup / resolver error to the codes above (kUnknown when none fits).
Error fromGError(const GError* error);

} // namespace zarvo::URLError
