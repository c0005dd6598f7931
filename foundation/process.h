// Child processes: run a command to completion, or start a long-lived child with pipes.
#pragma once

#include "foundation/result.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace zarvo {

// Runs `executable` (a path, or a name looked up in PATH) with `arguments` and returns its standard
// output. A start failure or a non-zero exit is an error whose code is the exit status (-1 when
// it could not start or was killed by a signal).
Result<std::string> command(const std::string& executable,
                            const std::vector<std::string>& arguments);

} // namespace zarvo
