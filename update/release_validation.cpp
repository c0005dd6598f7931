#include "update/release_validation.h"

#include "foundation/encoding.h"
#include "foundation/owned.h"
#include "service/service_endpoint.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>

namespace zarvo::ReleaseValidation {
namespace {

// The checks below scan the text by hand: a regular expression of the standard library recurses
// once per character and a long enough field from the manifest would overflow the stack.
bool digit(char c) {
    return c >= '0' && c <= '9';
}

// "0", or one to five digits without a leading zero.
bool versionPart(std::string_view part) {
    if (part.empty() || part.size() > 5 || (part.size() > 1 && part[0] == '0'))
        return false;
    for (char c : part)
        if (!digit(c))
            return false;
    return true;
}

// "YYYY-MM-DDThh:mm:ss", an optional fraction, then "Z" or an offset "+hh:mm" / "-hh:mm".
bool internetDateTime(std::string_view text) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); i++)
        if (shape[i] == 'd' ? !digit(text[i]) : text[i] != shape[i])
            return false;
    size_t i = shape.size();
    if (i < text.size() && text[i] == '.') {
        const size_t first = ++i;
        while (i < text.size() && digit(text[i]))
            i++;
        if (i == first)
            return false;
    }
    const std::string_view zone = text.substr(i);
    if (zone == "Z")
        return true;
    return zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && digit(zone[1]) &&
           digit(zone[2]) && zone[3] == ':' && digit(zone[4]) && digit(zone[5]);
}

struct ParsedURL {
    std::string scheme, host, path, user, password, query, fragment;
    int port = -1;
    bool canonical = false; // the text is exactly what the parser would write back
};

std::optional<ParsedURL> parseURL(const std::string& text) {
    auto owned = adoptRef(g_uri_parse(text.c_str(), G_URI_FLAGS_HAS_PASSWORD, nullptr));
    GUri* uri = owned.get();
    if (!uri)
        return std::nullopt;
    auto field = [](const char* value) { return std::string(value ? value : ""); };
    ParsedURL parsed{field(g_uri_get_scheme(uri)),   field(g_uri_get_host(uri)),
                     field(g_uri_get_path(uri)),     field(g_uri_get_user(uri)),
                     field(g_uri_get_password(uri)), field(g_uri_get_query(uri)),
                     field(g_uri_get_fragment(uri)), g_uri_get_port(uri)};
    // An empty "?" or "#" still counts as present.
    if (g_uri_get_query(uri))
        parsed.query = "?" + parsed.query;
    if (g_uri_get_fragment(uri))
        parsed.fragment = "#" + parsed.fragment;
    if (g_uri_get_user(uri) || g_uri_get_password(uri))
        parsed.user = "@" + parsed.user;
    GOwned<char> written(g_uri_to_string(uri));
    parsed.canonical = written && text == written.get();
    return parsed;
}

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool hasParentPart(std::string_view path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        // ".. " or "..\r" names no parent on disk, but a reader that trims the line takes it
        // for one; no package of ours has such a name.
        std::string_view part = path.substr(start, end - start);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t' || part.back() == '\r'))
            part.remove_suffix(1);
        if (part == "..")
            return true;
        start = end + 1;
    }
    return false;
}

