/* The floor for a bulletin server: a UDP responder that answers each request
 * of exactly "BUL:0" with a fixed datagram, one blocking receive and one send
 * per request and nothing else, so that bulserve's answers per second can be
 * read as a ratio against it.
 *
 *   bulserve_baseline ADDRESS PORT REPLY-FILE
 *
 * The reply file holds the datagram to send, byte for byte (bench/bulserve-bench
 * writes there what bulserve answered for the same bulletin, so both send
 * the same length). Runs until killed.
 */
#define _DEFAULT_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static char reply[65536];
    struct sockaddr_in address;
    ssize_t reply_length;
    int fd, file;
    char *end;
    unsigned long port;

    if (argc != 4) {
        fprintf(stderr, "usage: bulserve_baseline ADDRESS PORT REPLY-FILE\n");
        return 1;
    }
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    port = strtoul(argv[2], &end, 10);
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 || *end != '\0' || port > 65535) {
        fprintf(stderr, "bulserve_baseline: bad address or port\n");
        return 1;
    }
    address.sin_port = htons((unsigned short)port);
    file = open(argv[3], O_RDONLY);
    if (file < 0 || (reply_length = read(file, reply, sizeof reply)) <= 0) {
        perror(argv[3]);
        return 1;
    }
    close(file);
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        perror("bulserve_baseline: socket");
        return 1;
    }
    for (;;) {
        char request[16];
        struct sockaddr_in from;
        socklen_t from_length = sizeof from;
        ssize_t n = recvfrom(fd, request, sizeof request, 0, (struct sockaddr *)&from,
                             &from_length);
        if (n != 5 || memcmp(request, "BUL:0", 5) != 0)
            continue;
        sendto(fd, reply, (size_t)reply_length, 0, (struct sockaddr *)&from, from_length);
    }
}
