#include "app/catalogue/XmlEventParser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iconv.h>
#include <memory>
#include <string_view>
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

// ---- Documents declared in an encoding expat does not know --------------------------------------
// expat itself reads UTF-8, UTF-16, ISO-8859-1 and US-ASCII. Server lists written on Japanese
// systems may be declared Shift_JIS or EUC-JP: those, and any single-byte encoding iconv knows, are
// converted character by character. Anything else is still refused as an unknown encoding.

struct ForeignEncoding {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    int length[256] = {}; // byte length of the character a lead byte starts (0: single byte)
    ForeignEncoding() = default;
    ForeignEncoding(const ForeignEncoding&) = delete;
    ForeignEncoding& operator=(const ForeignEncoding&) = delete;
    ~ForeignEncoding() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

std::string lowerName(const XML_Char* name) {
    std::string n(name ? name : "");
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return n;
}

bool isShiftJisFamily(const std::string& n) {
    return n == "shift_jis" || n == "shift-jis" || n == "sjis" || n == "x-sjis" || n == "ms_kanji" ||
           n == "csshiftjis" || n == "windows-31j" || n == "cp932" || n == "ms932";
}

bool isEucJpFamily(const std::string& n) {
    return n == "euc-jp" || n == "x-euc-jp" || n == "eucjp" || n == "cseucpkdfmtjapanese";
}

// One character of the document to its Unicode scalar value, or -1.
int convertSequence(iconv_t cd, const char* bytes, size_t n) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in[4];
    std::copy(bytes, bytes + n, in);
    char* inp = in;
    size_t inLeft = n;
    unsigned char out[8];
    char* outp = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof out;
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 ||
        sizeof out - outLeft != 4)
        return -1;
    const uint32_t cp = uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return static_cast<int>(cp);
}

int XMLCALL convertForeign(void* data, const char* s) {
    const auto* e = static_cast<const ForeignEncoding*>(data);
    const int n = e->length[static_cast<unsigned char>(s[0])];
    return convertSequence(e->cd, s, static_cast<size_t>(n < 1 ? 1 : n));
}

void XMLCALL releaseForeign(void* data) {
    delete static_cast<ForeignEncoding*>(data);
}

int XMLCALL onUnknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
    const std::string n = lowerName(name);
    if (n.empty() || n.size() > 64) return XML_STATUS_ERROR;
    auto e = std::make_unique<ForeignEncoding>();
    e->cd = iconv_open("UTF-32LE", n.c_str());
    if (e->cd == reinterpret_cast<iconv_t>(-1)) return XML_STATUS_ERROR;

    for (int b = 0; b < 256; ++b) {
        int& m = info->map[b];
        if (b < 0x80) {
            m = b; // both Japanese families keep ASCII where XML's syntax lives
            continue;
        }
        if (isShiftJisFamily(n)) {
            if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) e->length[b] = 2;
            else if (b >= 0xA1 && b <= 0xDF) m = 0xFF61 + (b - 0xA1); // half-width katakana
            else m = -1;
        } else if (isEucJpFamily(n)) {
            if (b == 0x8E || (b >= 0xA1 && b <= 0xFE)) e->length[b] = 2;
            else if (b == 0x8F) e->length[b] = 3; // JIS X 0212
            else m = -1;
        } else {
            // Any other encoding must be single-byte: a byte iconv cannot finish alone starts a
            // sequence of unknown length, and such an encoding is refused.
            iconv(e->cd, nullptr, nullptr, nullptr, nullptr);
            char in = static_cast<char>(b);
            char* inp = &in;
            size_t inLeft = 1;
            char out[8];
            char* outp = out;
            size_t outLeft = sizeof out;
            if (iconv(e->cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1) && errno == EINVAL)
                return XML_STATUS_ERROR;
            const char one = static_cast<char>(b);
            m = convertSequence(e->cd, &one, 1);
        }
        if (e->length[b] > 0) m = -e->length[b];
    }
    if (!isShiftJisFamily(n) && !isEucJpFamily(n)) {
        // An encoding that moves ASCII (EBCDIC, UTF-7's shifts) cannot carry XML's syntax here.
        for (int b = 0; b < 0x80; ++b) {
            const char one = static_cast<char>(b);
            if (convertSequence(e->cd, &one, 1) != b) return XML_STATUS_ERROR;
        }
    }
    info->data = e.release();
    info->convert = convertForeign;
    info->release = releaseForeign;
    return XML_STATUS_OK;
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
        XML_SetUnknownEncodingHandler(parser_.get(), onUnknownEncoding, nullptr);
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
