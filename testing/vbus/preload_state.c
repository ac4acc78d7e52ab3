/* The hub's shared page, the descriptor table and symbol lookup. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "preload.h"

struct vbus_state *vbus_shared;
static char bus_path[sizeof(((struct sockaddr_un *)0)->sun_path)];
static pthread_once_t attach_once = PTHREAD_ONCE_INIT;

static _Atomic(struct vsock *) table[VBUS_MAX_FDS];
static struct vsock *free_list;
static pthread_mutex_t free_lock = PTHREAD_MUTEX_INITIALIZER;

void *vbus_real(void *_Atomic *slot, const char *name)
{
    void *fn = atomic_load_explicit(slot, memory_order_relaxed);
    if (!fn) {
        fn = dlsym(RTLD_NEXT, name);
        atomic_store_explicit(slot, fn, memory_order_relaxed);
    }
    return fn;
}

static void attach(void)
{
    const char *dir = getenv(VBUS_ENV);
    if (!dir || !*dir)
        return;
    char path[PATH_MAX];
    if ((size_t)snprintf(bus_path, sizeof bus_path, "%s/%s", dir, VBUS_BUS_SOCKET) >= sizeof bus_path ||
        (size_t)snprintf(path, sizeof path, "%s/%s", dir, VBUS_STATE_FILE) >= sizeof path)
        return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    struct vbus_state *s = mmap(NULL, sizeof *s, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    REAL(close)(fd);
    if (s == MAP_FAILED)
        return;
    if (s->magic != VBUS_MAGIC || s->count > VBUS_MAX_IFACES) {
        munmap(s, sizeof *s);
        return;
    }
    vbus_shared = s;
}

struct vbus_state *vbus_attach(void)
{
    pthread_once(&attach_once, attach);
    return vbus_shared;
}

const char *vbus_bus_path(void) { return bus_path; }

int vbus_slot_by_index(int index)
{
    if (vbus_attach())
        for (uint32_t i = 0; i < vbus_shared->count; i++)
            if ((int)vbus_shared->ifaces[i].index == index)
                return (int)i;
    return VS_UNBOUND;
}

int vbus_slot_by_name(const char *name)
{
    if (vbus_attach())
        for (uint32_t i = 0; i < vbus_shared->count; i++)
            if (strncmp(vbus_shared->ifaces[i].name, name, IF_NAMESIZE) == 0)
                return (int)i;
    return VS_UNBOUND;
}

/* The process whose descriptors the table holds. A child made by vfork (as
 * subprocess makes them) runs in this memory until it execs, and closes every
 * descriptor above 2 on the way: it must leave the table alone, or the parent's
 * sockets would pass for plain ones. A forked child has a copy of its own. */
static pid_t table_owner;

static void owner_is_this_child(void) { table_owner = getpid(); }

__attribute__((constructor)) static void own_the_table(void)
{
    table_owner = getpid();
    pthread_atfork(NULL, NULL, owner_is_this_child);
}

struct vsock *vsock_of(int fd)
{
    return (unsigned)fd < VBUS_MAX_FDS ? atomic_load_explicit(&table[fd], memory_order_acquire) : NULL;
}

struct vsock *vsock_new(void)
{
    pthread_mutex_lock(&free_lock);
    struct vsock *s = free_list;
    if (s)
        free_list = s->next_free;
    pthread_mutex_unlock(&free_lock);
    if (!s && !(s = malloc(sizeof *s)))
        return NULL;
    /* The kernel's defaults: one filter that passes everything, own frames
     * looped back to the other sockets but not to this one. */
    s->slot = VS_UNBOUND;
    s->ifindex = 0;
    atomic_store(&s->seen_epoch, 0);
    s->loopback = 1;
    s->recv_own = s->fd_frames = s->join_filters = s->xl_frames = s->rxq_ovfl = 0;
    s->err_mask = 0;
    s->nfilters = 1;
    s->filters[0] = (struct can_filter){.can_id = 0, .can_mask = 0};
    atomic_store(&s->refs, 0);
    return s;
}

static void release(struct vsock *s)
{
    if (!s || atomic_fetch_sub(&s->refs, 1) != 1)
        return;
    pthread_mutex_lock(&free_lock);
    s->next_free = free_list;
    free_list = s;
    pthread_mutex_unlock(&free_lock);
}

void vsock_attach(int fd, struct vsock *s)
{
    atomic_fetch_add(&s->refs, 1);
    release(atomic_exchange(&table[fd], s));
}

void vsock_detach(int fd)
{
    if ((unsigned)fd < VBUS_MAX_FDS && getpid() == table_owner)
        release(atomic_exchange(&table[fd], NULL));
}

int vsock_owes_enetdown(struct vsock *s)
{
    int slot = s->slot;
    if (slot < 0)
        return 0;
    uint16_t seen = atomic_load_explicit(&s->seen_epoch, memory_order_relaxed);
    uint16_t epoch = vbus_epoch(atomic_load_explicit(vbus_faults(slot), memory_order_acquire));
    return seen != epoch && atomic_compare_exchange_strong(&s->seen_epoch, &seen, epoch);
}

static int send_request(int fd, struct vbus_request *r, const void *payload, size_t len, int efd)
{
    struct iovec iov[2] = {{.iov_base = r, .iov_len = sizeof *r}, {.iov_base = (void *)payload, .iov_len = len}};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    struct msghdr m = {.msg_iov = iov, .msg_iovlen = 2, .msg_control = control.buf, .msg_controllen = sizeof control.buf};
    struct cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &efd, sizeof efd);
    struct pollfd p = {.fd = fd, .events = POLLOUT};
    for (;;) {
        if (REAL(sendmsg)(fd, &m, MSG_NOSIGNAL) >= 0)
            return 0;
        if (errno != EAGAIN && errno != EINTR)
            return errno;
        poll(&p, 1, -1);
    }
}

static int await_answer(int fd, int efd)
{
    /* The hub answers through the eventfd; a hang-up on the bus means it is gone. */
    struct pollfd p[2] = {{.fd = efd, .events = POLLIN}, {.fd = fd, .events = POLLRDHUP}};
    for (;;) {
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return errno;
        uint64_t value;
        if ((p[0].revents & POLLIN) && REAL(read)(efd, &value, sizeof value) == sizeof value)
            return (int)(value - 1);
        if (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))
            return EPIPE;
    }
}

int vbus_request(int fd, uint32_t op, int32_t value, const void *payload, size_t len)
{
    int efd = eventfd(0, EFD_CLOEXEC);
    if (efd < 0)
        return -1;
    struct vbus_request r = {.op = op, .value = value};
    int err = send_request(fd, &r, payload, len, efd);
    if (!err)
        err = await_answer(fd, efd);
    REAL(close)(efd);
    if (err) {
        errno = err;
        return -1;
    }
    return 0;
}
