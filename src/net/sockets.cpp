#include "net/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in ipv4_address(std::int32_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

// Closes a socket whose set-up failed, keeping errno for the caller.
int fail_closing(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

}  // namespace

int open_listener(std::int32_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    // Lets a restarted daemon bind while connections of the previous one
    // linger in TIME_WAIT; a port with a live listener still fails.
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        return fail_closing(fd);
    sockaddr_in sa = ipv4_address(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
        return fail_closing(fd);
    if (listen(fd, LISTEN_BACKLOG) < 0)
        return fail_closing(fd);
    return fd;
}

int connect_backend(const char *address, std::int32_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa = ipv4_address(port);
    if (inet_pton(AF_INET, address, &sa.sin_addr) <= 0)
        return fail_closing(fd);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
        return fail_closing(fd);
    return fd;
}
