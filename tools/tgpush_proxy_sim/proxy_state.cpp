#include "proxy_state.h"

#include <cstdio>

namespace {
// Old events are dropped beyond this; a poll that asks for older ones gets
// what is left.
constexpr std::size_t kMaxKeptEvents = 100000;
} // namespace

std::vector<std::uint64_t> ProxyState::publish(int count, const std::string &text)
{
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = 0; i < count; ++i) {
            m_events.push_back(Event {m_nextId, text});
            ids.push_back(m_nextId++);
            if (m_events.size() > kMaxKeptEvents)
                m_events.pop_front();
        }
    }
    m_changed.notify_all();
    return ids;
}

void ProxyState::setFault(const Fault &fault, int times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fault = fault;
    m_faultTimes = times;
}

void ProxyState::clearFaults()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fault = Fault {};
        m_faultTimes = 0;
        ++m_releaseGeneration;
    }
    m_changed.notify_all();
}

Fault ProxyState::startPoll(std::uint64_t since, long long timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_polls;
    m_lastSince = since;
    m_lastTimeoutMs = timeoutMs;
    const Fault fault = m_fault;
    if (m_fault.kind != Fault::None && m_faultTimes > 0 && --m_faultTimes == 0)
        m_fault = Fault {};
    return fault;
}

std::vector<Event> ProxyState::waitForEvents(std::uint64_t since, std::chrono::steady_clock::time_point deadline,
                                             std::size_t limit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto hasNewer = [&] { return m_shutDown || (!m_events.empty() && m_events.back().id > since); };
    ++m_waiting;
    m_changed.wait_until(lock, deadline, hasNewer);
    --m_waiting;
    std::vector<Event> out;
    for (const Event &event : m_events) {
        if (event.id > since && out.size() < limit)
            out.push_back(event);
    }
    return out;
}

void ProxyState::hang()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t generation = m_releaseGeneration;
    ++m_waiting;
    m_changed.wait(lock, [&] { return m_shutDown || m_releaseGeneration != generation; });
    --m_waiting;
}

void ProxyState::shutDown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutDown = true;
    }
    m_changed.notify_all();
}

std::string ProxyState::statsJson()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"polls\":%llu,\"last_since\":%llu,\"last_timeout_ms\":%lld,\"waiting\":%d,\"next_id\":%llu}",
                  static_cast<unsigned long long>(m_polls), static_cast<unsigned long long>(m_lastSince),
                  m_lastTimeoutMs, m_waiting, static_cast<unsigned long long>(m_nextId));
    return buf;
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}
