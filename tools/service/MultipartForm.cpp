#include "tools/service/MultipartForm.h"

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        c = lower(c);
    return out;
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool validBoundary(std::string_view b) {
    if (b.empty() || b.size() > 70 || b.back() == ' ') return false;
    for (char c : b) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
        if (!ok) return false;
    }
    return true;
}

} // namespace

std::optional<std::map<std::string, std::string>> MultipartForm::headerParams(std::string_view value) {
    std::map<std::string, std::string> params;
    const auto semi = value.find(';');
    if (semi == std::string_view::npos) return params;
    std::string_view rest = value.substr(semi + 1);
    std::size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t' || rest[i] == ';'))
            ++i;
        if (i >= rest.size()) break;
        const auto eq = rest.find('=', i);
        if (eq == std::string_view::npos) return std::nullopt;
        const std::string name = lowered(trim(rest.substr(i, eq - i)));
        if (name.empty()) return std::nullopt;
        i = eq + 1;
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t'))
            ++i;
        std::string v;
        if (i < rest.size() && rest[i] == '"') {
            ++i;
            bool closed = false;
            while (i < rest.size()) {
                char c = rest[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < rest.size()) c = rest[i++];
                v += c;
            }
            if (!closed) return std::nullopt;
        } else {
            const auto end = rest.find(';', i);
            v = std::string(
                trim(rest.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i)));
            i = end == std::string_view::npos ? rest.size() : end;
        }
        params.emplace(name, std::move(v));
    }
    return params;
}

std::optional<std::string> MultipartForm::boundaryFrom(std::string_view contentType) {
    const auto semi = contentType.find(';');
    if (lowered(trim(contentType.substr(0, semi))) != "multipart/form-data") return std::nullopt;
    const auto params = headerParams(contentType);
    if (!params) return std::nullopt;
    const auto it = params->find("boundary");
    if (it == params->end() || !validBoundary(it->second)) return std::nullopt;
    return it->second;
}

std::optional<MultipartForm> MultipartForm::parse(std::string_view body, std::string_view boundary) {
    if (!validBoundary(boundary)) return std::nullopt;
    const std::string dashBoundary = "--" + std::string(boundary);
    const std::string delimiter = "\r\n" + dashBoundary;

    // The first delimiter may follow a preamble; it then starts on a line of its own.
    std::size_t pos;
    if (body.starts_with(dashBoundary)) {
        pos = dashBoundary.size();
    } else {
        const auto found = body.find(delimiter);
        if (found == std::string_view::npos) return std::nullopt;
        pos = found + delimiter.size();
    }

    MultipartForm form;
    while (true) {
        if (body.substr(pos, 2) == "--") return form; // closing delimiter; the epilogue is ignored
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t'))
            ++pos;
        if (body.substr(pos, 2) != "\r\n") return std::nullopt;
        pos += 2;
        if (form.parts_.size() >= maxParts) return std::nullopt;

        const auto headerEnd = body.find("\r\n\r\n", pos);
        const bool noHeaders = body.substr(pos, 2) == "\r\n";
        if (!noHeaders && (headerEnd == std::string_view::npos || headerEnd - pos > maxHeaderBlock))
            return std::nullopt;
        Part part;
        std::string_view headerBlock = noHeaders ? std::string_view{} : body.substr(pos, headerEnd - pos);
        pos = noHeaders ? pos + 2 : headerEnd + 4;
        while (!headerBlock.empty()) {
            const auto eol = headerBlock.find("\r\n");
            const std::string_view line = headerBlock.substr(0, eol);
            headerBlock = eol == std::string_view::npos ? std::string_view{} : headerBlock.substr(eol + 2);
            const auto colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) return std::nullopt;
            part.headers[lowered(trim(line.substr(0, colon)))] = std::string(trim(line.substr(colon + 1)));
        }
        if (const auto cd = part.headers.find("content-disposition"); cd != part.headers.end()) {
            const auto params = headerParams(cd->second);
            if (!params) return std::nullopt;
            if (const auto name = params->find("name"); name != params->end()) part.name = name->second;
        }

        const auto next = body.find(delimiter, pos);
        if (next == std::string_view::npos) return std::nullopt;
        part.data = std::string(body.substr(pos, next - pos));
        form.parts_.push_back(std::move(part));
        pos = next + delimiter.size();
    }
}

const std::string* MultipartForm::field(std::string_view name) const {
    for (const auto& p : parts_)
        if (p.name == name) return &p.data;
    return nullptr;
}
