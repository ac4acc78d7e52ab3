/* Frame routing with the kernel's raw-socket semantics: each socket on the
 * interface whose filters accept the frame gets it, the sender only with
 * CAN_RAW_RECV_OWN_MSGS, nobody when the sender turned CAN_RAW_LOOPBACK off (a
 * vcan has no echo). Receivers are written non-blocking: a full receiver
 * loses the frame, the bus and the sender never wait for it. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hub.h"

/* Messages handled per wake-up of one connection, so that one busy sender
 * cannot starve the others; the rest waits for the next epoll round. */
#define HUB_BATCH 64

static int filter_matches(const struct can_filter *f, canid_t id)
{
    canid_t fid = f->can_id, mask = f->can_mask;
    if (mask & CAN_ERR_FLAG) /* a filter for error frames only */
        return (id & CAN_ERR_FLAG) && (id & mask & CAN_ERR_MASK);
    if (id & CAN_ERR_FLAG)
        return 0;
    if ((mask & CAN_EFF_FLAG) && !(fid & CAN_EFF_FLAG))
        mask &= CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG; /* "standard frames only" */
    int inverted = (fid & CAN_INV_FILTER) != 0;
    fid &= mask;
    return inverted ? (id & mask) != fid : (id & mask) == fid;
}

static int accepts(const struct conn *c, canid_t id)
{
    if ((id & CAN_ERR_FLAG) && (id & c->err_mask))
        return 1;
    int matched = 0;
    for (int i = 0; i < c->nfilters; i++)
        matched += filter_matches(&c->filters[i], id);
    /* Joined filters must all match; otherwise one match delivers it once. */
    return c->join_filters && c->nfilters > 1 ? matched == c->nfilters : matched > 0;
}

/* The message ends with the receiver's drop count, as the kernel stamps it on
 * each queued frame. */
static void offer(struct conn *to, unsigned char *msg, size_t len)
{
    uint32_t drops = (uint32_t)to->dropped;
    memcpy(msg + len - VBUS_DROPS_LEN, &drops, VBUS_DROPS_LEN);
    if (send(to->fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)len)
        to->delivered++;
    else if (errno == EAGAIN || errno == ENOBUFS)
        to->dropped++;
    /* anything else: the peer is gone, its hang-up closes it */
}

static void deliver(struct hub *h, struct conn *from, int slot, const unsigned char *frame)
{
    from->sent++;
    if (!from->loopback)
        return;
    canid_t id;
    memcpy(&id, frame, sizeof id);
    unsigned char bound[VBUS_DELIVERED_LEN], addressed[VBUS_DELIVERED_ADDRESSED_LEN];
    memcpy(bound, frame, VBUS_FRAME_LEN);
    memcpy(addressed, &h->state->ifaces[slot].index, 4);
    memcpy(addressed + 4, frame, VBUS_FRAME_LEN);
    for (size_t i = 0; i < h->nconns; i++) {
        struct conn *to = h->conns[i];
        if (to->is_control || (to == from && !from->recv_own) || (to->slot != slot && to->slot != HUB_ANY) ||
            !accepts(to, id))
            continue;
        if (to->slot == slot)
            offer(to, bound, sizeof bound);
        else
            offer(to, addressed, sizeof addressed);
    }
}

