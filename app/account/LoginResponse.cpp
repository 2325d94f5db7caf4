#include "app/account/LoginResponse.h"

#include <nlohmann/json.hpp>

LoginResponse LoginResponse::classify(const std::optional<std::string>& body) {
    LoginResponse r;
    if (!body) return r;
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(*body);
    } catch (const nlohmann::json::exception& e) {
        r.verdict = LoginVerdict::NotJson;
        r.parseError = e.what();
        return r;
    }
    r.verdict = LoginVerdict::Refused;
    if (!doc.is_object()) {
        r.refusal = "answer is not a JSON object";
        return r;
    }
    const auto it = doc.find("code");
    if (it == doc.end()) {
        r.refusal = "answer has no \"code\"";
        return r;
    }
    if (!it->is_number()) {
        r.refusal = "\"code\" is not a number";
        return r;
    }
    r.code = it->dump();
    bool zero = false;
    if (it->is_number_unsigned())
        zero = it->get<unsigned long long>() == 0;
    else if (it->is_number_integer())
        zero = it->get<long long>() == 0;
    else
        zero = it->get<double>() == 0.0;
    if (zero) r.verdict = LoginVerdict::Accepted;
    return r;
}
