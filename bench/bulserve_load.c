/* Load for a bulletin server on loopback; bench/bulserve-bench runs it.
 *
 *   bulserve_load clients SERVER PORT N SECONDS
 *       N clients, each its own socket, each asking "BUL:0" in lockstep: the
 *       next request as soon as the answer is in, again after 200 ms without
 *       one. Prints: answers A timeouts T seconds S
 *   bulserve_load paced SERVER PORT RATE SECONDS SOURCE TIMEOUT-MS
 *       A normal client: RATE requests a second from SOURCE, each from a new
 *       socket as a login's is, waiting up to TIMEOUT-MS for its answer.
 *       Prints: asked Q answered A timeouts T p50_us X p99_us Y max_us Z
 *   bulserve_load flood SERVER PORT SECONDS SOURCE
 *       One socket at SOURCE sending "BUL:0" as fast as it can, reading
 *       whatever comes back without waiting for it.
 *       Prints: sent Q answers A seconds S
 *
 * Every answer counted starts with "BUL:0". Figures go to standard output as
 * one line of words and numbers for the script to read.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define REQUEST "BUL:0"
#define REQUEST_LENGTH 5
#define MAX_CLIENTS 256
#define LOCKSTEP_TIMEOUT_NS 200000000LL
#define FLOOD_BATCH 64

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int is_answer(const char *buffer, ssize_t n)
{
    return n >= REQUEST_LENGTH && memcmp(buffer, REQUEST, REQUEST_LENGTH) == 0;
}

static long number(const char *text, long low, long high)
{
    char *end;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > high) {
        fprintf(stderr, "bulserve_load: %s: not a number from %ld to %ld\n", text, low, high);
        exit(2);
    }
    return value;
}

static struct sockaddr_in address_of(const char *text, long port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, text, &a.sin_addr) != 1) {
        fprintf(stderr, "bulserve_load: %s: not an IPv4 address\n", text);
        exit(2);
    }
    return a;
}

/* A socket connected to the server, bound to the source when one is given. */
static int client_socket(const struct sockaddr_in *server, const char *source, int flags)
{
    int fd = socket(AF_INET, SOCK_DGRAM | flags, 0);
    if (fd < 0) {
        perror("bulserve_load: socket");
        exit(1);
    }
    if (source != NULL) {
        struct sockaddr_in local = address_of(source, 0);
        if (bind(fd, (struct sockaddr *)&local, sizeof local) != 0) {
            perror("bulserve_load: bind");
            exit(1);
        }
    }
    if (connect(fd, (const struct sockaddr *)server, sizeof *server) != 0) {
        perror("bulserve_load: connect");
        exit(1);
    }
    return fd;
}

static int run_clients(const struct sockaddr_in *server, int n, int64_t seconds)
{
    int fds[MAX_CLIENTS];
    int64_t sent_at[MAX_CLIENTS];
    unsigned long long answers = 0, timeouts = 0;
    struct epoll_event events[MAX_CLIENTS];
    int ep = epoll_create1(0);
    int64_t start, end, now;
    int i;

    if (ep < 0) {
        perror("bulserve_load: epoll");
        return 1;
    }
    for (i = 0; i < n; ++i) {
        struct epoll_event e;
        fds[i] = client_socket(server, NULL, SOCK_NONBLOCK);
        memset(&e, 0, sizeof e);
        e.events = EPOLLIN;
        e.data.u32 = (uint32_t)i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &e);
    }
    start = now_ns();
    end = start + seconds * 1000000000LL;
    for (i = 0; i < n; ++i) {
        send(fds[i], REQUEST, REQUEST_LENGTH, 0);
        sent_at[i] = start;
    }
    while ((now = now_ns()) < end) {
        int ready = epoll_wait(ep, events, n, 10);
        now = now_ns();
        for (int k = 0; k < ready; ++k) {
            int c = (int)events[k].data.u32;
            char buffer[4096];
            ssize_t got;
            int answered = 0;
            while ((got = recv(fds[c], buffer, sizeof buffer, 0)) >= 0 || errno == ECONNREFUSED)
                if (got >= 0 && is_answer(buffer, got))
                    answered = 1;
            if (answered) {
                ++answers;
                send(fds[c], REQUEST, REQUEST_LENGTH, 0);
                sent_at[c] = now;
            }
        }
        for (i = 0; i < n; ++i) {
            if (now - sent_at[i] > LOCKSTEP_TIMEOUT_NS) {
                ++timeouts;
                send(fds[i], REQUEST, REQUEST_LENGTH, 0);
                sent_at[i] = now;
            }
        }
    }
    printf("answers %llu timeouts %llu seconds %.3f\n", answers, timeouts,
           (double)(now - start) / 1e9);
    return 0;
}

