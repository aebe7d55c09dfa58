/* The least a status query can be: connect to HOST PORT, ask DLE EOT 1..4 one after the other and
 * read each one-byte answer. The baseline of `kelvotool status`; exits 1 when an answer is
 * missing. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    struct sockaddr_in to = {0};
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1)
        return 2;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&to, sizeof to) != 0)
        return 1;
    for (char n = 1; n <= 4; ++n) {
        const char request[3] = {0x10, 0x04, n};
        char answer;
        if (send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
            recv(fd, &answer, 1, 0) != 1)
            return 1;
    }
    close(fd);
    return 0;
}
