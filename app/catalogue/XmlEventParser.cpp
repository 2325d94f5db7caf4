#include "app/catalogue/XmlEventParser.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include <expat.h>

namespace {

constexpr size_t kChunk = 64 * 1024;
// expat keeps a record per open element; unbounded nesting would cost far more than the input.
constexpr size_t kMaxDepth = 512;

struct Session {
    XML_Parser parser = nullptr;
    XmlEventDelegate* delegate = nullptr;
    std::string refusal; // set when we stopped the parser ourselves
    size_t depth = 0;
};

void refuse(Session* s, const char* why) {
    if (s->refusal.empty()) s->refusal = why;
    XML_StopParser(s->parser, XML_FALSE);
}

void XMLCALL onStart(void* ud, const XML_Char* name, const XML_Char** atts) {
    auto* s = static_cast<Session*>(ud);
    if (++s->depth > kMaxDepth) return refuse(s, "elements nested too deeply");
    XmlAttributes attributes;
    for (size_t i = 0; atts && atts[i] && atts[i + 1]; i += 2)
        attributes.emplace(atts[i], atts[i + 1]);
    s->delegate->didStartElement(name, attributes);
}

void XMLCALL onEnd(void* ud, const XML_Char* name) {
    auto* s = static_cast<Session*>(ud);
    --s->depth;
    s->delegate->didEndElement(name);
}

void XMLCALL onCharacters(void* ud, const XML_Char* text, int len) {
    if (len > 0) static_cast<Session*>(ud)->delegate->foundCharacters(std::string_view(text, size_t(len)));
}

// Any entity declaration ends the parse: the documents we read never need one, and refusing them
// outright closes every expansion attack rather than only bounding it.
void XMLCALL onEntityDecl(void* ud, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                          const XML_Char*, const XML_Char*, const XML_Char*) {
    refuse(static_cast<Session*>(ud), "entity declarations are not accepted");
}

std::string describeError(const Session& s) {
    std::string what = !s.refusal.empty() ? s.refusal : XML_ErrorString(XML_GetErrorCode(s.parser));
    return what + " (line " + std::to_string(XML_GetCurrentLineNumber(s.parser)) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(s.parser)) + ")";
}

struct ParserDeleter {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

class Run {
public:
    Run(XmlEventDelegate& delegate, size_t maxInputBytes) : max_(maxInputBytes) {
        parser_.reset(XML_ParserCreate(nullptr));
        session_.parser = parser_.get();
        session_.delegate = &delegate;
        if (!parser_) return;
        XML_SetUserData(parser_.get(), &session_);
        XML_SetElementHandler(parser_.get(), onStart, onEnd);
        XML_SetCharacterDataHandler(parser_.get(), onCharacters);
        XML_SetEntityDeclHandler(parser_.get(), onEntityDecl);
        XML_SetParamEntityParsing(parser_.get(), XML_PARAM_ENTITY_PARSING_NEVER);
#ifdef XML_DTD
        XML_SetBillionLaughsAttackProtectionActivationThreshold(parser_.get(), 1u << 20);
#endif
        delegate.parserDidStartDocument();
    }

    // False once the parse has failed (the error was reported).
    bool feed(const char* data, size_t len, bool final) {
        if (!parser_) return fail("out of memory");
        fed_ += len;
        if (fed_ > max_) return fail("document larger than " + std::to_string(max_) + " bytes");
        if (XML_Parse(parser_.get(), data, static_cast<int>(len), final ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK) {
            session_.delegate->parseErrorOccurred(describeError(session_));
            return false;
        }
        if (final) session_.delegate->parserDidEndDocument();
        return true;
    }

    bool fail(const std::string& why) {
        session_.delegate->parseErrorOccurred(why);
        return false;
    }

private:
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser_;
    Session session_;
    size_t max_;
    size_t fed_ = 0;
};

} // namespace

bool XmlEventParser::parseData(std::string_view xml, XmlEventDelegate& delegate, size_t maxInputBytes) {
    if (xml.size() > maxInputBytes) {
        delegate.parserDidStartDocument();
        delegate.parseErrorOccurred("document larger than " + std::to_string(maxInputBytes) + " bytes");
        return false;
    }
    Run run(delegate, maxInputBytes);
    size_t off = 0;
    do {
        size_t n = std::min(kChunk, xml.size() - off);
        bool final = off + n == xml.size();
        if (!run.feed(xml.data() + off, n, final)) return false;
        off += n;
        if (final) return true;
    } while (true);
}

bool XmlEventParser::parseFile(const std::string& path, XmlEventDelegate& delegate, size_t maxInputBytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    Run run(delegate, maxInputBytes);
    std::unique_ptr<char[]> buf(new char[kChunk]);
    for (;;) {
        ssize_t n = ::read(fd, buf.get(), kChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return run.fail("read error");
        if (!run.feed(buf.get(), static_cast<size_t>(n), n == 0)) return false;
        if (n == 0) return true;
    }
}
