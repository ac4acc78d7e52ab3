/* vbus_hub --dir DIR --ifaces vcan0,vcan1 [--notify PATH]
 * Creates DIR/state, DIR/bus and DIR/control, writes "ready" to PATH (a fifo
 * the starter waits on) and serves until "quit", SIGTERM or its parent's end. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "hub.h"

static void die(const char *what)
{
    fprintf(stderr, "vbus_hub: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void usage(void)
{
    fprintf(stderr, "usage: vbus_hub --dir DIR --ifaces NAME[,NAME...] [--notify PATH]\n");
    exit(2);
}

int hub_slot_by_index(const struct hub *h, uint32_t index)
{
    for (uint32_t i = 0; i < h->state->count; i++)
        if (h->state->ifaces[i].index == index)
            return (int)i;
    return HUB_UNBOUND;
}

int hub_slot_by_name(const struct hub *h, const char *name)
{
    for (uint32_t i = 0; i < h->state->count; i++)
        if (strcmp(h->state->ifaces[i].name, name) == 0)
            return (int)i;
    return HUB_UNBOUND;
}

static struct vbus_state *create_state(const char *dir, char *ifaces)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", dir, VBUS_STATE_FILE);
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(struct vbus_state)) < 0)
        die(path);
    struct vbus_state *s = mmap(NULL, sizeof *s, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (s == MAP_FAILED)
        die("mmap");
    close(fd);
    for (char *save = NULL, *name = strtok_r(ifaces, ",", &save); name; name = strtok_r(NULL, ",", &save)) {
        size_t len = strlen(name);
        if (len == 0 || len >= IF_NAMESIZE || s->count == VBUS_MAX_IFACES) {
            fprintf(stderr, "vbus_hub: bad interface name or more than %d interfaces: %s\n", VBUS_MAX_IFACES,
                    name);
            exit(2);
        }
        for (uint32_t i = 0; i < s->count; i++)
            if (strcmp(s->ifaces[i].name, name) == 0) {
                fprintf(stderr, "vbus_hub: interface named twice: %s\n", name);
                exit(2);
            }
        struct vbus_iface *ifc = &s->ifaces[s->count];
        memcpy(ifc->name, name, len + 1);
        ifc->index = VBUS_FIRST_INDEX + s->count;
        atomic_init(&ifc->faults, 0);
        s->count++;
    }
    if (s->count == 0)
        usage();
    s->magic = VBUS_MAGIC;
    return s;
}

static int listen_at(const char *dir, const char *name)
{
    struct sockaddr_un a = {.sun_family = AF_UNIX};
    if ((size_t)snprintf(a.sun_path, sizeof a.sun_path, "%s/%s", dir, name) >= sizeof a.sun_path) {
        fprintf(stderr, "vbus_hub: socket path too long: %s/%s\n", dir, name);
        exit(2);
    }
    unlink(a.sun_path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) < 0 || listen(fd, SOMAXCONN) < 0)
        die(a.sun_path);
    return fd;
}

static void watch(struct hub *h, int fd, void *ptr)
{
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = ptr};
    if (epoll_ctl(h->epfd, EPOLL_CTL_ADD, fd, &ev) < 0)
        die("epoll_ctl");
}

static struct conn *add_conn(struct hub *h, int fd, int is_control)
{
    if (h->nconns == h->cap) {
        h->cap = h->cap * 2 + 16;
        if (!(h->conns = realloc(h->conns, h->cap * sizeof *h->conns)))
            die("out of memory");
    }
    struct conn *c = malloc(sizeof *c);
    if (!c)
        die("out of memory");
    /* The kernel's defaults: loopback on, one filter passing every frame. */
    *c = (struct conn){.fd = fd, .is_control = is_control, .slot = HUB_UNBOUND, .loopback = 1, .nfilters = 1};
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0)
        c->pid = cred.pid;
    h->conns[h->nconns++] = c;
    return c;
}

static void accept_all(struct hub *h, int listener, int is_control)
{
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
                fprintf(stderr, "vbus_hub: accept: %s\n", strerror(errno));
            return;
        }
        watch(h, fd, add_conn(h, fd, is_control));
    }
}

void hub_close(struct hub *h, struct conn *c)
{
    for (size_t i = 0; i < h->nconns; i++)
        if (h->conns[i] == c) {
            h->conns[i] = h->conns[--h->nconns];
            break;
        }
    close(c->fd); /* also leaves the epoll set */
    free(c);
}

static void notify_ready(const char *path)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, "ready\n", 6) != 6)
        die(path);
    close(fd);
}

int main(int argc, char **argv)
{
    const char *dir = NULL, *notify = NULL;
    char *ifaces = NULL;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--dir") == 0)
            dir = argv[i + 1];
        else if (strcmp(argv[i], "--ifaces") == 0)
            ifaces = argv[i + 1];
        else if (strcmp(argv[i], "--notify") == 0)
            notify = argv[i + 1];
        else
            usage();
    }
    if (!dir || !ifaces || argc % 2 == 0)
        usage();

    /* Never outlive the starter, even when it is killed outright. */
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        return 0;
    signal(SIGPIPE, SIG_IGN);

    static char bus_marker, control_marker; /* epoll tags of the two listeners */
    struct hub h = {.state = create_state(dir, ifaces)};
    int bus = listen_at(dir, VBUS_BUS_SOCKET), control = listen_at(dir, VBUS_CONTROL_SOCKET);
    if ((h.epfd = epoll_create1(EPOLL_CLOEXEC)) < 0)
        die("epoll_create1");
    watch(&h, bus, &bus_marker);
    watch(&h, control, &control_marker);
    if (notify)
        notify_ready(notify);

    struct epoll_event events[64];
    while (!h.quit) {
        int n = epoll_wait(h.epfd, events, 64, -1);
        if (n < 0 && errno != EINTR)
            die("epoll_wait");
        for (int i = 0; i < n && !h.quit; i++) {
            void *tag = events[i].data.ptr;
            if (tag == &bus_marker)
                accept_all(&h, bus, 0);
            else if (tag == &control_marker)
                accept_all(&h, control, 1);
            else if (((struct conn *)tag)->is_control)
                hub_control_readable(&h, tag);
            else
                hub_bus_readable(&h, tag);
        }
    }
    return 0;
}
