// SPDX-License-Identifier: MIT
// Server throughput: small "echo" calls over kept-alive HTTP/1.1 connections,
// 1, 8 and 32 clients at once, against Tavrel's server, Python's
// SimpleXMLRPCServer with ThreadingMixIn and, where it was built, xmlrpc-c's
// Abyss server, each in a process of its own on 127.0.0.1. The same load
// generator measures them all: one thread on epoll, each client a connection
// that sends its next call, written whole, as soon as its answer is in. After
// a warm-up, each measurement stops at the given number of calls or seconds,
// whichever comes first, and prints calls per second and the 50th and 99th
// percentile of the latency (from writing a call to having its whole answer),
// and the processor time the server spent per call (all its threads, from /proc).
//
//   throughput_bench [calls] [seconds]      (default 20000 calls, 5 s)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A server program; "{port}" in its command is replaced by the port it must use.
struct Server
{
    std::string name;
    std::vector<std::string> command;
    pid_t pid = -1;
    int output = -1;
    unsigned short port = 0;
};

unsigned short freePort()
{
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// Starts the server and waits for the line it prints once it listens.
bool start(Server &server)
{
    server.port = freePort();
    std::vector<std::string> arguments = server.command;
    for (std::string &argument : arguments) {
        if (argument == "{port}")
            argument = std::to_string(server.port);
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;
    server.pid = fork();
    if (server.pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    server.output = pipeEnds[0];
    char character = 0;
    while (read(server.output, &character, 1) == 1) {
        if (character == '\n')
            return true;
    }
    return false;
}

void stop(Server &server)
{
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
    }
    close(server.output);
}

// Processor time a process has used so far, all its threads, in seconds.
double processorSeconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *file = std::fopen(path, "r");
    if (!file)
        return 0;
    char text[1024] = {};
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = 0;
    // The fields after the command's name, which may hold anything but ends with ')'.
    const char *fields = std::strrchr(text, ')');
    unsigned long user = 0;
    unsigned long system = 0;
    if (!fields
        || std::sscanf(
               fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system)
            != 2)
        return 0;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

int connectTo(unsigned short port)
{
    const int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(socketFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(socketFd);
        return -1;
    }
    const int on = 1;
    setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(socketFd, F_SETFL, O_NONBLOCK);
    return socketFd;
}

// A response at the start of received: its length once complete, else 0.
struct Response
{
    size_t length = 0;
    bool broken = false;
    bool ok = false;
    bool closes = false;
};

Response parseResponse(const std::string &received)
{
    Response response;
    const size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return response;
    long contentLength = -1;
    size_t line = received.find("\r\n") + 2;
    while (line < headEnd) {
        const size_t lineEnd = received.find("\r\n", line);
        const char *text = received.c_str() + line;
        if (strncasecmp(text, "content-length:", 15) == 0)
            contentLength = std::strtol(text + 15, nullptr, 10);
        else if (strncasecmp(text, "connection:", 11) == 0)
            response.closes = received.find("close", line) < lineEnd;
        line = lineEnd + 2;
    }
    if (contentLength < 0) {
        response.broken = true;
        return response;
    }
    if (received.size() < headEnd + 4 + size_t(contentLength))
        return response;
    response.length = headEnd + 4 + size_t(contentLength);
    response.ok = received.compare(0, 13, "HTTP/1.1 200 ") == 0
        && received.find("hello", headEnd) < response.length;
    return response;
}

struct Figures
{
    double callsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    size_t calls = 0;
    size_t failures = 0;
    double serverMicroseconds = 0;
};

// Clients on kept-alive connections to one server, each with one call in flight.
class Load
{
public:
    Load(unsigned short port, int clients)
        : m_port(port)
        , m_clients(size_t(clients))
        , m_epoll(epoll_create1(EPOLL_CLOEXEC))
    {
        const std::string body
            = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>echo</methodName>"
              "<params><param><value><string>hello</string></value></param>"
              "</params></methodCall>\r\n";
        m_request = "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
            + "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size())
            + "\r\n\r\n" + body;
        for (size_t index = 0; index < m_clients.size(); ++index)
            reconnect(index);
    }

    ~Load()
    {
        for (const Client &client : m_clients)
            close(client.socket);
        close(m_epoll);
    }

    // Runs until calls were made or the time is up, and every answer is in.
    Figures run(size_t calls, double seconds)
    {
        m_latencies.clear();
        m_latencies.reserve(calls);
        m_failures = 0;
        m_sent = 0;
        m_limit = calls;
        m_start = Clock::now();
        m_deadline = m_start
            + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        for (size_t index = 0; index < m_clients.size(); ++index)
            sendNext(index);
        Clock::time_point last = m_start;
        epoll_event events[64];
        while (m_waiting > 0) {
            const int count = epoll_wait(m_epoll, events, 64, 10000);
            if (count <= 0) {
                std::fprintf(stderr, "no answer for 10 s; giving up\n");
                std::exit(1);
            }
            for (int event = 0; event < count; ++event) {
                if (receive(events[event].data.u32))
                    last = Clock::now();
            }
        }
        Figures figures;
        figures.calls = m_latencies.size();
        figures.failures = m_failures;
        if (m_latencies.empty())
            return figures;
        std::sort(m_latencies.begin(), m_latencies.end());
        figures.callsPerSecond
            = double(m_latencies.size()) / std::chrono::duration<double>(last - m_start).count();
        figures.p50 = m_latencies[m_latencies.size() / 2];
        figures.p99 = m_latencies[std::min(m_latencies.size() - 1, m_latencies.size() * 99 / 100)];
        return figures;
    }

private:
    struct Client
    {
        int socket = -1;
        std::string received;
        Clock::time_point sentAt;
        bool waiting = false;
    };

    void reconnect(size_t index)
    {
        Client &client = m_clients[index];
        if (client.socket >= 0)
            close(client.socket);
        client.received.clear();
        client.socket = connectTo(m_port);
        if (client.socket < 0) {
            std::perror("connect");
            std::exit(1);
        }
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(index);
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.socket, &event);
    }

    void sendNext(size_t index)
    {
        if (m_sent >= m_limit || Clock::now() >= m_deadline)
            return;
        Client &client = m_clients[index];
        client.sentAt = Clock::now();
        // A few hundred bytes on a connection with nothing else unsent: the
        // kernel takes them whole.
        if (send(client.socket, m_request.data(), m_request.size(), MSG_NOSIGNAL)
            != ssize_t(m_request.size())) {
            std::perror("send");
            std::exit(1);
        }
        client.waiting = true;
        ++m_waiting;
        ++m_sent;
    }

    // Reads what arrived for a client; true when it completed an answer.
    bool receive(size_t index)
    {
        Client &client = m_clients[index];
        char buffer[16384];
        const ssize_t count = recv(client.socket, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EAGAIN)
            return false;
        if (count <= 0) {
            // Closed (or failed) before the whole answer: counted, and the call is not retried.
            if (client.waiting) {
                client.waiting = false;
                --m_waiting;
                ++m_failures;
            }
            reconnect(index);
            sendNext(index);
            return false;
        }
        client.received.append(buffer, size_t(count));
        const Response response = parseResponse(client.received);
        if (response.broken) {
            std::fprintf(stderr, "unreadable response: %s\n", client.received.c_str());
            std::exit(1);
        }
        if (response.length == 0)
            return false;
        m_latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - client.sentAt).count());
        if (!response.ok)
            ++m_failures;
        client.received.erase(0, response.length);
        client.waiting = false;
        --m_waiting;
        if (response.closes)
            reconnect(index);
        sendNext(index);
        return true;
    }

    unsigned short m_port;
    std::vector<Client> m_clients;
    int m_epoll;
    std::string m_request;
    std::vector<double> m_latencies;
    size_t m_waiting = 0;
    size_t m_sent = 0;
    size_t m_limit = 0;
    size_t m_failures = 0;
    Clock::time_point m_start;
    Clock::time_point m_deadline;
};

} // namespace

