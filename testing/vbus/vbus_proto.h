/* What the preload library and the hub agree on: the files in the run
 * directory, the shared state page and the messages on a bus connection. */
#ifndef VBUS_PROTO_H
#define VBUS_PROTO_H

#include <stdatomic.h>
#include <stdint.h>
#include <net/if.h>

/* $DROVIK_VBUS names the run directory; the hub creates these in it. */
/* Newer kernel headers dropped this from linux/can/raw.h; the kernel's limit stays 512. */
#include <linux/can/raw.h>
#ifndef CAN_RAW_FILTER_MAX
#define CAN_RAW_FILTER_MAX 512
#endif

#define VBUS_ENV "DROVIK_VBUS"
#define VBUS_BUS_SOCKET "bus"         /* SOCK_SEQPACKET, one connection per CAN socket */
#define VBUS_CONTROL_SOCKET "control" /* SOCK_SEQPACKET, text commands from tests */
#define VBUS_STATE_FILE "state"       /* the shared page below */

#define VBUS_MAGIC 0x53554256u /* "VBUS" */
#define VBUS_MAX_IFACES 16
#define VBUS_FIRST_INDEX 1000 /* well clear of the kernel's own interfaces */

/* Per-interface fault word, one atomic so that the library's fast path is a
 * single load: zero apart from the epoch means "no fault armed".
 *   bit 63      link down
 *   bits 32-47  down epoch: bumped at every link down; a socket that has not
 *               seen the current epoch owes its user one ENETDOWN
 *   bits 24-31  errno the next writes fail with
 *   bits 0-23   how many writes still fail */
#define VBUS_DOWN (1ull << 63)
#define VBUS_EPOCH_SHIFT 32
#define VBUS_EPOCH_MASK (0xffffull << VBUS_EPOCH_SHIFT)
#define VBUS_FAIL_ERRNO_SHIFT 24
#define VBUS_FAIL_ERRNO_MASK (0xffull << VBUS_FAIL_ERRNO_SHIFT)
#define VBUS_FAIL_COUNT_MASK 0xffffffull

static inline uint16_t vbus_epoch(uint64_t word) { return (uint16_t)(word >> VBUS_EPOCH_SHIFT); }

struct vbus_iface {
    char name[IF_NAMESIZE];
    uint32_t index;
    uint32_t reserved;
    _Atomic uint64_t faults;
};

struct vbus_state {
    uint32_t magic;
    uint32_t count;
    struct vbus_iface ifaces[VBUS_MAX_IFACES];
};

/* Messages on a bus connection, told apart by length (SOCK_SEQPACKET keeps
 * boundaries). Library to hub: */
#define VBUS_FRAME_LEN 16     /* a can_frame for the bound interface */
#define VBUS_ADDRESSED_LEN 20 /* uint32 ifindex, then a can_frame (sendto) */
/* A request: this header, then for VBUS_OP_FILTER `value` can_filters. It
 * carries an eventfd (SCM_RIGHTS) to which the hub adds 1 + errno once the
 * request is in force, so the answer never mixes with the frames. */
struct vbus_request {
    uint32_t op;
    int32_t value;
    uint32_t reserved[4]; /* keeps every request longer than any frame message */
};
enum {
    VBUS_OP_BIND = 1,     /* value: ifindex, 0 for every interface */
    VBUS_OP_LOOPBACK,     /* value: CAN_RAW_LOOPBACK */
    VBUS_OP_RECV_OWN,     /* value: CAN_RAW_RECV_OWN_MSGS */
    VBUS_OP_FILTER,       /* value: number of can_filters following */
    VBUS_OP_JOIN_FILTERS, /* value: CAN_RAW_JOIN_FILTERS */
    VBUS_OP_ERR_MASK,     /* value: CAN_RAW_ERR_FILTER */
    VBUS_OP_RCVBUF,       /* value: SO_RCVBUF of the library's socket */
    VBUS_OP_RCVBUFFORCE,
};
/* Hub to library: a can_frame (or, to a socket bound to every interface,
 * uint32 ifindex then the can_frame), then the uint32 count of frames the hub
 * dropped for that socket before this one (the kernel's SO_RXQ_OVFL count);
 * or a 1-byte wake-up sent at link down so that sleeping readers come and
 * collect their ENETDOWN. */
#define VBUS_DROPS_LEN 4
#define VBUS_DELIVERED_LEN (VBUS_FRAME_LEN + VBUS_DROPS_LEN)
#define VBUS_DELIVERED_ADDRESSED_LEN (VBUS_ADDRESSED_LEN + VBUS_DROPS_LEN)
#define VBUS_WAKE_LEN 1

#endif
