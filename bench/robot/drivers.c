// Simulated position-mode drivers for bench/robot.py: four on each bus named on
// the command line. Every broadcast (0x100, four little-endian int16 targets,
// slot s at bytes 2s) is answered at once by four feedback frames 0x201 + s
// whose position (float, bytes 0-3) is the slot's target count, so the loop can
// tell which tick's broadcast a feedback answers. Runs until killed; prints
// "ready" once every socket is bound.
#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { MAX_BUSES = 16, BROADCAST = 0x100, FEEDBACK = 0x201 };

static int open_bus(const char *name) {
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return -1;
    struct can_filter only = {.can_id = BROADCAST, .can_mask = CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG};
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &only, sizeof only);
    struct sockaddr_can at = {.can_family = AF_CAN, .can_ifindex = (int)if_nametoindex(name)};
    if (at.can_ifindex == 0 || bind(fd, (struct sockaddr *)&at, sizeof at) < 0) return -1;
    return fd;
}

static void answer(int fd, const struct can_frame *broadcast) {
    for (int slot = 0; slot < 4; ++slot) {
        int16_t count;
        memcpy(&count, broadcast->data + 2 * slot, 2);
        float position = (float)count;
        struct can_frame feedback = {.can_id = FEEDBACK + slot, .can_dlc = 8};
        memcpy(feedback.data, &position, 4);
        int16_t speed = (int16_t)slot, current = 0;
        memcpy(feedback.data + 4, &speed, 2);
        memcpy(feedback.data + 6, &current, 2);
        while (send(fd, &feedback, sizeof feedback, 0) < 0 && (errno == ENOBUFS || errno == EINTR)) {
            usleep(50);  // the queue full: the answer is late, never lost
        }
    }
}

int main(int argc, char **argv) {
    struct pollfd fds[MAX_BUSES];
    int buses = argc - 1 < MAX_BUSES ? argc - 1 : MAX_BUSES;
    for (int i = 0; i < buses; ++i) {
        fds[i] = (struct pollfd){.fd = open_bus(argv[i + 1]), .events = POLLIN};
        if (fds[i].fd < 0) {
            fprintf(stderr, "drivers: cannot open %s: %s\n", argv[i + 1], strerror(errno));
            return 1;
        }
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        if (poll(fds, (nfds_t)buses, -1) < 0 && errno != EINTR) return 1;
        for (int i = 0; i < buses; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            struct can_frame frame;
            while (recv(fds[i].fd, &frame, sizeof frame, MSG_DONTWAIT) == sizeof frame) {
                if (frame.can_id == BROADCAST && frame.can_dlc == 8) answer(fds[i].fd, &frame);
            }
        }
    }
}
