// tgpush_proxy_sim: a push proxy for trying the service's push mode on one
// machine. See --help.

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "proxy_state.h"

namespace {

const char kHelp[] =
    "Usage: tgpush_proxy_sim [--port N] [--path PATH] [--first-id N]\n"
    "\n"
    "A long-poll push proxy on 127.0.0.1 (HTTP/1.1). With --port 0 or without\n"
    "--port the system picks the port. Once listening it prints one line to\n"
    "standard output:\n"
    "  tgpush_proxy_sim listening on 127.0.0.1:PORT\n"
    "\n"
    "Poll side:\n"
    "  GET PATH?since=N&timeout_ms=M   (PATH defaults to /poll)\n"
    "    Answers {\"events\":[{\"id\":..,\"text\":..},..],\"next_since\":..} with the\n"
    "    events whose id is greater than N, holding the request until one is\n"
    "    published or M ms pass (then the events array is empty and next_since\n"
    "    is N). timeout_ms defaults to 30000 and is capped at 600000.\n"
    "\n"
    "Control side (same server; GET works as well as POST):\n"
    "  POST /control/publish?count=K&text=T\n"
    "    publishes K events (default 1) with increasing ids (the first is\n"
    "    --first-id, default 1); answers {\"ids\":[..]}.\n"
    "  POST /control/fault?kind=KIND[&times=K]\n"
    "    the next K polls (default 1; 0: until cleared) meet the fault:\n"
    "      kind=status&code=C  answer with HTTP status C\n"
    "      kind=delay&ms=D     hold D ms more, then answer as usual\n"
    "      kind=invalid        answer 200 with a body that has no events array\n"
    "      kind=hang           accept and never answer (until cleared)\n"
    "      kind=reset          reset the connection without an answer\n"
    "      kind=endless        answer 200 with a body that never ends: an\n"
    "                          events array of events without end\n"
    "      kind=none           clear all faults and let hanging polls go\n"
    "  GET /control/stats\n"
    "    {\"polls\":..,\"last_since\":..,\"last_timeout_ms\":..,\"waiting\":..,\"next_id\":..}\n"
    "\n"
    "Each poll is logged on standard error. SIGTERM or SIGINT ends the proxy.\n";

constexpr std::size_t kMaxEventsPerAnswer = 1000;
constexpr long long kMaxTimeoutMs = 600000;
constexpr int kMaxPublishCount = 100000;

long long numberParam(const httplib::Request &req, const char *name, long long fallback)
{
    if (!req.has_param(name))
        return fallback;
    const std::string text = req.get_param_value(name);
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    return (end && *end == '\0' && !text.empty()) ? value : fallback;
}

// Sends a TCP reset on the connection the request came in on: the socket is
// found by its peer port and disconnected, which aborts it with RST while
// the descriptor stays valid for the server to close.
bool resetConnection(int serverPort, int peerPort)
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool done = false;
    while (dirent *entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == dirfd(dir))
            continue;
        sockaddr_in local {};
        sockaddr_in peer {};
        socklen_t len = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 || local.sin_family != AF_INET
            || ntohs(local.sin_port) != serverPort)
            continue;
        len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 || ntohs(peer.sin_port) != peerPort)
            continue;
        sockaddr unspec {};
        unspec.sa_family = AF_UNSPEC;
        done = connect(fd, &unspec, sizeof unspec) == 0;
        break;
    }
    closedir(dir);
    return done;
}

std::string answerBody(const std::vector<Event> &events, std::uint64_t since)
{
    std::string body = "{\"events\":[";
    std::uint64_t next = since;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (i)
            body += ',';
        body += "{\"id\":" + std::to_string(events[i].id) + ",\"text\":" + jsonString(events[i].text) + "}";
        next = std::max(next, events[i].id);
    }
    return body + "],\"next_since\":" + std::to_string(next) + "}";
}

