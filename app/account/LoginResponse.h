#pragma once
#include <optional>
#include <string>

// How an answer of the authentication endpoint counts.
enum class LoginVerdict {
    NoAnswer, // no body: network error, time-out, refused connection
    NotJson,  // the body does not parse as JSON
    Refused,  // JSON, but not an object with a numeric "code" of 0
    Accepted, // "code" is 0
};

struct LoginResponse {
    LoginVerdict verdict = LoginVerdict::NoAnswer;
    std::string parseError;          // NotJson: the parser's message
    std::optional<std::string> code; // the numeric "code" as JSON text, when there was one
    std::string refusal;             // Refused without a numeric code: why

    // A body counts only when it is a JSON object whose "code" is a number; strings, booleans and
    // fractions never count as 0.
    static LoginResponse classify(const std::optional<std::string>& body);
};
