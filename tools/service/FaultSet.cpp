#include "tools/service/FaultSet.h"

#include <charconv>

namespace {

struct KindName {
    FaultKind kind;
    std::string_view name;
    bool needsValue;
    bool allowsValue;
};

constexpr KindName kindNames[] = {
    {FaultKind::Refuse, "refuse", false, false},        {FaultKind::Delay, "delay", true, true},
    {FaultKind::BrokenXml, "broken-xml", false, false}, {FaultKind::LoginHtml, "login-html", false, false},
    {FaultKind::LoginCode, "login-code", false, true},  {FaultKind::Status, "status", true, true},
};

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool parseLong(std::string_view text, long& out) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

bool validPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    for (char c : path)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

bool checkValue(FaultKind kind, long value, std::string* error) {
    switch (kind) {
    case FaultKind::Delay:
        if (value < 0 || value > FaultSet::maxDelayMs)
            return fail(error, "delay must be 0.." + std::to_string(FaultSet::maxDelayMs) + " ms");
        return true;
    case FaultKind::Status:
        if (value < 400 || value > 599) return fail(error, "status must be 400..599");
        return true;
    case FaultKind::LoginCode:
        if (value < -1000000 || value > 1000000) return fail(error, "login-code out of range");
        return true;
    default:
        return true;
    }
}

} // namespace

bool Fault::appliesTo(std::string_view requestPath) const {
    if (path.empty()) return true;
    if (path.back() == '*') return requestPath.starts_with(std::string_view(path).substr(0, path.size() - 1));
    return requestPath == path;
}

std::optional<Fault> FaultSet::parseRule(std::string_view rule, std::string* error) {
    rule = trim(rule);
    Fault fault;
    if (const auto at = rule.find('@'); at != std::string_view::npos) {
        fault.path = std::string(rule.substr(at + 1));
        rule = rule.substr(0, at);
        if (!validPath(fault.path)) {
            fail(error, "path must start with \"/\" and hold no spaces");
            return std::nullopt;
        }
    }
    std::string_view name = rule;
    std::string_view value;
    bool hasValue = false;
    if (const auto eq = rule.find('='); eq != std::string_view::npos) {
        name = rule.substr(0, eq);
        value = rule.substr(eq + 1);
        hasValue = true;
    }
    for (const auto& k : kindNames) {
        if (k.name != name) continue;
        fault.kind = k.kind;
        if (hasValue && !k.allowsValue) {
            fail(error, std::string(name) + " takes no value");
            return std::nullopt;
        }
        if (!hasValue && k.needsValue) {
            fail(error, std::string(name) + " needs a value");
            return std::nullopt;
        }
        if (k.kind == FaultKind::LoginCode) fault.value = 1;
        if (hasValue && !parseLong(value, fault.value)) {
            fail(error, std::string(name) + " needs a decimal integer");
            return std::nullopt;
        }
        if (!checkValue(fault.kind, fault.value, error)) return std::nullopt;
        return fault;
    }
    fail(error, "unknown fault \"" + std::string(name) + "\"");
    return std::nullopt;
}

FaultSet FaultSet::parseText(std::string_view text, std::vector<std::string>* errors) {
    FaultSet set;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        ++lineNo;
        if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = trim(line);
        if (line.empty()) continue;
        std::string why;
        if (auto fault = parseRule(line, &why))
            set.add(std::move(*fault));
        else if (errors)
            errors->push_back("line " + std::to_string(lineNo) + ": " + why);
    }
    return set;
}

const Fault* FaultSet::find(FaultKind kind, std::string_view requestPath) const {
    for (auto it = faults_.rbegin(); it != faults_.rend(); ++it)
        if (it->kind == kind && it->appliesTo(requestPath)) return &*it;
    return nullptr;
}

bool FaultSet::refusesAll() const {
    for (const auto& f : faults_)
        if (f.kind == FaultKind::Refuse && f.path.empty()) return true;
    return false;
}

std::string FaultSet::toText() const {
    std::string out;
    for (const auto& f : faults_) {
        for (const auto& k : kindNames)
            if (k.kind == f.kind) out += k.name;
        if (f.kind == FaultKind::Delay || f.kind == FaultKind::Status || f.kind == FaultKind::LoginCode) {
            out += '=';
            out += std::to_string(f.value);
        }
        if (!f.path.empty()) {
            out += '@';
            out += f.path;
        }
        out += '\n';
    }
    return out;
}
