#include "vexan_sim/simulator.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "line.hpp"

namespace vexsim {

namespace {

constexpr std::size_t kMaxTraceLines = 200000;
constexpr std::size_t kReadChunk = 4096;
constexpr auto kIdlePoll = std::chrono::milliseconds(50);

}  // namespace

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)), module_(options_.module), baud_(options_.baud), random_(options_.randomSeed)
{
}

Simulator::~Simulator()
{
    Stop();
}

void Simulator::Start()
{
    if (thread_.joinable())
        return;
    line_ = options_.device.empty() ? Line::OpenNew() : Line::OpenDevice(options_.device, baud_);
    path_ = line_->LibraryPath();
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void Simulator::Stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        Wake();
        thread_.join();
    }
    line_.reset();
}

LinePort Simulator::OpenLibraryEnd() const
{
    return line_ ? line_->OpenLibraryEnd() : kNoLinePort;
}

void Simulator::Wake()
{
    if (line_)
        line_->Wake();
}

// ------------------------------------------------------------------ thread

void Simulator::Run()
{
    while (!stop_) {
        auto now = Clock::now();
        Clock::time_point wakeAt = now + kIdlePoll;
        bool wantWrite = false;
        if (auto next = NextWrite(ByteTime())) {
            if (*next <= now) {
                wantWrite = true;
            } else {
                wakeAt = std::min(wakeAt, *next);
            }
        }
        if (!incoming_.empty())
            wakeAt = std::min(wakeAt, incoming_.front().due);
        {
            std::lock_guard lock(mutex_);
            if (auto due = module_.NextDue())
                wakeAt = std::min(wakeAt, *due);
            if (auto due = module_.NextMonitoringDue())
                wakeAt = std::min(wakeAt, *due);
        }
        // With a piece due, wait only for the line to take it.
        const auto timeout = wantWrite ? std::chrono::duration_cast<std::chrono::milliseconds>(kIdlePoll)
                                       : std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now);
        const Line::Ready ready = line_->Wait(timeout, wantWrite);
        if (ready == Line::Ready::Failed)
            break;
        now = Clock::now();
        if (ready == Line::Ready::Readable)
            ReadLine(now);
        DeliverDue(now);
        {
            std::lock_guard lock(mutex_);
            module_.Tick(now);
            module_.TickMonitoring(now);
        }
        WriteDue(now);
    }
}

