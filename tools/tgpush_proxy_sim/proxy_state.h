#pragma once
// What the simulated push proxy knows: the published events, the faults
// queued for the next polls, and counters for whoever drives it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct Fault
{
    enum Kind { None, Status, Delay, Invalid, Hang, Reset, Endless };
    Kind kind = None;
    int status = 0;  // Status: the HTTP status to answer with
    int delayMs = 0; // Delay: held this long before the normal answer
};

struct Event
{
    std::uint64_t id = 0;
    std::string text;
};

class ProxyState
{
public:
    explicit ProxyState(std::uint64_t firstId) : m_nextId(firstId) {}

    // Returns the ids given to the new events.
    std::vector<std::uint64_t> publish(int count, const std::string &text);
    // `times` polls get the fault; 0 keeps it until cleared.
    void setFault(const Fault &fault, int times);
    // Clears every fault and lets hanging polls go.
    void clearFaults();
    // Takes the fault for one poll and counts the poll.
    Fault startPoll(std::uint64_t since, long long timeoutMs);
    // Waits until an event after `since` exists, the deadline passes or the
    // proxy shuts down; returns the events after `since` (at most `limit`).
    std::vector<Event> waitForEvents(std::uint64_t since, std::chrono::steady_clock::time_point deadline,
                                     std::size_t limit);
    // Holds a hanging poll until faults are cleared or the proxy shuts down.
    void hang();
    void shutDown();
    std::string statsJson();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Event> m_events;
    std::uint64_t m_nextId;
    Fault m_fault;
    int m_faultTimes = 0;
    std::uint64_t m_releaseGeneration = 0;
    bool m_shutDown = false;
    std::uint64_t m_polls = 0;
    std::uint64_t m_lastSince = 0;
    long long m_lastTimeoutMs = -1;
    int m_waiting = 0;
};

// Escapes a text for a JSON string.
std::string jsonString(const std::string &text);
