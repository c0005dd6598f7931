// Reading one value out of an Info.plist's text without an XML parser: bundles write their plists
// flat, and the readers want a handful of string values by key.
#pragma once

#include <optional>
#include <string_view>

namespace zarvo {

// The element right after the first "<key>`key`</key>" that has one (white space allowed around
// the key and between): its lower-case name, whether it is empty ("<x/>"), its text up to the next
// '<' and what follows from there. Views into `text`.
struct PlistElement {
    std::string_view name;
    bool empty = false;
    std::string_view text;
    std::string_view rest;
};
std::optional<PlistElement> plistElementAfterKey(std::string_view text, std::string_view key);

} // namespace zarvo
