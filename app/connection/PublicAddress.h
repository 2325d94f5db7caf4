#pragma once

// Fetches the public address from the service and shows it in the host's ipaddrText. The fetch
// runs on a worker; the text is set on the GUI thread, and only while still connected (a late
// answer must not bring an address back after the tunnel went down). Nothing changes on failure
// or for a body without ":".
void GetAndSetIPAddr();
