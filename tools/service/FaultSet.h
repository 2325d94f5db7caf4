#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Misbehaviour the service can be told to show, either from the command line (--fault RULE) or from the
// control file. A rule is NAME[=VALUE][@PATH]; PATH is an exact request path or a prefix ending in "*".
//   refuse            stop listening (connections are refused); with @PATH: drop the connection unanswered
//   delay=MS          wait MS milliseconds before answering
//   broken-xml        serve the server list / update file cut off in the middle
//   login-html        the login endpoint answers an HTML page instead of JSON
//   login-code=N      the login endpoint answers {"code":N} whatever the account (N defaults to 1)
//   status=CODE       answer HTTP CODE (400-599) with a short text body
enum class FaultKind { Refuse, Delay, BrokenXml, LoginHtml, LoginCode, Status };

struct Fault {
    FaultKind kind{FaultKind::Refuse};
    long value{0};
    std::string path; // empty: every path

    bool appliesTo(std::string_view requestPath) const;
};

class FaultSet {
public:
    static constexpr long maxDelayMs = 600000;

    // Parses one rule; nullopt (with a reason in *error) when it is not understood.
    static std::optional<Fault> parseRule(std::string_view rule, std::string* error = nullptr);
    // Parses control-file text: one rule per line, blank lines and "#" comments skipped. Lines that do not
    // parse are skipped and described in *errors.
    static FaultSet parseText(std::string_view text, std::vector<std::string>* errors = nullptr);

    void add(Fault fault) { faults_.push_back(std::move(fault)); }
    bool empty() const { return faults_.empty(); }
    const std::vector<Fault>& faults() const { return faults_; }

    // The last matching fault of that kind wins, so a later line can override an earlier one.
    const Fault* find(FaultKind kind, std::string_view requestPath) const;
    // "refuse" without a path: the listener itself goes away.
    bool refusesAll() const;
    std::string toText() const;

private:
    std::vector<Fault> faults_;
};
