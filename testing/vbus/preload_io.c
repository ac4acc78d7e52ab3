/* Reading and writing frames on emulated CAN sockets. Writes are checked here
 * against the interface's fault word, so an injected fault fails the write
 * call itself as the kernel's would; with no fault armed that check is one
 * atomic load. Reads drop the hub's wake-ups and deliver the ENETDOWN a link
 * down owes each socket once. */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "preload.h"

/* The kernel's size bounds for a raw write (classic frame up to CAN XL). */
#define RAW_MIN_SIZE 13
#define RAW_MAX_SIZE 2060

static size_t iov_total(const struct iovec *iov, size_t n)
{
    size_t total = 0;
    for (size_t i = 0; i < n; i++)
        total += iov[i].iov_len;
    return total;
}

/* ---- receiving ---- */

static void report_address(struct msghdr *user, int ifindex)
{
    if (!user->msg_name)
        return;
    struct sockaddr_can can = {.can_family = AF_CAN, .can_ifindex = ifindex};
    memcpy(user->msg_name, &can, user->msg_namelen < CAN_ADDR_LEN ? user->msg_namelen : CAN_ADDR_LEN);
    user->msg_namelen = CAN_ADDR_LEN;
}

/* The kernel's SO_RXQ_OVFL message, after what the connection's own recvmsg
 * left there (its receive time), when there was a drop and there is room. */
static void report_drops(struct msghdr *user, size_t room, uint32_t drops)
{
    size_t used = CMSG_ALIGN(user->msg_controllen);
    if (!drops || !user->msg_control)
        return;
    if (used + CMSG_SPACE(sizeof drops) > room) {
        user->msg_flags |= MSG_CTRUNC;
        return;
    }
    struct cmsghdr *c = (struct cmsghdr *)((char *)user->msg_control + used);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SO_RXQ_OVFL;
    c->cmsg_len = CMSG_LEN(sizeof drops);
    memcpy(CMSG_DATA(c), &drops, sizeof drops);
    user->msg_controllen = used + CMSG_SPACE(sizeof drops);
}

static ssize_t can_recv(int fd, struct vsock *s, struct msghdr *user, int flags)
{
    if (vsock_owes_enetdown(s))
        return vbus_fail(ENETDOWN);
    if (user->msg_iovlen > IOV_MAX)
        return vbus_fail(EMSGSIZE);
    /* A socket bound to every interface gets each frame behind its ifindex.
     * The user's buffers take the frame's 16 bytes at most (a scratch buffer
     * what they have no room for), the drop count behind it is ours. */
    int any = s->slot == VS_ANY;
    uint32_t ifindex = (uint32_t)s->ifindex, drops = 0;
    unsigned char scratch[VBUS_FRAME_LEN];
    struct iovec iov[IOV_MAX + 3];
    size_t n_iov = 0, room = 0;
    if (any)
        iov[n_iov++] = (struct iovec){.iov_base = &ifindex, .iov_len = sizeof ifindex};
    for (size_t i = 0; i < user->msg_iovlen && room < VBUS_FRAME_LEN; i++) {
        size_t take = user->msg_iov[i].iov_len < VBUS_FRAME_LEN - room ? user->msg_iov[i].iov_len
                                                                       : VBUS_FRAME_LEN - room;
        if (take == 0)
            continue;
        iov[n_iov++] = (struct iovec){.iov_base = user->msg_iov[i].iov_base, .iov_len = take};
        room += take;
    }
    if (room < VBUS_FRAME_LEN)
        iov[n_iov++] = (struct iovec){.iov_base = scratch, .iov_len = VBUS_FRAME_LEN - room};
    iov[n_iov++] = (struct iovec){.iov_base = &drops, .iov_len = sizeof drops};
    struct msghdr m = {.msg_iov = iov, .msg_iovlen = n_iov};
    ssize_t expect = any ? VBUS_DELIVERED_ADDRESSED_LEN : VBUS_DELIVERED_LEN;
    for (;;) {
        m.msg_control = user->msg_control;
        m.msg_controllen = user->msg_controllen;
        ssize_t n = REAL(recvmsg)(fd, &m, flags | MSG_TRUNC);
        if (n == expect)
            break;
        if (n <= 0)
            return n;
        /* A wake-up: not the user's. */
        if (flags & MSG_PEEK) {
            char drop[64];
            REAL(recv)(fd, drop, sizeof drop, MSG_DONTWAIT);
        }
        if (vsock_owes_enetdown(s))
            return vbus_fail(ENETDOWN);
    }
    size_t control_room = user->msg_controllen;
    user->msg_flags = m.msg_flags & ~MSG_TRUNC;
    if (room < VBUS_FRAME_LEN)
        user->msg_flags |= MSG_TRUNC;
    user->msg_controllen = m.msg_controllen;
    if (s->rxq_ovfl)
        report_drops(user, control_room, drops);
    report_address(user, (int)ifindex);
    return (flags & MSG_TRUNC) || room >= VBUS_FRAME_LEN ? VBUS_FRAME_LEN : (ssize_t)room;
}

