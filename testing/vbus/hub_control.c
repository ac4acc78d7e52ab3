/* Text commands from test code, one per message, one answer per command:
 *   ifaces                 -> "ok" and a "NAME INDEX" line per interface
 *   down IFACE | up IFACE  -> link state
 *   fail IFACE ERRNO N     -> the next N writes on IFACE fail with ERRNO (N=0 clears)
 *   sockets IFACE          -> "ok" and a "PID SENT DELIVERED DROPPED" line per bound socket
 *   quit                   -> the hub exits
 * Errors answer "error TEXT". */
#define _GNU_SOURCE
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "hub.h"

#define ANSWER_MAX 8192

struct answer {
    char text[ANSWER_MAX];
    size_t len;
};

static void say(struct answer *a, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void say(struct answer *a, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(a->text + a->len, sizeof a->text - a->len, fmt, ap);
    va_end(ap);
    if (n > 0)
        a->len = a->len + (size_t)n < sizeof a->text ? a->len + (size_t)n : sizeof a->text - 1;
}

static void link_down(struct vbus_iface *ifc)
{
    uint64_t w = atomic_load(&ifc->faults), next;
    do {
        if (w & VBUS_DOWN)
            return; /* already down: the kernel reports nothing new either */
        next = (w & ~VBUS_EPOCH_MASK) | VBUS_DOWN |
               ((uint64_t)(uint16_t)(vbus_epoch(w) + 1) << VBUS_EPOCH_SHIFT);
    } while (!atomic_compare_exchange_weak(&ifc->faults, &w, next));
}

static void fail_writes(struct vbus_iface *ifc, uint64_t err, uint64_t count)
{
    uint64_t low = count ? (err << VBUS_FAIL_ERRNO_SHIFT) | count : 0;
    uint64_t w = atomic_load(&ifc->faults);
    while (!atomic_compare_exchange_weak(&ifc->faults, &w,
                                         (w & ~(VBUS_FAIL_ERRNO_MASK | VBUS_FAIL_COUNT_MASK)) | low))
        ;
}

static void list_sockets(struct hub *h, int slot, struct answer *a)
{
    say(a, "ok");
    for (size_t i = 0; i < h->nconns; i++) {
        const struct conn *c = h->conns[i];
        if (!c->is_control && c->slot == slot)
            say(a, "\n%d %llu %llu %llu", (int)c->pid, (unsigned long long)c->sent,
                (unsigned long long)c->delivered, (unsigned long long)c->dropped);
    }
}

static void run(struct hub *h, char *line, struct answer *a)
{
    char *words[5] = {0};
    int n = 0;
    for (char *save = NULL, *w = strtok_r(line, " \n", &save); w && n < 5; w = strtok_r(NULL, " \n", &save))
        words[n++] = w;
    if (n == 0) {
        say(a, "error empty command");
        return;
    }
    if (strcmp(words[0], "ifaces") == 0 && n == 1) {
        say(a, "ok");
        for (uint32_t i = 0; i < h->state->count; i++)
            say(a, "\n%s %u", h->state->ifaces[i].name, h->state->ifaces[i].index);
        return;
    }
    if (strcmp(words[0], "quit") == 0 && n == 1) {
        h->quit = 1;
        say(a, "ok");
        return;
    }
    int slot = n >= 2 ? hub_slot_by_name(h, words[1]) : HUB_UNBOUND;
    if (slot == HUB_UNBOUND) {
        say(a, "error unknown command or interface");
        return;
    }
    struct vbus_iface *ifc = &h->state->ifaces[slot];
    if (strcmp(words[0], "down") == 0 && n == 2) {
        link_down(ifc);
        hub_wake_slot(h, slot);
    } else if (strcmp(words[0], "up") == 0 && n == 2) {
        atomic_fetch_and(&ifc->faults, ~VBUS_DOWN);
    } else if (strcmp(words[0], "fail") == 0 && n == 4) {
        char *end1, *end2;
        unsigned long err = strtoul(words[2], &end1, 10), count = strtoul(words[3], &end2, 10);
        if (*end1 || *end2 || err == 0 || err > 255 || count > VBUS_FAIL_COUNT_MASK) {
            say(a, "error fail wants an errno 1-255 and a count 0-%llu", VBUS_FAIL_COUNT_MASK);
            return;
        }
        fail_writes(ifc, err, count);
    } else if (strcmp(words[0], "sockets") == 0 && n == 2) {
        list_sockets(h, slot, a);
        return;
    } else {
        say(a, "error unknown command");
        return;
    }
    say(a, "ok");
}

void hub_control_readable(struct hub *h, struct conn *c)
{
    char line[256];
    ssize_t n = recv(c->fd, line, sizeof line - 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        hub_close(h, c);
        return;
    }
    line[n] = '\0';
    struct answer a = {.len = 0};
    run(h, line, &a);
    /* The client waits for each answer before it asks again: the buffer is empty. */
    send(c->fd, a.text, a.len, MSG_NOSIGNAL);
}