// bsdtar escapes control characters in the names it lists, so a listing holding one raw is
// not its own.
bool hasControl(std::string_view line) {
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string trimmed(const std::string& text) {
    const char* space = " \t\n\r\v\f";
    auto first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

} // namespace

std::string packageName(const std::string& version) {
    return std::string(packagePrefix) + version + std::string(packageSuffix);
}

std::string mirrorHost() {
    auto parsed = parseURL(ServiceEndpoint::downloadOrigin());
    if (!parsed || parsed->host.empty()) {
        std::fputs("zarvo: the download origin has no host\n", stderr);
        std::abort();
    }
    return parsed->host;
}

std::optional<std::vector<int>> components(std::string_view version) {
    std::vector<int> parts;
    size_t start = 0;
    for (int n = 0; n < 3; n++) {
        size_t end = n < 2 ? version.find('.', start) : version.size();
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view part = version.substr(start, end - start);
        if (!versionPart(part))
            return std::nullopt;
        parts.push_back(std::stoi(std::string(part)));
        start = end + 1;
    }
    return parts;
}

bool sha256Text(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!digit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F'))
            return false;
    return true;
}

bool newer(std::string_view candidate, std::string_view current) {
    auto a = components(candidate);
    auto b = components(current);
    return a && b && *a > *b;
}

bool trustedURL(const std::string& url) {
    auto parsed = parseURL(url);
    // The parser drops "." and ".." segments; a URL that needed that is not one we publish.
    if (!parsed || !parsed->canonical || parsed->scheme != "https")
        return false;
    const std::string primary = ServiceEndpoint::host();
    if (parsed->host.empty() || (parsed->host != primary && parsed->host != mirrorHost()))
        return false;
    if (parsed->port != -1 || !parsed->user.empty() || !parsed->query.empty() ||
        !parsed->fragment.empty())
        return false;
    if (url.find('%') != std::string::npos || url.find('\\') != std::string::npos)
        return false;
    const std::string folder(downloadPath);
    if (parsed->path == folder + "latest.json")
        return parsed->host == primary; // the manifest never comes from the download host
    const std::string name = lastComponent(parsed->path);
    if (parsed->path != folder + name || !name.starts_with(packagePrefix) ||
        !name.ends_with(packageSuffix))
        return false;
    std::string middle = name.substr(packagePrefix.size());
    middle = middle.size() < packageSuffix.size()
                 ? std::string()
                 : middle.substr(0, middle.size() - packageSuffix.size());
    return components(middle) && packageName(middle) == name;
}

bool trusted(const ClientRelease& release) {
    if (!components(release.version))
        return false;
    auto parsed = parseURL(release.url);
    if (!parsed || parsed->host != ServiceEndpoint::host())
        return false;
    if (!trustedURL(release.url))
        return false;
    if (parsed->path != std::string(downloadPath) + packageName(release.version))
        return false;
    if (!sha256Text(release.sha256))
        return false;
    if (release.architecture != architecture || release.platform != platform)
        return false;
    if (release.size < 1 || release.size > maximumPackageSize)
        return false;
    if (trimmed(release.notes).empty() || release.notes.size() > maximumNotesSize)
        return false;
    return date(release.publishedAt).has_value();
}

std::optional<WallTime> date(const std::string& text) {
    // The internet date-time form only; GLib alone would also take the basic and space forms.
    if (!internetDateTime(text))
        return std::nullopt;
    return parseIso8601(text);
}

std::string digest(std::string_view data) {
    return sha256Hex(data);
}

bool packageMatches(std::string_view data, const ClientRelease& release) {
    if (int64_t(data.size()) != release.size)
        return false;
    std::string expected = release.sha256;
    for (char& c : expected)
        c = char(g_ascii_tolower(c));
    return digest(data) == expected;
}

bool archivePaths(const std::string& listing, const std::string& bundleName) {
    auto lines = nonEmptyLines(listing);
    if (lines.empty())
        return false;
    for (const auto& line : lines) {
        if (line.starts_with('/') || line.find('\\') != std::string::npos ||
            line.find(" -> ") != std::string::npos || hasParentPart(line) || hasControl(line))
            return false;
        if (!line.starts_with(bundleName + "/") && !line.starts_with("__MACOSX/"))
            return false;
    }
    return true;
}

bool archiveLinks(const std::string& verboseListing, const std::string& bundleName) {
    for (const auto& line : nonEmptyLines(verboseListing)) {
        if (!line.starts_with('l'))
            continue;
        auto at = line.find(bundleName + "/");
        if (at == std::string::npos)
            return false;
        std::string member = line.substr(at);
        auto arrow = member.find(" -> ");
        if (arrow == std::string::npos || member.find(" -> ", arrow + 4) != std::string::npos)
            return false;
        std::string target = member.substr(arrow + 4);
        if (target.starts_with('/') || target.find('\\') != std::string::npos ||
            hasParentPart(target) || target.size() > maximumLinkTarget)
            return false;
    }
    return true;
}

bool installAllowed(bool busy, bool checking, bool downloading, bool installing, bool ready) {
    return ready && !busy && !checking && !downloading && !installing;
}

std::vector<std::filesystem::path> installRoots() {
    const char* home = std::getenv("HOME");
    std::vector<std::filesystem::path> roots{"/Applications"};
    if (home && *home)
        roots.push_back(std::filesystem::path(home) / "Applications");
    return roots;
}

bool isInstallRoot(const std::filesystem::path& folder) {
    auto normal = folder.lexically_normal();
    if (normal.has_filename() == false)
        normal = normal.parent_path();
    for (const auto& root : installRoots())
        if (normal == root.lexically_normal())
            return true;
    return false;
}

} // namespace zarvo::ReleaseValidation
