#pragma once
// Helper messages in the exact shapes the application sends, for the suites that talk to the helper.
#include <string>

namespace testsupport {

// A certificate pin of the shape openconnect's probe prints (SHA-256, base64).
inline const std::string kTestPin = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

inline std::string openConnectStart(const std::string& root, const std::string& host = "127.0.0.1",
                                    const std::string& user = "tb000001") {
    return "CMD_OPENCONNECT_START," + root + "," + user + ",https://" + host + ":443/," + kTestPin;
}

} // namespace testsupport
