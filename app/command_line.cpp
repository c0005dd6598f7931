#include "app/command_line.h"

#include <algorithm>

namespace zarvo {
namespace {

constexpr const char* kValueOptions[] = {"--snapshot", "--page", "--reference-preview",
                                         "--smoke-config"};
constexpr const char* kPages[] = {"live", "presets", "bill", "settings"};

bool isOption(const std::string& argument) {
    return argument.rfind("--", 0) == 0;
}

Unexpected<Error> refused(const std::string& text) {
    return unexpected(Error{"Zarvo：" + text, 1});
}

} // namespace

Result<CommandLineOptions> CommandLineOptions::parse(const std::vector<std::string>& arguments) {
    CommandLineOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (!isOption(option))
            continue;
        if (option == "--with-account") {
            options.withAccount = true;
            continue;
        }
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), option) ==
            std::end(kValueOptions))
            return refused("未知的参数 " + option);
        if (i + 1 == arguments.size() || isOption(arguments[i + 1]) || arguments[i + 1].empty())
            return refused(option == "--snapshot" ? "--snapshot 需要截图的 PNG 文件路径"
                                                  : option + " 缺少取值");
        const std::string& value = arguments[++i];
        std::optional<std::string>* slot = option == "--snapshot" ? &options.snapshot
                                           : option == "--page"   ? &options.page
                                           : option == "--reference-preview"
                                               ? &options.referencePreview
                                               : &options.smokeConfig;
        if (*slot)
            return refused(option + " 只能给一次");
        *slot = value;
    }
    options.snapshotMode = options.snapshot.has_value();
    if (!options.snapshotMode && (options.page || options.withAccount || options.referencePreview))
        return refused("--page、--with-account 和 --reference-preview 只能与 --snapshot 一起使用");
    if (options.snapshotMode && options.smokeConfig)
        return refused("--snapshot 不能与 --smoke-config 一起使用");
    if (options.page &&
        std::find(std::begin(kPages), std::end(kPages), *options.page) == std::end(kPages))
        return refused("没有页面 " + *options.page + "（可用：live、presets、bill、settings）");
    return options;
}

} // namespace zarvo
