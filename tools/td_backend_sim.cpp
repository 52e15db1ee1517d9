// td_backend_sim: a stand-in for the TDLib backend that the service supervises.
//
// It reads command lines from standard input and echoes each one, as
// received, to standard output (one write per line, so a reader of the
// redirected output file sees whole lines at once). Lines that begin with
// "sim " drive it instead of only being echoed:
//
//   sim emit JSON          append JSON and a line feed to $BACKEND_EVENTS_FILE
//   sim exit CODE          exit at once with CODE
//   sim ignore-term        ignore SIGTERM from now on (only SIGKILL ends it)
//   sim stop-reading [MS]  read no input for MS milliseconds, or never again
//   sim env NAME           print "NAME=value", or "NAME unset"
//   sim stack              print "stack BYTES" (its RLIMIT_STACK soft limit)
//                          or "stack unlimited"
//
// It ends on SIGTERM (unless told to ignore it) and at end of input, with
// exit code 0.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char kHelp[] =
    "usage: td_backend_sim\n"
    "Stands in for td_backend: echoes every line of standard input to standard\n"
    "output and obeys these driving lines:\n"
    "  sim emit JSON          append JSON to $BACKEND_EVENTS_FILE\n"
    "  sim exit CODE          exit with CODE\n"
    "  sim ignore-term        ignore SIGTERM from now on\n"
    "  sim stop-reading [MS]  stop reading input for MS ms, or for good\n"
    "  sim env NAME           print NAME=value (or \"NAME unset\")\n"
    "  sim stack              print its RLIMIT_STACK soft limit\n"
    "Ends on SIGTERM and at end of input.\n";

// One write per line keeps lines whole for a concurrent reader; partial
// writes and interruptions are finished here.
void writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

void sleepMs(long ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void emitEvent(const std::string &json)
{
    const char *path = std::getenv("BACKEND_EVENTS_FILE");
    if (!path || !*path) {
        writeAll(2, "td_backend_sim: BACKEND_EVENTS_FILE is not set\n");
        return;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        writeAll(2, std::string("td_backend_sim: cannot open ") + path + ": " + std::strerror(errno) + "\n");
        return;
    }
    writeAll(fd, json + "\n");
    ::close(fd);
}

std::string stackLine()
{
    rlimit rl{};
    if (getrlimit(RLIMIT_STACK, &rl) != 0)
        return "stack error\n";
    if (rl.rlim_cur == RLIM_INFINITY)
        return "stack unlimited\n";
    return "stack " + std::to_string(static_cast<unsigned long long>(rl.rlim_cur)) + "\n";
}

// Returns false when the simulator should stop reading for good.
bool obey(const std::string &command)
{
    const size_t space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const std::string arg = space == std::string::npos ? std::string() : command.substr(space + 1);

    if (verb == "emit") {
        emitEvent(arg);
    } else if (verb == "exit") {
        std::exit(std::atoi(arg.c_str()));
    } else if (verb == "ignore-term") {
        std::signal(SIGTERM, SIG_IGN);
    } else if (verb == "stop-reading") {
        if (arg.empty())
            return false;
        sleepMs(std::atol(arg.c_str()));
    } else if (verb == "env") {
        const char *value = std::getenv(arg.c_str());
        writeAll(1, value ? arg + "=" + value + "\n" : arg + " unset\n");
    } else if (verb == "stack") {
        writeAll(1, stackLine());
    } else {
        writeAll(2, "td_backend_sim: unknown command: " + command + "\n");
    }
    return true;
}

// Echoes the line, then acts on it when it drives the simulator.
bool handleLine(const std::string &line)
{
    writeAll(1, line + "\n");
    static const std::string prefix = "sim ";
    if (line.compare(0, prefix.size(), prefix) == 0)
        return obey(line.substr(prefix.size()));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        writeAll(1, kHelp);
        return 0;
    }

    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, size_t(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string line = pending.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!handleLine(line)) {
                // Told to stop reading for good: wait for a signal to end it.
                for (;;)
                    pause();
            }
        }
        pending.erase(0, start);
    }
    if (!pending.empty())
        handleLine(pending);
    return 0;
}
