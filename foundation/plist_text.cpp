#include "foundation/plist_text.h"

#include <algorithm>
#include <string>

namespace zarvo {
namespace {

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

size_t skipSpace(std::string_view text, size_t at) {
    while (at < text.size() && space(text[at]))
        ++at;
    return at;
}

bool startsAt(std::string_view text, size_t at, std::string_view word) {
    return at <= text.size() && text.substr(at, word.size()) == word;
}

// A plain scan, linear in the text: the file is outside bytes, and a regular expression's
// backtracking recursed once per byte of a long value.
std::optional<PlistElement> elementAt(std::string_view text, size_t at, std::string_view key) {
    at = skipSpace(text, at + 5);
    if (!startsAt(text, at, key))
        return std::nullopt;
    at = skipSpace(text, at + key.size());
    if (!startsAt(text, at, "</key>"))
        return std::nullopt;
    at = skipSpace(text, at + 6);
    if (!startsAt(text, at, "<"))
        return std::nullopt;
    const size_t nameStart = ++at;
    while (at < text.size() && text[at] >= 'a' && text[at] <= 'z')
        ++at;
    if (at == nameStart)
        return std::nullopt;
    PlistElement element;
    element.name = text.substr(nameStart, at - nameStart);
    at = skipSpace(text, at);
    element.empty = startsAt(text, at, "/");
    if (element.empty)
        ++at;
    if (!startsAt(text, at, ">"))
        return std::nullopt;
    ++at;
    const size_t end = std::min(text.find('<', at), text.size());
    element.text = text.substr(at, end - at);
    element.rest = text.substr(end);
    return element;
}

} // namespace

std::optional<PlistElement> plistElementAfterKey(std::string_view text, std::string_view key) {
    for (size_t at = text.find("<key>"); at != std::string_view::npos;
         at = text.find("<key>", at + 1))
        if (auto element = elementAt(text, at, key))
            return element;
    return std::nullopt;
}

} // namespace zarvo
