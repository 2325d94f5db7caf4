#pragma once

// The service manager's socket hand-over (LISTEN_PID / LISTEN_FDS, descriptors from 3): with
// Accept=yes the one descriptor is the accepted connection, otherwise a listening socket.
namespace helper {

inline constexpr int kFirstHandedFd = 3;

// The descriptor handed to this process, or -1 when none was (LISTEN_PID names another process,
// LISTEN_FDS missing or not a count, descriptor 3 not a socket). The variables are removed either
// way, so that the programs the helper starts never see them; extra descriptors are closed.
int handedSocket();

// True for a socket in the listening state (to accept from), false for a connection.
bool isListeningSocket(int fd);

} // namespace helper
