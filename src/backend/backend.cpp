#include "backend/backend.h"

#include <cerrno>
#include <new>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "config/config.h"
#include "net/net.h"

status_slot *server_status = nullptr;

namespace {

constexpr std::size_t STATUS_TABLE_SIZE = MAX_SERVERS * sizeof(status_slot);
static_assert(STATUS_TABLE_SIZE == 40);

// Opens and at once closes a connection to server i: the backend sees a
// connection with no data. errno tells why a failed probe failed; an address
// text that is not IPv4 leaves it as it was.
bool probe(int i)
{
    int fd = connect_backend(daemon_config.servers[i], daemon_config.serverport,
                             daemon_config.connecttimeout * 1000);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

}  // namespace

int create_status_table()
{
    int id = shmget(IPC_PRIVATE, STATUS_TABLE_SIZE, IPC_CREAT | 0600);
    if (id < 0)
        return -1;
    void *table = shmat(id, nullptr, 0);
    int saved = errno;
    // Marked for removal while attached: the attachment is inherited by every
    // process forked later, and the system frees the segment after the last
    // of them ends, however it ends.
    shmctl(id, IPC_RMID, nullptr);
    if (table == reinterpret_cast<void *>(-1)) {
        errno = saved;
        return -1;
    }
    // The slots are objects of their own in the segment, not raw bytes
    // read as atomics; the system has zeroed it, which is STATUS_FREE.
    status_slot *slots = static_cast<status_slot *>(table);
    for (int i = 0; i < MAX_SERVERS; ++i)
        new (&slots[i]) status_slot(STATUS_FREE);
    server_status = slots;
    return 0;
}

int choose_server()
{
    const int count = daemon_config.server_count;
    // Once for the whole walk, not per probe: a server whose text is not IPv4
    // fails without a reason of its own, and the reason an earlier probe left
    // must then stand for the caller's report.
    errno = 0;
    for (int i = 0; i < count; ++i) {
        if (!probe(i)) {
            set_status(i, STATUS_DOWN);
            continue;
        }
        if (status_of(i) == STATUS_DOWN)
            set_status(i, STATUS_FREE);
        // Read again: another worker may have freed it meanwhile.
        if (status_of(i) == STATUS_FREE)
            return i;
    }
    for (int i = 0; i < count; ++i) {
        if (status_of(i) != STATUS_DOWN)
            return i;
    }
    return -1;
}
