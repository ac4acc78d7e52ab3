/* Internals shared by the preload library's files. */
#ifndef VBUS_PRELOAD_H
#define VBUS_PRELOAD_H

#include <errno.h>
#include <linux/can.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

#include "vbus_proto.h"

#define EXPORT __attribute__((visibility("default")))

/* Descriptors at or above this cannot carry an emulated CAN socket. */
#define VBUS_MAX_FDS 65536

/* What the kernel copies for a CAN address: family, padding, ifindex. */
#define CAN_ADDR_LEN (offsetof(struct sockaddr_can, can_ifindex) + sizeof(int))

enum { VS_UNBOUND = -1, VS_ANY = -2 }; /* vsock.slot besides an interface slot */

/* One emulated CAN socket, shared by all descriptors that dup() made of it.
 * Records are recycled, never freed, so a thread still inside a call on a
 * descriptor another thread closed reads stale data rather than freed memory. */
struct vsock {
    atomic_int refs;
    int slot;
    int ifindex;
    _Atomic uint16_t seen_epoch; /* differs from the interface's epoch: one ENETDOWN owed */
    int loopback, recv_own, fd_frames, join_filters, xl_frames;
    int rxq_ovfl; /* SO_RXQ_OVFL: reads report the hub's drop count */
    can_err_mask_t err_mask;
    int nfilters;
    struct can_filter filters[CAN_RAW_FILTER_MAX];
    struct vsock *next_free;
};

static inline int vbus_fail(int err)
{
    errno = err;
    return -1;
}

/* The hub's shared page, or NULL when no hub is configured: then the library
 * passes every call to the C library. */
struct vbus_state *vbus_attach(void);
extern struct vbus_state *vbus_shared;
const char *vbus_bus_path(void);
int vbus_slot_by_index(int index);
int vbus_slot_by_name(const char *name);

static inline _Atomic uint64_t *vbus_faults(int slot) { return &vbus_shared->ifaces[slot].faults; }

/* The next definition of a symbol we interpose, resolved once per call site. */
void *vbus_real(void *_Atomic *slot, const char *name);
#define REAL(name)                                                                                            \
    ({                                                                                                        \
        static void *_Atomic real_slot_;                                                                      \
        (__typeof__(&name))vbus_real(&real_slot_, #name);                                                     \
    })

struct vsock *vsock_of(int fd);
struct vsock *vsock_new(void);
void vsock_attach(int fd, struct vsock *s);
void vsock_detach(int fd);

/* Consumes the pending ENETDOWN of a socket bound to an interface, if any. */
int vsock_owes_enetdown(struct vsock *s);

/* Sends a request to the hub and waits until it is in force, even on a
 * non-blocking descriptor; frames queued meanwhile stay for the user. */
int vbus_request(int fd, uint32_t op, int32_t value, const void *payload, size_t len);

#endif
