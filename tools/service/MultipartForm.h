#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A multipart/form-data body split into its named parts. The parser is strict about the delimiters
// (CR LF line ends, a closing delimiter) so that a truncated or garbled body is refused, not half-read.
class MultipartForm {
public:
    struct Part {
        std::string name;
        std::map<std::string, std::string> headers; // names lower-cased
        std::string data;
    };

    static constexpr std::size_t maxParts = 64;
    static constexpr std::size_t maxHeaderBlock = 8192;

    // The boundary parameter of a "multipart/form-data" Content-Type, quoted or not.
    static std::optional<std::string> boundaryFrom(std::string_view contentType);
    static std::optional<MultipartForm> parse(std::string_view body, std::string_view boundary);

    // Parameters after the first ";" of a header value (names lower-cased, quotes removed).
    static std::optional<std::map<std::string, std::string>> headerParams(std::string_view value);

    const std::vector<Part>& parts() const { return parts_; }
    // Data of the first part with that name.
    const std::string* field(std::string_view name) const;

private:
    std::vector<Part> parts_;
};
