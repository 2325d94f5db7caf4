// Update-file parser and version arithmetic on arbitrary bytes.
#include "app/shell/UpdateXmlParser.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UpdateXmlParser::traceOutput = false;
    UpdateXmlParser::showMessageButton = [](bool, const std::string&) {};
    UpdateXmlParser::showUpdateButton = [](bool, bool, const std::string&) {};

    const std::string text(reinterpret_cast<const char*>(data), size);
    UpdateXmlParser parser;
    parser.parseData(text);
    (void)UpdateXmlParser::versionValue(text);
    (void)UpdateXmlParser::updateTitle(text);
    return 0;
}
