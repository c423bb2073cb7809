#include "bulserve/bulserve.h"

int bulserve_lane(BulserveLanes *lanes, int socket_fd, int ifindex, std::int64_t now_ms)
{
    if (ifindex == 0 || !lanes->possible)
        return socket_fd;
    int idlest = 0;
    for (int i = 0; i < lanes->count; ++i) {
        if (lanes->ifindex[i] == ifindex) {
            lanes->used_ms[i] = now_ms;
            return lanes->fd[i];
        }
        if (lanes->used_ms[i] < lanes->used_ms[idlest])
            idlest = i;
    }
    if (lanes->count == BULSERVE_MAX_LANES) {
        // Interfaces come and go (a tunnel per connection, a container's
        // link), each under a new index: a lane kept for one gone would
        // leave every later interface on the server's own socket for good.
        // A lane idle that long has sent what it held on any usual queue
        // (a gone interface's queue goes with it), so it passes to the new
        // interface.
        if (now_ms - lanes->used_ms[idlest] < BULSERVE_LANE_IDLE_MS)
            return socket_fd;
        lanes->ifindex[idlest] = ifindex;
        lanes->used_ms[idlest] = now_ms;
        return lanes->fd[idlest];
    }
    int fd = bulserve_open_lane(socket_fd);
    if (fd < 0) {
        // Out of descriptors or memory: no more lanes, nothing to log per
        // packet; the server's own socket serves.
        lanes->possible = false;
        return socket_fd;
    }
    lanes->fd[lanes->count] = fd;
    lanes->ifindex[lanes->count] = ifindex;
    lanes->used_ms[lanes->count] = now_ms;
    return lanes->fd[lanes->count++];
}