static int compare_int64(const void *a, const void *b)
{
    int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
    return (x > y) - (x < y);
}

static int run_paced(const struct sockaddr_in *server, long rate, int64_t seconds,
                     const char *source, int timeout_ms)
{
    size_t slots = (size_t)(rate * seconds);
    int64_t *rtt = calloc(slots, sizeof *rtt);
    unsigned long long answered = 0, timeouts = 0;
    int64_t period = 1000000000LL / rate;
    int64_t start = now_ns();
    size_t k;

    if (rtt == NULL)
        return 1;
    for (k = 0; k < slots; ++k) {
        int64_t slot = start + (int64_t)k * period;
        int64_t sent, deadline;
        int fd, got_it = 0;
        struct timespec at = {(time_t)(slot / 1000000000LL), (long)(slot % 1000000000LL)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR)
            ;
        fd = client_socket(server, source, 0);
        sent = now_ns();
        deadline = sent + (int64_t)timeout_ms * 1000000LL;
        send(fd, REQUEST, REQUEST_LENGTH, 0);
        for (;;) {
            struct pollfd p = {fd, POLLIN, 0};
            int64_t left = deadline - now_ns();
            char buffer[4096];
            ssize_t n;
            if (left <= 0 || poll(&p, 1, (int)((left + 999999) / 1000000)) <= 0)
                break;
            n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n >= 0 && is_answer(buffer, n)) {
                rtt[answered++] = now_ns() - sent;
                got_it = 1;
                break;
            }
        }
        if (!got_it)
            ++timeouts;
        close(fd);
    }
    qsort(rtt, (size_t)answered, sizeof *rtt, compare_int64);
    printf("asked %zu answered %llu timeouts %llu p50_us %lld p99_us %lld max_us %lld\n", slots,
           answered, timeouts, answered ? (long long)rtt[answered / 2] / 1000 : -1LL,
           answered ? (long long)rtt[answered * 99 / 100] / 1000 : -1LL,
           answered ? (long long)rtt[answered - 1] / 1000 : -1LL);
    free(rtt);
    return 0;
}

static int run_flood(const struct sockaddr_in *server, int64_t seconds, const char *source)
{
    struct mmsghdr messages[FLOOD_BATCH];
    struct iovec request = {(void *)REQUEST, REQUEST_LENGTH};
    unsigned long long sent = 0, answers = 0;
    int fd = client_socket(server, source, SOCK_NONBLOCK);
    int64_t start = now_ns(), end = start + seconds * 1000000000LL, now;

    memset(messages, 0, sizeof messages);
    for (int i = 0; i < FLOOD_BATCH; ++i) {
        messages[i].msg_hdr.msg_iov = &request;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    while ((now = now_ns()) < end) {
        char buffer[16];
        ssize_t got;
        int n = sendmmsg(fd, messages, FLOOD_BATCH, 0);
        if (n > 0)
            sent += (unsigned long long)n;
        while ((got = recv(fd, buffer, sizeof buffer, MSG_TRUNC)) >= 0 || errno == ECONNREFUSED)
            if (got >= 0 && is_answer(buffer, got))
                ++answers;
    }
    printf("sent %llu answers %llu seconds %.3f\n", sent, answers, (double)(now - start) / 1e9);
    return 0;
}

int main(int argc, char **argv)
{
    struct sockaddr_in server;
    memset(&server, 0, sizeof server);
    if (argc >= 4)
        server = address_of(argv[2], number(argv[3], 1, 65535));
    if (argc == 6 && strcmp(argv[1], "clients") == 0)
        return run_clients(&server, (int)number(argv[4], 1, MAX_CLIENTS), number(argv[5], 1, 3600));
    if (argc == 8 && strcmp(argv[1], "paced") == 0)
        return run_paced(&server, number(argv[4], 1, 100000), number(argv[5], 1, 3600), argv[6],
                         (int)number(argv[7], 1, 60000));
    if (argc == 6 && strcmp(argv[1], "flood") == 0)
        return run_flood(&server, number(argv[4], 1, 3600), argv[5]);
    fprintf(stderr, "usage: bulserve_load clients SERVER PORT N SECONDS\n"
                    "       bulserve_load paced SERVER PORT RATE SECONDS SOURCE TIMEOUT-MS\n"
                    "       bulserve_load flood SERVER PORT SECONDS SOURCE\n");
    return 2;
}
