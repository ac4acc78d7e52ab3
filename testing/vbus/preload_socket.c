/* Socket life cycle, binding, names and options of emulated CAN sockets.
 * Each one is an AF_UNIX SOCK_SEQPACKET connection to the hub, so the
 * descriptor itself polls, blocks and sets O_NONBLOCK natively. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "preload.h"

static int open_emulated(int type)
{
    int fd = REAL(socket)(AF_UNIX, SOCK_SEQPACKET | (type & SOCK_CLOEXEC), 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un hub = {.sun_family = AF_UNIX};
    strcpy(hub.sun_path, vbus_bus_path());
    struct vsock *s = NULL;
    if (fd >= VBUS_MAX_FDS || REAL(connect)(fd, (struct sockaddr *)&hub, sizeof hub) < 0 ||
        ((type & SOCK_NONBLOCK) && REAL(fcntl)(fd, F_SETFL, O_NONBLOCK) < 0) || !(s = vsock_new())) {
        int err = fd >= VBUS_MAX_FDS ? EMFILE : errno;
        REAL(close)(fd);
        return vbus_fail(err);
    }
    vsock_attach(fd, s);
    return fd;
}

EXPORT int socket(int domain, int type, int protocol)
{
    if (domain == PF_CAN && (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_RAW && protocol == CAN_RAW &&
        vbus_attach())
        return open_emulated(type);
    return REAL(socket)(domain, type, protocol);
}

EXPORT int bind(int fd, const struct sockaddr *addr, socklen_t len)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(bind)(fd, addr, len);
    if (len < CAN_ADDR_LEN || addr->sa_family != AF_CAN)
        return vbus_fail(EINVAL);
    int index = ((const struct sockaddr_can *)addr)->can_ifindex;
    int slot = index == 0 ? VS_ANY : vbus_slot_by_index(index);
    if (slot == VS_UNBOUND)
        return vbus_fail(ENODEV);
    /* Answered once the hub routes to the socket: a frame sent after bind()
     * returns is never missed. */
    if (vbus_request(fd, VBUS_OP_BIND, index, NULL, 0) < 0)
        return -1;
    s->ifindex = index;
    s->slot = slot;
    if (slot >= 0) {
        /* Binding to a downed interface owes the user an ENETDOWN at once. */
        uint64_t w = atomic_load(vbus_faults(slot));
        atomic_store(&s->seen_epoch, (uint16_t)(vbus_epoch(w) - ((w & VBUS_DOWN) ? 1 : 0)));
    }
    return 0;
}

EXPORT int close(int fd)
{
    vsock_detach(fd);
    return REAL(close)(fd);
}

EXPORT int close_range(unsigned first, unsigned last, int flags)
{
    if (!(flags & CLOSE_RANGE_CLOEXEC))
        for (unsigned fd = first; fd <= last && fd < VBUS_MAX_FDS; fd++)
            vsock_detach((int)fd);
    return REAL(close_range)(first, last, flags);
}

EXPORT void closefrom(int lowfd)
{
    for (int fd = lowfd < 0 ? 0 : lowfd; fd < VBUS_MAX_FDS; fd++)
        vsock_detach(fd);
    REAL(closefrom)(lowfd);
}

static int share(int old, int new)
{
    struct vsock *s = vsock_of(old);
    if (new >= 0 && new != old) {
        if (s && new < VBUS_MAX_FDS)
            vsock_attach(new, s);
        else
            vsock_detach(new);
    }
    return new;
}

EXPORT int dup(int fd) { return share(fd, REAL(dup)(fd)); }
EXPORT int dup2(int fd, int fd2) { return share(fd, REAL(dup2)(fd, fd2)); }
EXPORT int dup3(int fd, int fd2, int flags) { return share(fd, REAL(dup3)(fd, fd2, flags)); }

static int fcntl_common(int (*real)(int, int, ...), int fd, int cmd, va_list ap)
{
    /* Every fcntl argument is an int or a pointer, passed in one register. */
    long arg = va_arg(ap, long);
    int r = real(fd, cmd, arg);
    return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC ? share(fd, r) : r;
}