static ssize_t recv_one(int fd, struct vsock *s, void *buf, size_t len, int flags, struct sockaddr *addr,
                        socklen_t *addrlen)
{
    struct iovec iov = {.iov_base = buf, .iov_len = len};
    struct msghdr m = {.msg_name = addr, .msg_namelen = addrlen ? *addrlen : 0, .msg_iov = &iov, .msg_iovlen = 1};
    ssize_t n = can_recv(fd, s, &m, flags);
    if (n >= 0 && addrlen)
        *addrlen = m.msg_namelen;
    return n;
}

EXPORT ssize_t read(int fd, void *buf, size_t len)
{
    struct vsock *s = vsock_of(fd);
    return s ? recv_one(fd, s, buf, len, 0, NULL, NULL) : REAL(read)(fd, buf, len);
}

EXPORT ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    struct vsock *s = vsock_of(fd);
    return s ? recv_one(fd, s, buf, len, flags, NULL, NULL) : REAL(recv)(fd, buf, len, flags);
}

EXPORT ssize_t recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *addr, socklen_t *addrlen)
{
    struct vsock *s = vsock_of(fd);
    return s ? recv_one(fd, s, buf, len, flags, addr, addrlen) : REAL(recvfrom)(fd, buf, len, flags, addr, addrlen);
}

EXPORT ssize_t recvmsg(int fd, struct msghdr *msg, int flags)
{
    struct vsock *s = vsock_of(fd);
    return s ? can_recv(fd, s, msg, flags) : REAL(recvmsg)(fd, msg, flags);
}

/* Frame by frame: the first read as asked, the rest only while frames wait. */
EXPORT int recvmmsg(int fd, struct mmsghdr *vec, unsigned int vlen, int flags, struct timespec *timeout)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(recvmmsg)(fd, vec, vlen, flags, timeout);
    if (timeout)
        return vbus_fail(EINVAL);
    unsigned int got = 0;
    for (; got < vlen; ++got) {
        int more = got == 0 ? flags & ~MSG_WAITFORONE : flags | MSG_DONTWAIT;
        ssize_t n = can_recv(fd, s, &vec[got].msg_hdr, more);
        if (n < 0) {
            if (got == 0)
                return -1;
            break;
        }
        vec[got].msg_len = (unsigned int)n;
    }
    return (int)got;
}

EXPORT ssize_t readv(int fd, const struct iovec *iov, int n)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(readv)(fd, iov, n);
    if (n < 0)
        return vbus_fail(EINVAL);
    struct msghdr m = {.msg_iov = (struct iovec *)iov, .msg_iovlen = (size_t)n};
    return can_recv(fd, s, &m, 0);
}

/* Fortified builds call these instead of read, recv and recvfrom. */
EXPORT ssize_t __read_chk(int fd, void *buf, size_t len, size_t room)
{
    if (len > room)
        __builtin_trap();
    return read(fd, buf, len);
}

EXPORT ssize_t __recv_chk(int fd, void *buf, size_t len, size_t room, int flags)
{
    if (len > room)
        __builtin_trap();
    return recv(fd, buf, len, flags);
}

EXPORT ssize_t __recvfrom_chk(int fd, void *buf, size_t len, size_t room, int flags, struct sockaddr *addr,
                              socklen_t *addrlen)
{
    if (len > room)
        __builtin_trap();
    return recvfrom(fd, buf, len, flags, addr, addrlen);
}

/* ---- sending ---- */

/* Takes one of the interface's armed write failures whose errno is (or, with
 * 0, is not) `which`; answers the errno taken or 0. */
static int take_failure(_Atomic uint64_t *faults, int which)
{
    uint64_t w = atomic_load(faults);
    for (;;) {
        uint64_t count = w & VBUS_FAIL_COUNT_MASK;
        int err = (int)((w & VBUS_FAIL_ERRNO_MASK) >> VBUS_FAIL_ERRNO_SHIFT);
        if (count == 0 || (which ? err != which : err == EAGAIN))
            return 0;
        uint64_t next = count == 1 ? w & ~(VBUS_FAIL_COUNT_MASK | VBUS_FAIL_ERRNO_MASK) : w - 1;
        if (atomic_compare_exchange_weak(faults, &w, next))
            return err;
    }
}

