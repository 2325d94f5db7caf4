#pragma once
#include <functional>
#include <string>

class SCNetworkConnection;

// The system VPN service "TavroVPN" (L2TP over IPsec): the helper provisions it as NetworkManager's
// VPN profile of that name, whose UUID is the service identifier; the application finds it on the
// system bus, starts and stops it there and follows its status (SCNetworkConnection).
extern std::string extThisServiceID;   // the profile's UUID; empty until found
extern std::string extThisServiceName; // its name
extern std::string extThisService;     // its settings object on the bus
// The connection object for extThisServiceID, created once with scNetworkConnectionCallback and
// kept (owned here); nullptr until then.
extern SCNetworkConnection* extConnection;
// True from an L2TP start until the service reports connected or the attempt ends: an end before
// connected is a failed attempt.
extern bool extL2TPAttemptPending;
// Asked when a connected L2TP tunnel went down without the user's stop: true when the connection
// is taken back (the status is then its).
extern std::function<bool()> extL2TPLostHook;

// Finds the first connection profile named "TavroVPN" and fills the globals; without one (or
// without NetworkManager) they keep their values.
void readCurrentService();
// Launch: creates the connection object for extThisServiceID (when one is known), so that an
// activation already under way is followed from the start.
void attachSystemServiceConnection();
// L2TP start: provisions through the helper ("SET_KEY"), waits for its answer, finds the service
// and activates it. Only a "1" from the helper lets a profile start: otherwise an earlier one would
// connect with its old gateway and account. The outcome arrives through the callback, invalid
// included (not provisioned, no service, NetworkManager absent or refusing); returns false only
// when nothing was attempted.
bool startSystemServiceConnection();
// L2TP stop: asks for deactivation; the callback reports the end. Without a connection, nothing.
void stopSystemServiceConnection();
// Initialize: has the helper remove the known service ("REMOVE_PREF"), then forgets the service and
// its connection object. Without a known service nothing is sent.
void removeSystemService();

// The status callback (status: -1 invalid, 0 disconnected, 1 connecting, 2 connected,
// 3 disconnecting), on the GUI thread.
void scNetworkConnectionCallback(SCNetworkConnection* connection, int status, void* info);
