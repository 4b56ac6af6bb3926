// A server on 127.0.0.1 that accepts connections and never answers, as a stalled
// network does: prints its port, then holds every connection open until it is killed
// or two minutes have passed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

int main()
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("silent_server");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    std::vector<int> held;
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < end) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 1000) > 0) {
            const int connection = accept(listener, nullptr, nullptr);
            if (connection >= 0)
                held.push_back(connection); // read nothing, answer nothing
        }
    }
    return 0;
}