int main(int argc, char *argv[])
{
    const size_t calls = argc > 1 ? size_t(std::atol(argv[1])) : 20000;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    signal(SIGPIPE, SIG_IGN);

    std::vector<Server> servers;
    servers.push_back({"Tavrel", {TAVREL_ECHO_SERVER, "{port}"}});
    servers.push_back({"Python ThreadingMixIn",
        {"python3", TAVREL_BENCH_DIR "/keepalive_peer.py", "serve-threading", "{port}"}});
#ifdef TAVREL_XMLRPCC_PEER
    servers.push_back({"xmlrpc-c Abyss", {TAVREL_XMLRPCC_PEER, "serve", "{port}", "64"}});
#endif
    for (Server &server : servers) {
        if (!start(server)) {
            std::fprintf(stderr, "%s did not start\n", server.name.c_str());
            return 1;
        }
    }

    std::printf("Small echo calls over kept-alive connections, at most %zu calls or %g s each\n\n",
        calls, seconds);
    std::printf("%-8s %-22s %10s %9s %9s %8s %7s %12s\n", "clients", "server", "calls/s", "p50 ms",
        "p99 ms", "calls", "failed", "server us/call");
    std::map<int, std::vector<Figures>> results;
    for (const int clients : {1, 8, 32}) {
        for (const Server &server : servers) {
            Load load(server.port, clients);
            load.run(size_t(clients) * 50, seconds);
            const double before = processorSeconds(server.pid);
            Figures figures = load.run(calls, seconds);
            figures.serverMicroseconds
                = (processorSeconds(server.pid) - before) * 1e6 / double(figures.calls);
            results[clients].push_back(figures);
            std::printf("%-8d %-22s %10.0f %9.3f %9.3f %8zu %7zu %12.1f\n", clients,
                server.name.c_str(), figures.callsPerSecond, figures.p50, figures.p99,
                figures.calls, figures.failures, figures.serverMicroseconds);
            std::fflush(stdout);
        }
    }

    std::printf("\nTavrel's calls/s over the others' (above 1: Tavrel ahead)\n");
    for (const auto &row : results) {
        std::printf("  %2d clients:", row.first);
        for (size_t index = 1; index < servers.size(); ++index) {
            std::printf("  %s %.2fx", servers[index].name.c_str(),
                row.second[0].callsPerSecond / row.second[index].callsPerSecond);
        }
        std::printf("\n");
    }
    for (Server &server : servers)
        stop(server);
    return 0;
}