EXPORT int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    int r = fcntl_common(REAL(fcntl), fd, cmd, ap);
    va_end(ap);
    return r;
}

EXPORT int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    int r = fcntl_common(REAL(fcntl64), fd, cmd, ap);
    va_end(ap);
    return r;
}

/* Interface names: the hub's interfaces first, then the kernel's. */
EXPORT unsigned int if_nametoindex(const char *name)
{
    int slot = vbus_slot_by_name(name);
    return slot >= 0 ? vbus_shared->ifaces[slot].index : REAL(if_nametoindex)(name);
}

EXPORT char *if_indextoname(unsigned int index, char name[IF_NAMESIZE])
{
    int slot = vbus_slot_by_index((int)index);
    if (slot < 0)
        return REAL(if_indextoname)(index, name);
    return strcpy(name, vbus_shared->ifaces[slot].name);
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    struct ifreq *ifr = arg;
    if (ifr && request == SIOCGIFINDEX) {
        int slot = vbus_slot_by_name(ifr->ifr_name);
        if (slot >= 0) {
            ifr->ifr_ifindex = (int)vbus_shared->ifaces[slot].index;
            return 0;
        }
    } else if (ifr && request == SIOCGIFNAME) {
        int slot = vbus_slot_by_index(ifr->ifr_ifindex);
        if (slot >= 0) {
            memcpy(ifr->ifr_name, vbus_shared->ifaces[slot].name, IF_NAMESIZE);
            return 0;
        }
    }
    return REAL(ioctl)(fd, request, arg);
}

EXPORT int getsockname(int fd, struct sockaddr *addr, socklen_t *len)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(getsockname)(fd, addr, len);
    struct sockaddr_can can = {.can_family = AF_CAN, .can_ifindex = s->ifindex};
    memcpy(addr, &can, *len < CAN_ADDR_LEN ? *len : CAN_ADDR_LEN);
    *len = CAN_ADDR_LEN;
    return 0;
}

/* A raw CAN socket has no peer and cannot connect or shut down. */
EXPORT int getpeername(int fd, struct sockaddr *addr, socklen_t *len)
{
    return vsock_of(fd) ? vbus_fail(EOPNOTSUPP) : REAL(getpeername)(fd, addr, len);
}

EXPORT int connect(int fd, const struct sockaddr *addr, socklen_t len)
{
    return vsock_of(fd) ? vbus_fail(EOPNOTSUPP) : REAL(connect)(fd, addr, len);
}

EXPORT int shutdown(int fd, int how) { return vsock_of(fd) ? vbus_fail(EOPNOTSUPP) : REAL(shutdown)(fd, how); }

static int *int_option(struct vsock *s, int name)
{
    switch (name) {
    case CAN_RAW_LOOPBACK:
        return &s->loopback;
    case CAN_RAW_RECV_OWN_MSGS:
        return &s->recv_own;
    case CAN_RAW_FD_FRAMES:
        return &s->fd_frames;
    case CAN_RAW_JOIN_FILTERS:
        return &s->join_filters;
    case CAN_RAW_XL_FRAMES:
        return &s->xl_frames;
    }
    return NULL;
}