Fault faultFromRequest(const httplib::Request &req, bool &ok)
{
    ok = true;
    Fault fault;
    const std::string kind = req.get_param_value("kind");
    if (kind == "status") {
        fault.kind = Fault::Status;
        fault.status = int(numberParam(req, "code", 500));
        ok = fault.status >= 100 && fault.status <= 599;
    } else if (kind == "delay") {
        fault.kind = Fault::Delay;
        fault.delayMs = int(std::clamp(numberParam(req, "ms", 1000), 0LL, kMaxTimeoutMs));
    } else if (kind == "invalid") {
        fault.kind = Fault::Invalid;
    } else if (kind == "endless") {
        fault.kind = Fault::Endless;
    } else if (kind == "hang") {
        fault.kind = Fault::Hang;
    } else if (kind == "reset") {
        fault.kind = Fault::Reset;
    } else if (kind != "none") {
        ok = false;
    }
    return fault;
}

struct Options {
    int port = 0;
    std::string path = "/poll";
    std::uint64_t firstId = 1;
};

// The command line read into `options`; -1 to go on, else the exit code.
int parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--port" && hasValue) {
            options.port = std::atoi(argv[++i]);
        } else if (arg == "--path" && hasValue) {
            options.path = argv[++i];
        } else if (arg == "--first-id" && hasValue) {
            options.firstId = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "tgpush_proxy_sim: bad argument %s (try --help)\n", arg.c_str());
            return 2;
        }
    }
    if (options.port < 0 || options.port > 65535 || options.path.empty() || options.path[0] != '/') {
        std::fprintf(stderr, "tgpush_proxy_sim: bad --port or --path (try --help)\n");
        return 2;
    }
    return -1;
}

// The signals are taken by one waiting thread, so the server can be stopped
// outside a signal handler; a client gone mid-answer must not kill the
// proxy. Blocked before any thread starts, so every thread inherits it.
sigset_t blockStopSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

void configure(httplib::Server &server)
{
    // Held polls each take a thread; leave room for the control side.
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    server.set_keep_alive_timeout(120);
    // A real proxy keeps a client's connection for as long as it polls; the
    // library's default closes it after five requests.
    server.set_keep_alive_max_count(std::numeric_limits<size_t>::max());
    // Headers and body go out in separate writes; without this, Nagle and
    // delayed ACKs hold an answer back by tens of milliseconds.
    server.set_tcp_nodelay(true);
}

// Chunk after chunk until the client goes away, uncompressed (the library
// would gzip a JSON type for a client that accepts it, and Qt gives up so
// compressible an answer early by itself): the client meets every byte.
void answerEndlessly(httplib::Response &res)
{
    res.set_chunked_content_provider("application/octet-stream", [](size_t offset, httplib::DataSink &sink) {
        static const std::string events = [] {
            std::string chunk;
            while (chunk.size() < 64 * 1024)
                chunk += "{\"id\":1,\"text\":\"endless\"},";
            return chunk;
        }();
        static const char start[] = "{\"events\":[";
        if (offset == 0 && !sink.write(start, sizeof start - 1))
            return false;
        return sink.write(events.data(), events.size());
    });
}

