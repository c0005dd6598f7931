#include "update/url_error.h"

#include <gio/gio.h>

namespace zarvo::URLError {

Error fromGError(const GError* error) {
    if (!error)
        return make(kUnknown);
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_CANCELLED:
            return make(kCancelled);
        case G_IO_ERROR_TIMED_OUT:
            return make(kTimedOut);
        case G_IO_ERROR_CONNECTION_REFUSED:
        case G_IO_ERROR_HOST_UNREACHABLE:
            return make(kCannotConnectToHost);
        case G_IO_ERROR_NETWORK_UNREACHABLE:
            return make(kNotConnectedToInternet);
        case G_IO_ERROR_CONNECTION_CLOSED:
        case G_IO_ERROR_PARTIAL_INPUT:
            return make(kNetworkConnectionLost);
        case G_IO_ERROR_HOST_NOT_FOUND:
            return make(kCannotFindHost);
        default:
            break;
        }
    }
    if (error->domain == G_RESOLVER_ERROR)
        return make(error->code == G_RESOLVER_ERROR_NOT_FOUND ? kCannotFindHost : kDnsLookupFailed);
    return Error{error->message ? error->message : kURLLoadingDomain, kUnknown};
}

} // namespace zarvo::URLError