static int set_can_option(int fd, struct vsock *s, int name, const void *val, socklen_t len)
{
    if (name == CAN_RAW_FILTER) {
        if (len % sizeof(struct can_filter) || len > sizeof s->filters)
            return vbus_fail(EINVAL);
        int count = (int)(len / sizeof(struct can_filter));
        if (vbus_request(fd, VBUS_OP_FILTER, count, val, len) < 0)
            return -1;
        memcpy(s->filters, val, len);
        s->nfilters = count;
        return 0;
    }
    if (name == CAN_RAW_ERR_FILTER) {
        can_err_mask_t mask;
        if (len != sizeof mask)
            return vbus_fail(EINVAL);
        memcpy(&mask, val, sizeof mask);
        mask &= CAN_ERR_MASK;
        if (vbus_request(fd, VBUS_OP_ERR_MASK, (int32_t)mask, NULL, 0) < 0)
            return -1;
        s->err_mask = mask;
        return 0;
    }
    int *field = int_option(s, name), value;
    if (!field)
        return vbus_fail(ENOPROTOOPT);
    if (len != sizeof(int))
        return vbus_fail(EINVAL);
    memcpy(&value, val, sizeof value);
    if (name == CAN_RAW_FD_FRAMES && s->xl_frames && !value)
        return vbus_fail(EINVAL); /* CAN XL includes CAN FD */
    int op = name == CAN_RAW_LOOPBACK        ? VBUS_OP_LOOPBACK
             : name == CAN_RAW_RECV_OWN_MSGS ? VBUS_OP_RECV_OWN
             : name == CAN_RAW_JOIN_FILTERS  ? VBUS_OP_JOIN_FILTERS
                                             : 0;
    if (op && vbus_request(fd, (uint32_t)op, value, NULL, 0) < 0)
        return -1;
    *field = value;
    if (name == CAN_RAW_XL_FRAMES && value)
        s->fd_frames = value;
    return 0;
}

EXPORT int setsockopt(int fd, int level, int name, const void *val, socklen_t len)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(setsockopt)(fd, level, name, val, len);
    if (level == SOL_CAN_RAW)
        return set_can_option(fd, s, name, val, len);
    if (level != SOL_SOCKET)
        return vbus_fail(EINVAL);
    int r = REAL(setsockopt)(fd, level, name, val, len);
    /* The connection drops nothing itself: the hub's count stands in for it. */
    if (r == 0 && name == SO_RXQ_OVFL)
        s->rxq_ovfl = len >= (socklen_t)sizeof(int) && *(const int *)val != 0;
    /* A receive buffer here is the hub's send buffer towards this socket. */
    if (r == 0 && (name == SO_RCVBUF || name == SO_RCVBUFFORCE))
        r = vbus_request(fd, name == SO_RCVBUF ? VBUS_OP_RCVBUF : VBUS_OP_RCVBUFFORCE, *(const int *)val, NULL, 0);
    return r;
}

static int socket_identity(int name, void *val, socklen_t *len)
{
    int value = name == SO_DOMAIN ? AF_CAN : name == SO_TYPE ? SOCK_RAW : CAN_RAW;
    socklen_t n = *len < sizeof value ? *len : sizeof value;
    memcpy(val, &value, n);
    *len = n;
    return 0;
}

static int get_can_option(struct vsock *s, int name, void *val, socklen_t *lenp)
{
    int len = (int)*lenp;
    if (len < 0)
        return vbus_fail(EINVAL);
    const void *src;
    int size;
    if (name == CAN_RAW_FILTER) {
        size = s->nfilters * (int)sizeof(struct can_filter);
        if (len < size) {
            *lenp = (socklen_t)size; /* the room the caller needs */
            return vbus_fail(ERANGE);
        }
        src = s->filters;
    } else if (name == CAN_RAW_ERR_FILTER) {
        src = &s->err_mask;
        size = sizeof s->err_mask;
    } else if ((src = int_option(s, name))) {
        size = sizeof(int);
    } else {
        return vbus_fail(ENOPROTOOPT);
    }
    if (len > size)
        len = size;
    memcpy(val, src, (size_t)len);
    *lenp = (socklen_t)len;
    return 0;
}

EXPORT int getsockopt(int fd, int level, int name, void *val, socklen_t *len)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(getsockopt)(fd, level, name, val, len);
    if (level == SOL_CAN_RAW)
        return get_can_option(s, name, val, len);
    if (level != SOL_SOCKET)
        return vbus_fail(EINVAL);
    if (name == SO_DOMAIN || name == SO_TYPE || name == SO_PROTOCOL)
        return socket_identity(name, val, len);
    return REAL(getsockopt)(fd, level, name, val, len);
}