void answerPoll(ProxyState &state, int boundPort, const httplib::Request &req, httplib::Response &res)
{
    const long long sinceParam = numberParam(req, "since", 0);
    const std::uint64_t since = sinceParam < 0 ? 0 : std::uint64_t(sinceParam);
    const long long timeoutMs = std::clamp(numberParam(req, "timeout_ms", 30000), 0LL, kMaxTimeoutMs);
    std::fprintf(stderr, "tgpush_proxy_sim: poll since=%llu timeout_ms=%lld\n",
                 static_cast<unsigned long long>(since), timeoutMs);
    const Fault fault = state.startPoll(since, timeoutMs);
    switch (fault.kind) {
    case Fault::Status:
        res.status = fault.status;
        // 1xx, 204 and 304 answers carry no body; one sent anyway would be
        // read as the start of the next answer on the connection.
        if (fault.status >= 200 && fault.status != 204 && fault.status != 304)
            res.set_content("{\"error\":\"injected\"}", "application/json");
        return;
    case Fault::Invalid:
        res.set_content("<html>proxy error</html>", "text/html");
        return;
    case Fault::Hang:
        state.hang();
        resetConnection(boundPort, req.remote_port);
        return;
    case Fault::Reset:
        resetConnection(boundPort, req.remote_port);
        return;
    case Fault::Endless:
        answerEndlessly(res);
        return;
    case Fault::Delay:
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
        break;
    case Fault::None:
        break;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    res.set_content(answerBody(state.waitForEvents(since, deadline, kMaxEventsPerAnswer), since),
                    "application/json");
}

void answerPublish(ProxyState &state, const httplib::Request &req, httplib::Response &res)
{
    const long long count = numberParam(req, "count", 1);
    if (count < 1 || count > kMaxPublishCount) {
        res.status = 400;
        res.set_content("{\"error\":\"count\"}", "application/json");
        return;
    }
    const std::string text = req.has_param("text") ? req.get_param_value("text") : "new message";
    std::string body = "{\"ids\":[";
    const std::vector<std::uint64_t> ids = state.publish(int(count), text);
    for (std::size_t i = 0; i < ids.size(); ++i)
        body += (i ? "," : "") + std::to_string(ids[i]);
    res.set_content(body + "]}", "application/json");
}

void answerFault(ProxyState &state, const httplib::Request &req, httplib::Response &res)
{
    bool ok = false;
    const Fault fault = faultFromRequest(req, ok);
    const long long times = numberParam(req, "times", 1);
    if (!ok || times < 0) {
        res.status = 400;
        res.set_content("{\"error\":\"bad fault\"}", "application/json");
        return;
    }
    if (fault.kind == Fault::None)
        state.clearFaults();
    else
        state.setFault(fault, int(times));
    res.set_content("{\"ok\":true}", "application/json");
}

// `boundPort` is read by the poll handler once the server listens.
void route(httplib::Server &server, ProxyState &state, const std::string &path, const int &boundPort)
{
    using httplib::Request;
    using httplib::Response;
    server.Get(path, [&](const Request &req, Response &res) { answerPoll(state, boundPort, req, res); });
    const auto publish = [&](const Request &req, Response &res) { answerPublish(state, req, res); };
    const auto setFault = [&](const Request &req, Response &res) { answerFault(state, req, res); };
    // GET as well, so "curl URL" drives it without a request body.
    server.Post("/control/publish", publish).Get("/control/publish", publish);
    server.Post("/control/fault", setFault).Get("/control/fault", setFault);
    server.Get("/control/stats", [&](const Request &, Response &res) {
        res.set_content(state.statsJson(), "application/json");
    });
}

// Serves until a stop signal arrives or the server ends on its own.
void serveUntilStopped(httplib::Server &server, ProxyState &state, const sigset_t &stopSignals)
{
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        state.shutDown();
        server.stop();
    });
    server.listen_after_bind();
    // When the server ended on its own, the waiting thread still waits.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const int code = parseOptions(argc, argv, options); code >= 0)
        return code;
    const sigset_t stopSignals = blockStopSignals();

    ProxyState state(options.firstId);
    httplib::Server server;
    configure(server);
    int boundPort = 0;
    route(server, state, options.path, boundPort);

    const int port = options.port;
    boundPort = port == 0 ? server.bind_to_any_port("127.0.0.1") : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (boundPort <= 0) {
        std::fprintf(stderr, "tgpush_proxy_sim: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        return 1;
    }
    std::printf("tgpush_proxy_sim listening on 127.0.0.1:%d\n", boundPort);
    std::fflush(stdout);
    serveUntilStopped(server, state, stopSignals);
    return 0;
}