/* The kernel's checks, in the kernel's order. */
static ssize_t checked_send(int fd, struct vsock *s, const struct msghdr *user, int flags, size_t total,
                            const unsigned char *frame)
{
    if (total < RAW_MIN_SIZE || total > RAW_MAX_SIZE)
        return vbus_fail(EINVAL);
    int ifindex = s->ifindex;
    if (user->msg_name) {
        const struct sockaddr_can *to = user->msg_name;
        if (user->msg_namelen < CAN_ADDR_LEN || to->can_family != AF_CAN)
            return vbus_fail(EINVAL);
        ifindex = to->can_ifindex;
    }
    int slot = ifindex ? vbus_slot_by_index(ifindex) : VS_UNBOUND;
    if (slot < 0)
        return vbus_fail(ENXIO);
    if (vsock_owes_enetdown(s))
        return vbus_fail(ENETDOWN);
    _Atomic uint64_t *faults = vbus_faults(slot);
    int err = take_failure(faults, EAGAIN); /* a full send buffer, found first */
    if (err)
        return vbus_fail(err);
    if (total != VBUS_FRAME_LEN || frame[offsetof(struct can_frame, len)] > CAN_MAX_DLEN)
        return vbus_fail(EINVAL);
    if (atomic_load(faults) & VBUS_DOWN)
        return vbus_fail(ENETDOWN);
    if ((err = take_failure(faults, 0))) /* ENOBUFS and the like: a full transmit queue */
        return vbus_fail(err);
    int dontwait = (flags & MSG_DONTWAIT) | MSG_NOSIGNAL;
    if (slot == s->slot)
        return REAL(send)(fd, frame, VBUS_FRAME_LEN, dontwait) < 0 ? -1 : VBUS_FRAME_LEN;
    uint32_t index = (uint32_t)ifindex;
    struct iovec iov[2] = {{.iov_base = &index, .iov_len = sizeof index},
                           {.iov_base = (void *)frame, .iov_len = VBUS_FRAME_LEN}};
    struct msghdr m = {.msg_iov = iov, .msg_iovlen = 2};
    return REAL(sendmsg)(fd, &m, dontwait) < 0 ? -1 : VBUS_FRAME_LEN;
}

static ssize_t can_send(int fd, struct vsock *s, const struct msghdr *user, int flags)
{
    size_t total = iov_total(user->msg_iov, user->msg_iovlen);
    unsigned char frame[VBUS_FRAME_LEN] = {0};
    if (total == VBUS_FRAME_LEN) {
        size_t at = 0;
        for (size_t i = 0; i < user->msg_iovlen; i++) {
            memcpy(frame + at, user->msg_iov[i].iov_base, user->msg_iov[i].iov_len);
            at += user->msg_iov[i].iov_len;
        }
        int slot = s->slot;
        if (slot >= 0 && !user->msg_name && frame[offsetof(struct can_frame, len)] <= CAN_MAX_DLEN) {
            uint64_t clean = (uint64_t)atomic_load_explicit(&s->seen_epoch, memory_order_relaxed)
                             << VBUS_EPOCH_SHIFT;
            if (atomic_load_explicit(vbus_faults(slot), memory_order_acquire) == clean)
                return REAL(send)(fd, frame, VBUS_FRAME_LEN, (flags & MSG_DONTWAIT) | MSG_NOSIGNAL) < 0
                           ? -1
                           : VBUS_FRAME_LEN;
        }
    }
    return checked_send(fd, s, user, flags, total, frame);
}

static ssize_t send_one(int fd, struct vsock *s, const void *buf, size_t len, int flags,
                        const struct sockaddr *addr, socklen_t addrlen)
{
    struct iovec iov = {.iov_base = (void *)buf, .iov_len = len};
    struct msghdr m = {.msg_name = (void *)addr, .msg_namelen = addr ? addrlen : 0, .msg_iov = &iov, .msg_iovlen = 1};
    return can_send(fd, s, &m, flags);
}

EXPORT ssize_t write(int fd, const void *buf, size_t len)
{
    struct vsock *s = vsock_of(fd);
    return s ? send_one(fd, s, buf, len, 0, NULL, 0) : REAL(write)(fd, buf, len);
}

EXPORT ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    struct vsock *s = vsock_of(fd);
    return s ? send_one(fd, s, buf, len, flags, NULL, 0) : REAL(send)(fd, buf, len, flags);
}

EXPORT ssize_t sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *addr, socklen_t addrlen)
{
    struct vsock *s = vsock_of(fd);
    return s ? send_one(fd, s, buf, len, flags, addr, addrlen) : REAL(sendto)(fd, buf, len, flags, addr, addrlen);
}

EXPORT ssize_t sendmsg(int fd, const struct msghdr *msg, int flags)
{
    struct vsock *s = vsock_of(fd);
    return s ? can_send(fd, s, msg, flags) : REAL(sendmsg)(fd, msg, flags);
}

EXPORT ssize_t writev(int fd, const struct iovec *iov, int n)
{
    struct vsock *s = vsock_of(fd);
    if (!s)
        return REAL(writev)(fd, iov, n);
    if (n < 0)
        return vbus_fail(EINVAL);
    struct msghdr m = {.msg_iov = (struct iovec *)iov, .msg_iovlen = (size_t)n};
    return can_send(fd, s, &m, 0);
}
