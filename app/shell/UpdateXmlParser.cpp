#include "app/shell/UpdateXmlParser.h"

#include "platform/Log.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <mutex>

#ifndef TAVROVPN_VERSION
#define TAVROVPN_VERSION "0.0.0"
#endif

UpdateXmlParser extUpdateXmlParser;

namespace {

std::mutex versionMu;
std::string runningVersion = TAVROVPN_VERSION;

void trace(std::string_view prefix, std::string_view text) {
    if (!UpdateXmlParser::traceOutput) return;
    std::string line;
    line.append(prefix).append(text).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
}

// atof in the "C" locale: the application's locale must not change how "1,5" reads.
double readSlot(const std::string& text) {
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return cLocale ? strtod_l(text.c_str(), nullptr, cLocale) : std::atof(text.c_str());
}

const std::string* attribute(const XmlAttributes& attributes, const char* key) {
    auto it = attributes.find(key);
    return it == attributes.end() ? nullptr : &it->second;
}

void take(std::optional<std::string>& field, const XmlAttributes& attributes, const char* key,
          const std::string& element) {
    if (const std::string* v = attribute(attributes, key)) {
        field = *v;
    } else {
        platform::logInfo("update file: %s element without %s ignored", element.c_str(), key);
    }
}

} // namespace

std::string UpdateXmlParser::currentVersion() {
    std::lock_guard lock(versionMu);
    return runningVersion;
}

void UpdateXmlParser::setCurrentVersion(const std::string& version) {
    std::lock_guard lock(versionMu);
    runningVersion = version;
}

std::array<std::string, 4> UpdateXmlParser::versionSlots(const std::string& version) {
    std::array<std::string, 4> slots{"1", "0", "0", "0"};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = version.find('.', start);
        slots[3 - i] = version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return slots;
}

double UpdateXmlParser::versionValue(const std::string& version) {
    const auto p = versionSlots(version);
    return readSlot(p[3]) * 100 + readSlot(p[2]) * 10 + readSlot(p[1]) + readSlot(p[0]) * 0.0001;
}

int UpdateXmlParser::compareVersions(const std::string& a, const std::string& b) {
    const auto p = versionSlots(a);
    const auto q = versionSlots(b);
    for (int i = 3; i >= 0; --i) {
        const double x = readSlot(p[static_cast<size_t>(i)]);
        const double y = readSlot(q[static_cast<size_t>(i)]);
        if (x < y) return -1;
        if (x > y) return 1;
    }
    return 0;
}

std::string UpdateXmlParser::updateTitle(const std::string& latestVersion) {
    const auto l = versionSlots(latestVersion);
    return "v" + l[3] + "." + l[2] + "." + l[1] + "にアップデートしてください";
}

bool UpdateXmlParser::parseFile(const std::string& path) {
    return XmlEventParser::parseFile(path, *this, 1u << 20);
}

bool UpdateXmlParser::parseData(std::string_view xml) {
    return XmlEventParser::parseData(xml, *this, 1u << 20);
}

void UpdateXmlParser::parserDidStartDocument() {
    platform::logText("parserDidStartDocument");
}

void UpdateXmlParser::didStartElement(const std::string& name, const XmlAttributes& attributes) {
    trace("開始タグ:", name);
    if (name == "MacOS") {
        _isMacOSTag = true;
        take(_LatestVersion, attributes, "LatestVersion", name);
    } else if (name == "Download") {
        if (_isMacOSTag) take(_downloadUrl, attributes, "url", name);
    } else if (name == "Message") {
        take(_messageText, attributes, "text", name);
    } else if (name == "MessageURL") {
        take(_messageUrl, attributes, "url", name);
    }
}

void UpdateXmlParser::foundCharacters(std::string_view characters) {
    trace("要素:", characters);
}

void UpdateXmlParser::didEndElement(const std::string& name) {
    trace("終了タグ:", name);
    if (name == "MacOS") _isMacOSTag = false;
}

void UpdateXmlParser::parserDidEndDocument() {
    trace("XML解析終了しました", "");
    if (_messageText && showMessageButton) showMessageButton(false, *_messageText);
    if (_LatestVersion && _downloadUrl) {
        if (compareVersions(currentVersion(), *_LatestVersion) < 0) {
            if (showUpdateButton)
                showUpdateButton(false, _messageText.has_value(), updateTitle(*_LatestVersion));
        }
    }
}

void UpdateXmlParser::parseErrorOccurred(const std::string& description) {
    trace("エラー:", description);
}
