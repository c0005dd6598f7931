#include "studio/preset_store.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace zarvo {

namespace {

constexpr size_t kMaxNameCharacters = 80;

// Decodes one UTF-8 code point at `i`; the length is 1 for a byte that starts no valid sequence.
char32_t codePointAt(const std::string& text, size_t i, size_t& length) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char first = byte(i);
    length = first < 0x80           ? 1
             : (first >> 5) == 0x6  ? 2
             : (first >> 4) == 0xE  ? 3
             : (first >> 3) == 0x1E ? 4
                                    : 1;
    if (i + length > text.size())
        length = 1;
    if (length == 1)
        return first;
    char32_t value = first & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            length = 1;
            return first;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    return value;
}

bool isSpaceOrBreak(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

} // namespace

PresetStore::PresetStore(std::filesystem::path file, UserDefaults& defaults, PresetUI& ui)
    : file_(std::move(file)), defaults_(defaults), ui_(ui) {}

void PresetStore::load() {
    presets_ = Json::array();
    const auto text = readFile(file_);
    if (!text)
        return;
    Json parsed = Json::parse(*text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array())
        return;
    for (const auto& record : parsed)
        if (!record.is_object())
            return;
    presets_ = std::move(parsed);
}

bool PresetStore::persistPresets() {
    std::string text;
    bool written = false;
    try {
        text = presets_.dump();
        written = bool(writeFileAtomically(file_, text));
    } catch (const Json::exception&) {
        written = false;
    }
    if (!written)
        ui_.alert("Zarvo", "预设保存失败，请检查磁盘空间");
    return written;
}

std::optional<std::string> PresetStore::presetName(const std::string& raw) {
    std::vector<std::pair<size_t, size_t>> characters; // offset, length
    for (size_t i = 0; i < raw.size();) {
        size_t length = 1;
        codePointAt(raw, i, length);
        characters.emplace_back(i, length);
        i += length;
    }
    size_t first = 0, last = characters.size();
    size_t length = 0;
    while (first < last && isSpaceOrBreak(codePointAt(raw, characters[first].first, length)))
        ++first;
    while (last > first && isSpaceOrBreak(codePointAt(raw, characters[last - 1].first, length)))
        --last;
    if (first == last)
        return std::nullopt;
    last = std::min(last, first + kMaxNameCharacters);
    const size_t begin = characters[first].first;
    const size_t end = characters[last - 1].first + characters[last - 1].second;
    return raw.substr(begin, end - begin);
}

void PresetStore::savePreset(const std::optional<std::string>& name, PresetHost& host) {
    if (!host.coreAlive())
        return;
    std::optional<std::string> raw = name;
    if (!raw || raw->empty()) {
        raw = ui_.askPresetName();
        if (!raw)
            return;
    }
    const auto trimmed = presetName(*raw);
    if (!trimmed)
        return;
    presets_.push_back(Json{{"id", randomUuid()},
                            {"name", *trimmed},
                            {"mode", host.selectedMode()},
                            {"reference", host.selectedReference()},
                            {"camera", host.selectedCameraID().value_or("")},
                            {"mirror", host.mirror()}});
    persistPresets();
}

const Json* PresetStore::find(const std::string& id) const {
    for (const auto& record : presets_)
        if (jsonString(record, "id") == id)
            return &record;
    return nullptr;
}

void PresetStore::applyDuringSession(const std::string& id, PresetHost& host) {
    const Json* preset = find(id);
    const std::optional<std::string> reference =
        preset ? jsonString(*preset, "reference") : std::nullopt;
    std::optional<std::string> data;
    if (reference && host.galleryHasPath(*reference))
        data = host.readReference(*reference);
    if (!data) {
        ui_.alert("Zarvo", "预设参考图缺失，请重新选择");
        return;
    }
    const int64_t mode = jsonInteger(*preset, "mode", 0);
    // A damaged record's mode is no switch to ask the service for.
    if (mode < 0 || mode >= host.modeButtonCount()) {
        ui_.alert("Zarvo", "此预设的模式无效，请重新保存预设");
        return;
    }
    // Camera and mirror stay as they are while the session uses the camera; the mode and the
    // picture change only once the service accepted the switch.
    host.switchLive(std::move(*data), int(mode),
                    [&host, defaults = &defaults_, path = *reference, mode] {
                        host.chooseReference(path, true);
                        host.showSelectedMode(int(mode));
                        defaults->set("editingMode", mode);
                    });
}

void PresetStore::applyPreset(const std::string& id, PresetHost& host) {
    if (!host.coreAlive())
        return;
    if (host.aiActive()) {
        applyDuringSession(id, host);
        return;
    }
    if (host.aiBusy() || host.aiStopping()) {
        ui_.alert("Zarvo", "请先停止 AI，再应用预设");
        return;
    }
    const Json* preset = find(id);
    if (!preset)
        return;
    const std::string reference = jsonString(*preset, "reference", "");
    if (!reference.empty() && !host.galleryHasPath(reference)) {
        ui_.alert("Zarvo", "此预设的参考图已删除，请重新选择参考图并保存预设");
        return;
    }
    const std::string camera = jsonString(*preset, "camera", "");
    if (!camera.empty() && !host.cameraAvailable(camera)) {
        ui_.alert("Zarvo", "此预设的摄像头当前未连接");
        return;
    }
    // Every check passed; only now does anything change. The record is copied because the
    // handlers below may reach back into the store.
    const Json record = *preset;
    if (auto mode = jsonInteger(record, "mode");
        mode && *mode >= 0 && *mode < host.modeButtonCount())
        host.selectMode(int(*mode));
    if (!reference.empty())
        host.chooseReference(reference, false);
    else
        host.clearReference();
    if (!camera.empty() && host.cameraAvailable(camera))
        host.selectCamera(camera);
    host.setMirror(jsonBool(record, "mirror") == true);
}

void PresetStore::deletePreset(const std::string& id) {
    if (!ui_.confirm("删除此预设？", "", "删除", "取消"))
        return;
    Json kept = Json::array();
    for (auto& record : presets_)
        if (jsonString(record, "id") != id)
            kept.push_back(std::move(record));
    presets_ = std::move(kept);
    persistPresets();
}

} // namespace zarvo