void Simulator::ReadLine(Clock::time_point now)
{
    std::array<uint8_t, kReadChunk> buf{};
    const long n = line_->Read(buf.data(), buf.size());
    if (n <= 0) {
        // A device that went away: do not spin.
        if (n < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return;
    }
    bytesReceived_ += static_cast<std::size_t>(n);
    unsigned baud = 0;
    {
        std::lock_guard lock(mutex_);
        baud = baud_;
    }
    // The bytes come in one after another at the line's rate, 10 bits each,
    // from when the line is free of the bytes before them; without a rate they
    // are there at once.
    const std::chrono::nanoseconds byteTime{baud != 0 ? 10'000'000'000LL / baud : 0};
    Clock::time_point due = std::max(receiveBusy_, now);
    for (long i = 0; i < n; ++i) {
        due += byteTime;
        incoming_.push_back(InByte{due, buf[static_cast<std::size_t>(i)]});
    }
    receiveBusy_ = due;
}

void Simulator::DeliverDue(Clock::time_point now)
{
    Bytes bytes;
    while (!incoming_.empty() && incoming_.front().due <= now) {
        bytes.push_back(incoming_.front().byte);
        incoming_.pop_front();
    }
    if (bytes.empty())
        return;
    std::lock_guard lock(mutex_);
    ModuleOutput out;
    module_.Receive(bytes, out, now);
    for (const Bytes& frame : out.received) {
        if (!IsQuietEventTraffic(frame, false))
            AddTrace("<- " + DescribeFrame(frame, false));
    }
    for (std::string& note : out.notes)
        AddTrace("   " + note);
    for (Outgoing& reply : out.replies)
        Schedule(std::move(reply), now);
}

bool Simulator::IsQuietEventTraffic(const Bytes& frame, bool fromModule) const
{
    if (options_.traceEventPolls || frame.size() < 3 || frame[2] != static_cast<uint8_t>(Command::EventPoll)) {
        return false;
    }
    // An event poll, or an event reply that reports nothing.
    return !fromModule || (frame.size() >= 6 && frame[5] == 0);
}

void Simulator::Schedule(Outgoing reply, Clock::time_point now)
{
    std::string note;
    unsigned delayMs = 0;
    unsigned gapMs = faults_.splitGapMs;
    std::vector<std::size_t> cuts;
    Bytes garbage;
    Bytes& bytes = reply.bytes;
    if (reply.identification) {
        switch (ident_.behaviour) {
        case IdentBehaviour::Silent:
            AddTrace("-> IdentReply (withheld)");
            return;
        case IdentBehaviour::Wrong:
            bytes.back() = 'X';
            break;
        case IdentBehaviour::CorrectWithCR:
            bytes.push_back('\r');
            break;
        case IdentBehaviour::Correct:
            break;
        }
        delayMs = ident_.delayMs;
        gapMs = ident_.splitGapMs;
        if (ident_.splitAt)
            cuts.push_back(*ident_.splitAt);
    } else {
        if (faults_.dropNext > 0 && faults_.dropTarget.Matches(reply.command, reply.key)) {
            --faults_.dropNext;
            AddTrace("-> " + DescribeFrame(bytes, true) + " (dropped)");
            return;
        }
        if (faults_.wrongLengthNext > 0) {
            --faults_.wrongLengthNext;
            bytes[1] = static_cast<uint8_t>(bytes[1] + 1);
            note += " (length byte +1)";
        }
        delayMs = faults_.delayMs;
        cuts = faults_.splitAt;
        if (faults_.splitRandom && bytes.size() > 1) {
            std::uniform_int_distribution<std::size_t> count(1, 3);
            std::uniform_int_distribution<std::size_t> pos(1, bytes.size() - 1);
            for (std::size_t i = count(random_); i > 0; --i)
                cuts.push_back(pos(random_));
        }
        if (faults_.garbage) {
            std::uniform_int_distribution<int> count(1, 4);
            std::uniform_int_distribution<int> value(0, 255);
            for (int i = count(random_); i > 0; --i) {
                auto b = static_cast<uint8_t>(value(random_));
                garbage.push_back(b == kFrameStart ? uint8_t{0x00} : b);
            }
            note += " (after " + std::to_string(garbage.size()) + " garbage bytes)";
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::erase_if(cuts, [&bytes](std::size_t c) { return c == 0 || c >= bytes.size(); });
    if (!cuts.empty()) {
        note += " (split at";
        for (std::size_t c : cuts)
            note += ' ' + std::to_string(c);
        note += ')';
    }
    if (delayMs != 0)
        note += " (delayed " + std::to_string(delayMs) + " ms)";
    if (!IsQuietEventTraffic(bytes, true))
        AddTrace("-> " + DescribeFrame(bytes, true) + note);

    // Pieces leave in order: a shorter delay never overtakes an earlier reply.
    Clock::time_point due = std::max(now + std::chrono::milliseconds(delayMs), lastDue_);
    if (!garbage.empty())
        pieces_.push_back(Piece{due, std::move(garbage)});
    std::size_t start = 0;
    cuts.push_back(bytes.size());
    for (std::size_t cut : cuts) {
        pieces_.push_back(Piece{due, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(cut))});
        start = cut;
        due += std::chrono::milliseconds(gapMs);
    }
    lastDue_ = pieces_.back().due;
}

std::chrono::nanoseconds Simulator::ByteTime() const
{
    std::lock_guard lock(mutex_);
    return std::chrono::nanoseconds(baud_ != 0 ? 10'000'000'000LL / baud_ : 0);
}

std::optional<Clock::time_point> Simulator::NextWrite(std::chrono::nanoseconds byteTime) const
{
    if (pieces_.empty())
        return std::nullopt;
    if (byteTime.count() == 0)
        return pieces_.front().due;
    // At a line rate a byte is there when its last bit has gone out.
    return std::max(transmitFree_, pieces_.front().due) + byteTime;
}

void Simulator::WriteDue(Clock::time_point now)
{
    const std::chrono::nanoseconds byteTime = ByteTime();
    while (!pieces_.empty() && pieces_.front().due <= now) {
        Piece& piece = pieces_.front();
        std::size_t count = piece.bytes.size();
        Clock::time_point start = now;
        if (byteTime.count() != 0) {
            // The line sends without pause from where it is free: every byte
            // whose time on the line has passed goes out now, so a late wake-up
            // does not slow the line down.
            start = std::max(transmitFree_, piece.due);
            if (now < start + byteTime)
                return;
            count = std::min<std::size_t>(count, static_cast<std::size_t>((now - start) / byteTime));
        }
        const long n = line_->Write(piece.bytes.data(), count);
        if (n == 0 && count != 0)
            return;  // wait for room
        if (n < 0) {
            pieces_.pop_front();  // a dead line: drop the piece
            continue;
        }
        bytesSent_ += static_cast<std::size_t>(n);
        piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + n);
        if (piece.bytes.empty()) {
            pieces_.pop_front();
        }
        if (byteTime.count() != 0) {
            transmitFree_ = start + byteTime * n;
            lastDue_ = std::max(lastDue_, transmitFree_);
        }
    }
}

// ------------------------------------------------------------------ trace

void Simulator::AddTrace(std::string line)
{
    if (traceSink_)
        traceSink_(line);
    trace_.push_back(std::move(line));
    if (trace_.size() > kMaxTraceLines)
        trace_.pop_front();
    traceChanged_.notify_all();
}

void Simulator::SetTraceSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard lock(mutex_);
    traceSink_ = std::move(sink);
}

std::vector<std::string> Simulator::Trace() const
{
    std::lock_guard lock(mutex_);
    return {trace_.begin(), trace_.end()};
}

void Simulator::ClearTrace()
{
    std::lock_guard lock(mutex_);
    trace_.clear();
}

bool Simulator::WaitForTrace(std::string_view needle, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return traceChanged_.wait_for(lock, timeout, [&] {
        return std::any_of(trace_.begin(), trace_.end(),
                           [&](const std::string& l) { return l.find(needle) != std::string::npos; });
    });
}

// ------------------------------------------------------------------ setters

void Simulator::AddDefaultNode(uint8_t id, bool listed, bool announce)
{
    std::lock_guard lock(mutex_);
    module_.PutDefaultNode(id, listed, announce);
}

bool Simulator::AddEdsNode(uint8_t id, const std::string& path, std::string* error, bool listed, bool announce)
{
    EdsLoad load = LoadEds(path, id);
    if (!load.ok) {
        if (error != nullptr)
            *error = load.error;
        return false;
    }
    std::lock_guard lock(mutex_);
    module_.PutNode(id, std::move(load.dictionary), std::move(load.info), listed, announce);
    return true;
}

bool Simulator::RemoveNode(uint8_t id)
{
    std::lock_guard lock(mutex_);
    return module_.RemoveNode(id);
}

bool Simulator::SetNodeSilent(uint8_t id, bool silent)
{
    std::lock_guard lock(mutex_);
    return module_.SetNodeSilent(id, silent);
}

void Simulator::PutObject(uint8_t node, ObjectEntry entry)
{
    std::lock_guard lock(mutex_);
    module_.PutObject(node, std::move(entry));
}

std::optional<Bytes> Simulator::ReadObject(uint8_t node, uint16_t index, uint8_t subIndex)
{
    std::lock_guard lock(mutex_);
    const SimNode* n = module_.FindNode(node);
    const ObjectEntry* e = n != nullptr ? n->dictionary.Find(index, subIndex) : nullptr;
    if (e == nullptr)
        return std::nullopt;
    return e->value;
}

void Simulator::InjectBootup(uint8_t node)
{
    std::lock_guard lock(mutex_);
    module_.QueueBootup(node);
}

void Simulator::InjectEmcy(uint8_t node, const std::array<uint8_t, 8>& data)
{
    std::lock_guard lock(mutex_);
    module_.QueueEmcy(node, data);
}

void Simulator::InjectNmtError(uint8_t node, uint8_t code)
{
    std::lock_guard lock(mutex_);
    module_.QueueNmtError(node, code);
}

void Simulator::InjectMasterSdoRead(uint16_t index, uint8_t subIndex)
{
    std::lock_guard lock(mutex_);
    module_.QueueMasterSdoRead(index, subIndex);
}

bool Simulator::InjectMasterSdoWrite(uint16_t index, uint8_t subIndex, const Bytes& data)
{
    std::lock_guard lock(mutex_);
    return module_.QueueMasterSdoWrite(index, subIndex, data);
}

void Simulator::InjectRemotePdo(uint16_t cobId)
{
    std::lock_guard lock(mutex_);
    module_.QueueRemotePdo(cobId);
}

bool Simulator::InjectRxPdo(uint16_t cobId, const Bytes& data)
{
    std::lock_guard lock(mutex_);
    return module_.QueueRxPdo(cobId, data);
}

void Simulator::InjectNodePdo(uint16_t cobId, const Bytes& data)
{
    std::lock_guard lock(mutex_);
    module_.ReceiveBusPdo(cobId, data);
}

void Simulator::SetBusy(uint8_t command, std::optional<uint16_t> key, unsigned times, int uses)
{
    std::lock_guard lock(mutex_);
    module_.SetCommandPlan(command, key, CommandPlan{times, std::nullopt, uses});
}

void Simulator::SetFailure(uint8_t command, std::optional<uint16_t> key, uint8_t status, int uses)
{
    std::lock_guard lock(mutex_);
    module_.SetCommandPlan(command, key, CommandPlan{0, status, uses});
}

void Simulator::ClearCommandPlans()
{
    std::lock_guard lock(mutex_);
    module_.ClearCommandPlans();
}

void Simulator::SetFaults(FaultSettings faults)
{
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

FaultSettings Simulator::Faults() const
{
    std::lock_guard lock(mutex_);
    return faults_;
}

void Simulator::DropReplies(unsigned count, DropTarget target)
{
    std::lock_guard lock(mutex_);
    faults_.dropNext = count;
    faults_.dropTarget = target;
}

void Simulator::DelayReplies(unsigned ms)
{
    std::lock_guard lock(mutex_);
    faults_.delayMs = ms;
}

void Simulator::SplitReplies(std::vector<std::size_t> positions)
{
    std::lock_guard lock(mutex_);
    faults_.splitAt = std::move(positions);
}

void Simulator::SplitRepliesRandomly(bool on)
{
    std::lock_guard lock(mutex_);
    faults_.splitRandom = on;
}

void Simulator::SetGarbage(bool on)
{
    std::lock_guard lock(mutex_);
    faults_.garbage = on;
}

void Simulator::SendWrongLength(unsigned count)
{
    std::lock_guard lock(mutex_);
    faults_.wrongLengthNext = count;
}

void Simulator::SendExtraSegmentBytes(std::size_t count)
{
    std::lock_guard lock(mutex_);
    module_.SetExtraSegmentBytes(count);
}

void Simulator::SetIdentification(IdentSettings ident)
{
    std::lock_guard lock(mutex_);
    ident_ = ident;
}

void Simulator::SetBaud(unsigned baud)
{
    std::lock_guard lock(mutex_);
    baud_ = baud;
}

void Simulator::SetSdoChunk(std::size_t chunk)
{
    std::lock_guard lock(mutex_);
    module_.SetSdoChunk(chunk);
}

}  // namespace vexsim
