#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

// Event-driven XML parsing on expat, shaped like the platform parser the catalogue code was written
// for: a delegate receives document start, start tags with their attribute maps, character data,
// end tags, document end and a fatal error. Input is untrusted: its size is capped, entity
// declarations are refused (no entity expansion at all), nothing external is ever loaded.

using XmlAttributes = std::map<std::string, std::string>;

class XmlEventDelegate {
public:
    virtual ~XmlEventDelegate() = default;
    virtual void parserDidStartDocument() {}
    virtual void didStartElement(const std::string& /*name*/, const XmlAttributes& /*attributes*/) {}
    virtual void foundCharacters(std::string_view /*characters*/) {}
    virtual void didEndElement(const std::string& /*name*/) {}
    virtual void parserDidEndDocument() {}
    virtual void parseErrorOccurred(const std::string& /*description*/) {}
};

class XmlEventParser {
public:
    static constexpr size_t kDefaultMaxInputBytes = 32u << 20;

    // Both return true when the end of the document was reached (parserDidEndDocument was called).
    // parseFile returns false without any callback when the file cannot be opened.
    static bool parseFile(const std::string& path, XmlEventDelegate& delegate,
                          size_t maxInputBytes = kDefaultMaxInputBytes);
    static bool parseData(std::string_view xml, XmlEventDelegate& delegate,
                          size_t maxInputBytes = kDefaultMaxInputBytes);
};
