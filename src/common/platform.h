// What differs between the systems dovra runs on, kept in one place so that
// the rest of the code is written once for all of them.
#pragma once

#include <sys/socket.h>

// Flags for every send() of a relay. A send to a peer that has gone then
// fails with EPIPE whatever the disposition of SIGPIPE; FreeBSD and Linux
// both have MSG_NOSIGNAL.
#ifdef MSG_NOSIGNAL
inline constexpr int RELAY_SEND_FLAGS = MSG_NOSIGNAL;
#else
inline constexpr int RELAY_SEND_FLAGS = 0;
#endif

// A flag for a send() that more bytes follow at once, so that the kernel may
// hold it back to fill a whole segment (Linux MSG_MORE); 0 where there is no
// such flag. Setting TCP_NODELAY again sends what it held back.
#ifdef MSG_MORE
inline constexpr int RELAY_SEND_MORE = MSG_MORE;
#else
inline constexpr int RELAY_SEND_MORE = 0;
#endif

// Closes every descriptor above standard error, so that nothing a launcher
// leaked lives on in the daemon and in every worker it forks.
void close_inherited_descriptors();
