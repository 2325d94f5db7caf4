#pragma once
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/catalogue/XmlEventParser.h"

// The update-file parser: newest macOS version, its download page and an optional notice. Its
// fields are read later by the band buttons; the end of the document drives the bands through
// the callbacks the application shell installs.
class UpdateXmlParser : public XmlEventDelegate {
public:
    std::optional<std::string> _downloadUrl;
    std::optional<std::string> _messageText;
    std::optional<std::string> _messageUrl;
    std::optional<std::string> _LatestVersion;
    bool _isMacOSTag = false;

    static inline std::function<void(bool isHidden, const std::string& message)> showMessageButton;
    static inline std::function<void(bool isHidden, bool ShowMessage, const std::string& title)>
        showUpdateButton;
    // Trace prints to standard output.
    static inline bool traceOutput = true;

    // Version of the running application (the project version unless overridden, e.g. by tests).
    static std::string currentVersion();
    static void setCurrentVersion(const std::string& version);

    // Four slots P[0..3] of a dot-separated version: P[3] the first part, P[2] the second,
    // P[1] the third, P[0] the fourth; missing parts keep "0" (P[0]: "1"). Parts after the fourth
    // are ignored.
    static std::array<std::string, 4> versionSlots(const std::string& version);
    // P[3]*100 + P[2]*10 + P[1] + P[0]*0.0001, each slot read like atof.
    static double versionValue(const std::string& version);
    // Negative, zero or positive as version a is older than, the same as or newer than b: the
    // slots compared one by one as numbers (read like atof), the first part first, so that a part
    // of 10 or more never spills into the next.
    static int compareVersions(const std::string& a, const std::string& b);
    // "v" + L[3] + "." + L[2] + "." + L[1] + "にアップデートしてください"
    static std::string updateTitle(const std::string& latestVersion);

    bool parseFile(const std::string& path);
    bool parseData(std::string_view xml);

    void parserDidStartDocument() override;
    void didStartElement(const std::string& name, const XmlAttributes& attributes) override;
    void foundCharacters(std::string_view characters) override;
    void didEndElement(const std::string& name) override;
    void parserDidEndDocument() override;
    void parseErrorOccurred(const std::string& description) override;
};

extern UpdateXmlParser extUpdateXmlParser;
