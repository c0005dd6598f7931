// The service's host table. Values come from the deployment in use (production hosts unless
// ZARVO_DEPLOYMENT names a development deployment); URLs always carry the bare host name.
#pragma once

#include <string>

namespace zarvo::ServiceEndpoint {

std::string host();            // the primary API host name
std::string origin();          // "https://" + host()
std::string secondaryHost();   // the secondary API host name
std::string secondaryOrigin(); // "https://" + the secondary API host name
std::string downloadHost();    // the download host name
std::string downloadOrigin();  // "https://" + the download host name

} // namespace zarvo::ServiceEndpoint
