/* Frame routing with the kernel's default raw-socket semantics: every other
 * socket on the interface gets each frame, the sender only with
 * CAN_RAW_RECV_OWN_MSGS, nobody when the sender turned CAN_RAW_LOOPBACK off
 * (a vcan has no echo). Receivers are written non-blocking: a full receiver
 * loses the frame, the bus and the sender never wait for it. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include "hub.h"

/* Messages handled per wake-up of one connection, so that one busy sender
 * cannot starve the others; the rest waits for the next epoll round. */
#define HUB_BATCH 64

static void offer(struct conn *to, const void *msg, size_t len)
{
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
    unsigned char addressed[VBUS_ADDRESSED_LEN];
    memcpy(addressed, &h->state->ifaces[slot].index, 4);
    memcpy(addressed + 4, frame, VBUS_FRAME_LEN);
    for (size_t i = 0; i < h->nconns; i++) {
        struct conn *to = h->conns[i];
        if (to->is_control || (to == from && !from->recv_own))
            continue;
        if (to->slot == slot)
            offer(to, frame, VBUS_FRAME_LEN);
        else if (to->slot == HUB_ANY)
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

/* The library waits for this answer, reading (and dropping) whatever frames of
 * an earlier binding are still queued, so the wait here is short. */
static void answer_bind(struct conn *c, int32_t err)
{
    struct pollfd p = {.fd = c->fd, .events = POLLOUT};
    while (send(c->fd, &err, VBUS_BIND_ANSWER_LEN, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EAGAIN)
        if (poll(&p, 1, 1000) <= 0)
            return;
}

static void bind_conn(struct hub *h, struct conn *c, int32_t index)
{
    int slot = index == 0 ? HUB_ANY : hub_slot_by_index(h, (uint32_t)index);
    if (slot == HUB_UNBOUND) {
        answer_bind(c, ENODEV);
        return;
    }
    c->slot = slot;
    answer_bind(c, 0);
    if (slot >= 0 && (atomic_load(&h->state->ifaces[slot].faults) & VBUS_DOWN))
        wake(c);
}

static void request(struct hub *h, struct conn *c, const struct vbus_request *r)
{
    switch (r->op) {
    case VBUS_OP_BIND:
        bind_conn(h, c, r->value);
        break;
    case VBUS_OP_LOOPBACK:
        c->loopback = r->value != 0;
        break;
    case VBUS_OP_RECV_OWN:
        c->recv_own = r->value != 0;
        break;
    case VBUS_OP_RCVBUF:
    case VBUS_OP_RCVBUFFORCE:
        /* What a receiver may hold queued is what the hub may have in flight. */
        setsockopt(c->fd, SOL_SOCKET, r->op == VBUS_OP_RCVBUF ? SO_SNDBUF : SO_SNDBUFFORCE,
                   &r->value, sizeof r->value);
        break;
    }
}

void hub_bus_readable(struct hub *h, struct conn *c)
{
    unsigned char msg[64];
    for (int i = 0; i < HUB_BATCH; i++) {
        ssize_t n = recv(c->fd, msg, sizeof msg, MSG_DONTWAIT);
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
        if (n == VBUS_FRAME_LEN && c->slot >= 0) {
            deliver(h, c, c->slot, msg);
        } else if (n == VBUS_ADDRESSED_LEN) {
            uint32_t index;
            memcpy(&index, msg, 4);
            int slot = hub_slot_by_index(h, index);
            if (slot >= 0)
                deliver(h, c, slot, msg + 4);
        } else if (n == sizeof(struct vbus_request)) {
            struct vbus_request r;
            memcpy(&r, msg, sizeof r);
            request(h, c, &r);
        }
    }
}