static void wake(struct conn *c)
{
    const char byte = 0;
    send(c->fd, &byte, VBUS_WAKE_LEN, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void hub_wake_slot(struct hub *h, int slot)
{
    for (size_t i = 0; i < h->nconns; i++)
        if (!h->conns[i]->is_control && h->conns[i]->slot == slot)
            wake(h->conns[i]);
}

static int bind_conn(struct hub *h, struct conn *c, int32_t index)
{
    int slot = index == 0 ? HUB_ANY : hub_slot_by_index(h, (uint32_t)index);
    if (slot == HUB_UNBOUND)
        return ENODEV;
    c->slot = slot;
    return 0;
}

static int request(struct hub *h, struct conn *c, const struct vbus_request *r, const void *payload, size_t len)
{
    switch (r->op) {
    case VBUS_OP_BIND:
        return bind_conn(h, c, r->value);
    case VBUS_OP_LOOPBACK:
        c->loopback = r->value != 0;
        return 0;
    case VBUS_OP_RECV_OWN:
        c->recv_own = r->value != 0;
        return 0;
    case VBUS_OP_FILTER:
        if (r->value < 0 || r->value > CAN_RAW_FILTER_MAX || len != (size_t)r->value * sizeof(struct can_filter))
            return EINVAL;
        memcpy(c->filters, payload, len);
        c->nfilters = r->value;
        return 0;
    case VBUS_OP_JOIN_FILTERS:
        c->join_filters = r->value != 0;
        return 0;
    case VBUS_OP_ERR_MASK:
        c->err_mask = (can_err_mask_t)r->value & CAN_ERR_MASK;
        return 0;
    case VBUS_OP_RCVBUF:
    case VBUS_OP_RCVBUFFORCE:
        /* What a receiver may hold queued is what the hub may have in flight. */
        return setsockopt(c->fd, SOL_SOCKET, r->op == VBUS_OP_RCVBUF ? SO_SNDBUF : SO_SNDBUFFORCE, &r->value,
                          sizeof r->value) < 0
                   ? errno
                   : 0;
    }
    return EINVAL;
}

static void answer(int efd, int err)
{
    uint64_t value = 1 + (uint64_t)err;
    if (write(efd, &value, sizeof value) < 0)
        perror("vbus_hub: answering a request");
    close(efd);
}

/* The descriptors a message carried: the first is kept for the answer, any
 * others are closed. */
static int take_fds(struct msghdr *m)
{
    int kept = -1;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(m); c; c = CMSG_NXTHDR(m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        int *fds = (int *)CMSG_DATA(c);
        for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); i++) {
            if (kept < 0)
                kept = fds[i];
            else
                close(fds[i]);
        }
    }
    return kept;
}

static void handle(struct hub *h, struct conn *c, const unsigned char *msg, size_t n, int efd)
{
    if (n == VBUS_FRAME_LEN && c->slot >= 0) {
        deliver(h, c, c->slot, msg);
    } else if (n == VBUS_ADDRESSED_LEN) {
        uint32_t index;
        memcpy(&index, msg, 4);
        int slot = hub_slot_by_index(h, index);
        if (slot >= 0)
            deliver(h, c, slot, msg + 4);
    } else if (n >= sizeof(struct vbus_request) && efd >= 0) {
        struct vbus_request r;
        memcpy(&r, msg, sizeof r);
        int err = request(h, c, &r, msg + sizeof r, n - sizeof r);
        answer(efd, err);
        /* A socket bound to a downed interface is woken for its ENETDOWN. */
        if (r.op == VBUS_OP_BIND && !err && c->slot >= 0 &&
            (atomic_load(&h->state->ifaces[c->slot].faults) & VBUS_DOWN))
            wake(c);
        return;
    }
    if (efd >= 0)
        close(efd);
}

void hub_bus_readable(struct hub *h, struct conn *c)
{
    static unsigned char msg[sizeof(struct vbus_request) + CAN_RAW_FILTER_MAX * sizeof(struct can_filter)];
    char control[CMSG_SPACE(4 * sizeof(int))];
    for (int i = 0; i < HUB_BATCH; i++) {
        struct iovec iov = {.iov_base = msg, .iov_len = sizeof msg};
        struct msghdr m = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control, .msg_controllen = sizeof control};
        ssize_t n = recvmsg(c->fd, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        /* A peer that closed with frames unread reports ECONNRESET once;
         * what it wrote before closing is still queued and still goes out. */
        if (n < 0 && errno == ECONNRESET)
            continue;
        if (n <= 0) {
            hub_close(h, c);
            return;
        }
        handle(h, c, msg, (size_t)n, take_fds(&m));
    }
}
