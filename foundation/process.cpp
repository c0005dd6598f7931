#include "foundation/process.h"

#include "foundation/child_process.h"

namespace zarvo {

Result<std::string> command(const std::string& executable,
                            const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.argv.push_back(executable);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.output = ChildStream::Pipe;
    options.error = ChildStream::Inherit;
    auto child = startChild(options);
    if (!child)
        return unexpected(Error{child.error().message, -1});

    std::string output = readToEndAndClose(child->takeOutput());

    const int code = waitForChild(child->pid());
    if (code == 0)
        return output;
    return unexpected(Error{executable + " exited with status " + std::to_string(code), code});
}

} // namespace zarvo
