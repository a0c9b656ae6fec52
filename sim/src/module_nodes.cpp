// The simulated master's watch over its nodes: node guarding and heartbeat
// monitoring of nodes that fall silent, and the object values a reset restores.
#include <algorithm>
#include <chrono>
#include <optional>

#include "vexan_sim/module.hpp"

namespace vexsim {

namespace {

constexpr uint16_t kCommunicationFirst = 0x1000;
constexpr uint16_t kCommunicationLast = 0x1FFF;

struct Monitoring {
    std::chrono::milliseconds time;
    uint8_t code;
};

// How the master watches the node: heartbeat (the consumer time, the second
// heartbeat value, or else the first) takes precedence over node guarding
// (guard time x life time factor); nothing when neither is set up.
std::optional<Monitoring> MonitoringOf(const SimNode& node)
{
    const uint16_t heartbeat = node.heartbeatTime2 != 0 ? node.heartbeatTime2 : node.heartbeatTime1;
    if (heartbeat != 0)
        return Monitoring{std::chrono::milliseconds(heartbeat), kNmtErrorHeartbeat};
    const unsigned lifeTime = unsigned{node.guardTime} * node.lifeTimeFactor;
    if (lifeTime != 0)
        return Monitoring{std::chrono::milliseconds(lifeTime), kNmtErrorGuarding};
    return std::nullopt;
}

// When the silence of a watched node is to be reported, if it is.
std::optional<Clock::time_point> LossDue(const SimNode& node)
{
    if (!node.listed || !node.silent || node.monitoringLost)
        return std::nullopt;
    const auto monitoring = MonitoringOf(node);
    if (!monitoring)
        return std::nullopt;
    return std::max(node.silentSince, node.monitoredSince) + monitoring->time;
}

}  // namespace

void Module::TickMonitoring(Clock::time_point now)
{
    for (auto& [id, node] : nodes_) {
        const auto due = LossDue(node);
        if (due && now >= *due) {
            QueueNmtError(id, MonitoringOf(node)->code);
            node.monitoringLost = true;
        }
    }
}

std::optional<Clock::time_point> Module::NextMonitoringDue() const
{
    std::optional<Clock::time_point> next;
    for (const auto& [id, node] : nodes_) {
        const auto due = LossDue(node);
        if (due && (!next || *due < *next))
            next = due;
    }
    return next;
}

bool Module::PutObject(uint8_t id, ObjectEntry entry)
{
    SimNode* node = FindNode(id);
    if (node == nullptr)
        return false;
    node->initialDictionary.Put(entry);
    node->dictionary.Put(std::move(entry));
    return true;
}

void Module::RestoreValues(SimNode& node, bool communicationOnly)
{
    if (!communicationOnly) {
        node.dictionary = node.initialDictionary;
        return;
    }
    for (const ObjectEntry* entry : node.initialDictionary.Entries()) {
        if (entry->index >= kCommunicationFirst && entry->index <= kCommunicationLast)
            node.dictionary.Put(*entry);
    }
}

}  // namespace vexsim
