#pragma once
#include "helper/UniqueFd.h"
#include "helper/UserRights.h"
#include "protocol/HelperProtocol.h"

#include <string>
#include <vector>

// What the helper does for each command word, as one table: a row per word with its fields (the
// shapes both programs share), its failure reply, the records it may touch, and its handler. Which
// records a request reaches, and whose, is decided here and only here, before any handler runs.
namespace helper {

// The records a command may touch; each is the caller's own unless it says otherwise.
enum Records : unsigned {
    kNoRecords = 0,
    // The working folder under the root path, opened with the caller's rights.
    kOwnWorkingFolder = 1u << 0,
    // The caller's own keychain items of the service the request names (root reads anyone's).
    kOwnItems = 1u << 1,
    // The one service the helper provisioned: the request names it, or provisions it for the caller.
    kProvisionedService = 1u << 2,
    // Starts a tunnel (or the profile for one): refused while another user's tunnel is up, which
    // this one would otherwise override in the routes, the resolver and the leak block.
    kTunnel = 1u << 3,
};

struct Request {
    UniqueFd& connection;
    const std::vector<std::string>& fields;
    const Credentials& caller;
};

struct CommandRow {
    const char* word;
    const protocol::MessageShape* shape;
    const char* failureReply; // nullptr: a refusal is answered with nothing
    unsigned records;
    void (*handler)(Request&);
};

// The first message of a connection, and a CMD_SCNETWORK sub-command, through the table: the
// fields are checked, then the records, then the row's handler runs. Unknown words do nothing.
void dispatchFirstMessage(UniqueFd& connection, const std::vector<std::string>& fields,
                          const Credentials& caller);
void dispatchSubCommand(UniqueFd& connection, const std::vector<std::string>& fields,
                        const Credentials& caller);

// The rows, for tests: the first messages, then the sub-commands.
const std::vector<CommandRow>& firstMessageRows();
const std::vector<CommandRow>& subCommandRows();

} // namespace helper
