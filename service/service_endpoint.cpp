#include "service/service_endpoint.h"

#include "service/deployment.h"

namespace zarvo::ServiceEndpoint {

std::string host() {
    return currentDeployment()->primaryHost;
}
std::string origin() {
    return "https://" + host();
}
std::string secondaryHost() {
    return currentDeployment()->secondaryHost;
}
std::string secondaryOrigin() {
    return "https://" + secondaryHost();
}
std::string downloadHost() {
    return currentDeployment()->downloadHost;
}
std::string downloadOrigin() {
    return "https://" + downloadHost();
}

} // namespace zarvo::ServiceEndpoint
