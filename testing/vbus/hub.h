/* The hub: one single-threaded epoll loop carrying frames between the
 * connections of the preload library, plus a text control socket for tests. */
#ifndef VBUS_HUB_H
#define VBUS_HUB_H

#include <linux/can.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "vbus_proto.h"

enum { HUB_UNBOUND = -1, HUB_ANY = -2 }; /* conn.slot besides an interface slot */

struct conn {
    int fd;
    int is_control;
    int slot;
    int loopback; /* CAN_RAW_LOOPBACK of the library's socket */
    int recv_own; /* CAN_RAW_RECV_OWN_MSGS */
    int join_filters;
    can_err_mask_t err_mask;
    int nfilters;
    struct can_filter filters[CAN_RAW_FILTER_MAX];
    pid_t pid;
    uint64_t sent, delivered, dropped;
};

struct hub {
    int epfd;
    struct vbus_state *state;
    struct conn **conns;
    size_t nconns, cap;
    int quit;
};

int hub_slot_by_index(const struct hub *h, uint32_t index);
int hub_slot_by_name(const struct hub *h, const char *name);
void hub_close(struct hub *h, struct conn *c);

/* hub_bus.c */
void hub_bus_readable(struct hub *h, struct conn *c);
void hub_wake_slot(struct hub *h, int slot);

/* hub_control.c */
void hub_control_readable(struct hub *h, struct conn *c);

#endif
