#include "module_peer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <system_error>

#include "test_line.hpp"

namespace vexan::test {

namespace {

constexpr uint8_t kFrameStart = ':';
constexpr uint8_t kResultRequest = 0x60;
constexpr uint8_t kEventPoll = 0x40;
constexpr uint8_t kStartCommand = 2;
constexpr uint8_t kStatusBit = 0x80;
constexpr size_t kMaxPayload = 254;  // the length byte counts the command byte too

constexpr size_t kIdentRequestSize = 5;
constexpr std::array<uint8_t, kIdentRequestSize> kIdentRequest{'$', '0', '0', 'M', 0x00};

constexpr unsigned kDefaultLateMs = 100;
constexpr unsigned kDefaultSplitGapMs = 40;

// Pauses of the peer's own threads: short, so that Close() and the destructor
// end them quickly.
constexpr int kPollSliceMs = 10;
constexpr size_t kReadChunk = 512;

using Clock = std::chrono::steady_clock;

Bytes Ascii(const char* text)
{
    Bytes out;
    for (const char* c = text; *c != '\0'; ++c) {
        out.push_back(static_cast<uint8_t>(*c));
    }
    return out;
}

void AppendU16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFFu));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendU32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>((value >> shift) & 0xFFu));
    }
}

// A few head bytes and then `tail`, in a vector sized once (g++ 12 at -O3 warns,
// wrongly, of a copy out of bounds when a braced vector grows by an insert).
Bytes Joined(std::initializer_list<uint8_t> head, const Bytes& tail)
{
    Bytes out(head.size() + tail.size());
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return out;
}

// The (command, key) a result request asks about: the 5-byte form carries an
// 8-bit key, the 6-byte form a 16-bit key, low byte first.
std::optional<std::pair<uint8_t, uint16_t>> ResultRequestKey(const WrittenFrame& frame)
{
    if (frame.isIdentification || frame.command != kResultRequest) {
        return std::nullopt;
    }
    if (frame.payload.size() == 2) {
        return std::make_pair(frame.payload[0], static_cast<uint16_t>(frame.payload[1]));
    }
    if (frame.payload.size() == 3) {
        return std::make_pair(frame.payload[0], static_cast<uint16_t>(frame.payload[1] | (frame.payload[2] << 8)));
    }
    return std::nullopt;
}

bool IsEventPoll(const WrittenFrame& frame)
{
    return !frame.isIdentification && frame.command == kEventPoll && frame.payload.empty();
}

}  // namespace

Bytes Frame(uint8_t command, const Bytes& payload)
{
    if (payload.size() > kMaxPayload) {
        throw std::invalid_argument("frame payload longer than a length byte can count");
    }
    Bytes out;
    out.reserve(payload.size() + 3);
    out.push_back(kFrameStart);
    out.push_back(static_cast<uint8_t>(payload.size() + 1));
    out.push_back(command);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes NodeStatus(uint8_t command, uint8_t key, uint8_t status)
{
    return Frame(static_cast<uint8_t>(command | kStatusBit), {key, 0, status});
}

Bytes NodeData(uint8_t command, uint8_t key, const Bytes& data)
{
    return Frame(command, Joined({key, 0}, data));
}

Bytes PdoStatus(uint8_t command, uint16_t cobId, uint8_t status)
{
    Bytes payload;
    AppendU16(payload, cobId);
    payload.push_back(0);
    payload.push_back(status);
    return Frame(static_cast<uint8_t>(command | kStatusBit), payload);
}

Bytes PdoData(uint8_t command, uint16_t cobId, const Bytes& data)
{
    Bytes payload;
    AppendU16(payload, cobId);
    payload.push_back(0);
    payload.insert(payload.end(), data.begin(), data.end());
    return Frame(command, payload);
}

Bytes EventReply(uint8_t flags, const Bytes& items)
{
    return Frame(kEventPoll, Joined({0, 0, flags}, items));
}

Bytes UploadSegment(uint8_t node, bool first, uint16_t index, uint8_t sub, uint32_t total, const Bytes& chunk)
{
    constexpr uint8_t kFirstSegmentCode = 0x41;
    constexpr uint8_t kFurtherSegmentCode = 0x00;
    constexpr uint8_t kUploadCommand = 16;
    Bytes payload{node, 0, first ? kFirstSegmentCode : kFurtherSegmentCode};
    AppendU16(payload, index);
    payload.push_back(sub);
    AppendU32(payload, total);
    payload.insert(payload.end(), chunk.begin(), chunk.end());
    return Frame(kUploadCommand, payload);
}

struct ModulePeer::Impl {
    PeerLine line;  // the peer's end and the library's

    // One lock for the record, the scripts and the send queue: the peer is a
    // test tool and its traffic is small.
    mutable std::mutex mutex;
    mutable std::condition_variable recordChanged;
    std::condition_variable sendQueueChanged;
    bool stopping = false;
    std::atomic<bool> stopFlag{false};
    std::mutex closeMutex;
    bool closed = false;

    Bytes written;
    std::vector<WrittenFrame> frames;

    IdentMode identMode = IdentMode::Correct;
    unsigned identDelayOrGapMs = 0;
    size_t identSplitAt = 4;
    bool autoAcceptStart = true;
    bool answerIdlePolls = false;
    std::map<std::pair<uint8_t, uint16_t>, std::deque<Reply>> scripts;
    std::map<uint8_t, std::function<Reply(uint16_t)>> defaults;
    std::deque<Reply> events;

    // Replies waiting to go out, by due time and then by the order they were
    // scheduled in.
    std::map<std::pair<Clock::time_point, uint64_t>, Reply> sendQueue;
    uint64_t nextSendSeq = 0;

    Bytes carry;  // reader thread only: bytes of a frame not complete yet

    std::thread reader;
    std::thread sender;

    void ReadLoop();
    void SendLoop();
    void Consume(const uint8_t* bytes, size_t count);
    void HandleFrame(Bytes raw, bool isIdentification);
    void AnswerIdentification();
    void Schedule(Reply reply);
    void Transmit(const Reply& reply);
    bool WriteAll(const uint8_t* bytes, size_t count);
    bool Pause(unsigned ms);
    void Stop();
};

void ModulePeer::Impl::ReadLoop()
{
    std::array<uint8_t, kReadChunk> buffer{};
    while (!stopFlag.load()) {
        const long got = line.Read(buffer.data(), buffer.size(), kPollSliceMs);
        if (got > 0) {
            Consume(buffer.data(), static_cast<size_t>(got));
        } else if (got < 0) {
            // A line that failed reports so at once for ever: do not spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
        }
    }
}

void ModulePeer::Impl::Consume(const uint8_t* bytes, size_t count)
{
    {
        std::lock_guard lock(mutex);
        written.insert(written.end(), bytes, bytes + count);
    }
    recordChanged.notify_all();
    carry.insert(carry.end(), bytes, bytes + count);

    size_t at = 0;
    while (at < carry.size()) {
        const size_t left = carry.size() - at;
        if (carry[at] == kIdentRequest[0]) {
            const size_t compared = std::min(left, kIdentRequestSize);
            if (!std::equal(kIdentRequest.begin(), kIdentRequest.begin() + static_cast<std::ptrdiff_t>(compared),
                            carry.begin() + static_cast<std::ptrdiff_t>(at))) {
                ++at;  // a stray '$'
                continue;
            }
            if (left < kIdentRequestSize) {
                break;  // the rest of the request is still on its way
            }
            const auto begin = carry.begin() + static_cast<std::ptrdiff_t>(at);
            HandleFrame(Bytes(begin, begin + kIdentRequestSize), true);
            at += kIdentRequestSize;
            continue;
        }
        if (carry[at] == kFrameStart) {
            if (left < 2) {
                break;
            }
            const size_t size = static_cast<size_t>(carry[at + 1]) + 2;
            if (left < size) {
                break;
            }
            const auto begin = carry.begin() + static_cast<std::ptrdiff_t>(at);
            HandleFrame(Bytes(begin, begin + static_cast<std::ptrdiff_t>(size)), false);
            at += size;
            continue;
        }
        ++at;  // a byte outside any frame
    }
    carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(at));
}

void ModulePeer::Impl::HandleFrame(Bytes raw, bool isIdentification)
{
    WrittenFrame frame;
    frame.isIdentification = isIdentification;
    if (!isIdentification && raw.size() >= 3) {
        frame.command = raw[2];
        frame.payload.assign(raw.begin() + 3, raw.end());
    }
    frame.raw = std::move(raw);

    if (isIdentification) {
        {
            std::lock_guard lock(mutex);
            frames.push_back(frame);
        }
        recordChanged.notify_all();
        AnswerIdentification();
        return;
    }

    std::optional<Reply> reply;
    std::function<Reply(uint16_t)> makeDefault;
    const auto request = ResultRequestKey(frame);
    const bool poll = IsEventPoll(frame);
    {
        std::lock_guard lock(mutex);
        frames.push_back(frame);
        if (request) {
            auto script = scripts.find(*request);
            if (script != scripts.end() && !script->second.empty()) {
                reply = std::move(script->second.front());
                script->second.pop_front();
            } else if (auto made = defaults.find(request->first); made != defaults.end()) {
                makeDefault = made->second;
            } else if (request->first == kStartCommand && autoAcceptStart) {
                reply = Reply{NodeStatus(kStartCommand, static_cast<uint8_t>(request->second), 0)};
            }
        } else if (poll) {
            if (!events.empty()) {
                reply = std::move(events.front());
                events.pop_front();
            } else if (answerIdlePolls) {
                reply = Reply{EventReply(0, {})};
            }
        }
    }
    recordChanged.notify_all();

    if (makeDefault) {
        // Called without the lock so that the script may use the peer itself.
        try {
            reply = makeDefault(request->second);
        } catch (...) {
            reply.reset();  // a failing script answers nothing rather than ending the test run
        }
    }
    if (reply) {
        Schedule(std::move(*reply));
    }
}

void ModulePeer::Impl::AnswerIdentification()
{
    IdentMode mode;
    unsigned delayOrGap;
    size_t splitAt;
    {
        std::lock_guard lock(mutex);
        mode = identMode;
        delayOrGap = identDelayOrGapMs;
        splitAt = identSplitAt;
    }
    Reply reply;
    reply.bytes = Ascii("!00VexanW");
    switch (mode) {
    case IdentMode::Correct:
        break;
    case IdentMode::CorrectWithCR:
        reply.bytes.push_back('\r');
        break;
    case IdentMode::Split:
        reply.splits = {splitAt};
        reply.splitGapMs = delayOrGap != 0 ? delayOrGap : kDefaultSplitGapMs;
        break;
    case IdentMode::Late:
        reply.delayMs = delayOrGap != 0 ? delayOrGap : kDefaultLateMs;
        break;
    case IdentMode::Wrong:
        reply.bytes.back() = 'X';
        break;
    case IdentMode::Silent:
        return;
    }
    Schedule(std::move(reply));
}

void ModulePeer::Impl::Schedule(Reply reply)
{
    if (reply.never) {
        return;
    }
    {
        std::lock_guard lock(mutex);
        if (stopping) {
            return;
        }
        const auto due = Clock::now() + std::chrono::milliseconds(reply.delayMs);
        sendQueue.emplace(std::make_pair(due, nextSendSeq++), std::move(reply));
    }
    sendQueueChanged.notify_all();
}

void ModulePeer::Impl::SendLoop()
{
    std::unique_lock lock(mutex);
    while (!stopping) {
        if (sendQueue.empty()) {
            sendQueueChanged.wait(lock);
            continue;
        }
        const auto next = sendQueue.begin();
        const auto due = next->first.first;
        if (Clock::now() < due) {
            sendQueueChanged.wait_until(lock, due);
            continue;
        }
        const Reply reply = std::move(next->second);
        sendQueue.erase(next);
        // Sent whole before the next one starts, so that the pieces of two
        // replies never interleave.
        lock.unlock();
        Transmit(reply);
        lock.lock();
    }
}

void ModulePeer::Impl::Transmit(const Reply& reply)
{
    std::vector<size_t> cuts;
    for (const size_t cut : reply.splits) {
        if (cut > 0 && cut < reply.bytes.size()) {
            cuts.push_back(cut);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    cuts.push_back(reply.bytes.size());

    size_t from = 0;
    bool firstPiece = true;
    for (const size_t to : cuts) {
        if (!firstPiece && !Pause(reply.splitGapMs)) {
            return;
        }
        Bytes piece;
        if (firstPiece) {
            // The garbage goes out in the same write as the first piece, so that
            // the library meets it and the frame in one read.
            piece = reply.garbageBefore;
        }
        const auto begin = reply.bytes.begin();
        piece.insert(piece.end(), begin + static_cast<std::ptrdiff_t>(from), begin + static_cast<std::ptrdiff_t>(to));
        if (!piece.empty() && !WriteAll(piece.data(), piece.size())) {
            return;
        }
        from = to;
        firstPiece = false;
    }
}

bool ModulePeer::Impl::WriteAll(const uint8_t* bytes, size_t count)
{
    // When the line is gone the rest of this reply is dropped.
    return line.WriteAll(bytes, count, stopFlag);
}

bool ModulePeer::Impl::Pause(unsigned ms)
{
    std::unique_lock lock(mutex);
    return !sendQueueChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
}

void ModulePeer::Impl::Stop()
{
    std::lock_guard closeLock(closeMutex);
    if (closed) {
        return;
    }
    {
        std::lock_guard lock(mutex);
        stopping = true;
        sendQueue.clear();
    }
    stopFlag.store(true);
    sendQueueChanged.notify_all();
    recordChanged.notify_all();
    if (reader.joinable()) {
        reader.join();
    }
    if (sender.joinable()) {
        sender.join();
    }
    line.ClosePeerEnd();
    closed = true;
}

ModulePeer::ModulePeer() : impl_(std::make_unique<Impl>())
{
    impl_->sender = std::thread([impl = impl_.get()] { impl->SendLoop(); });
    try {
        impl_->reader = std::thread([impl = impl_.get()] { impl->ReadLoop(); });
    } catch (...) {
        impl_->Stop();
        throw;
    }
}

ModulePeer::~ModulePeer()
{
    impl_->Stop();
    impl_->line.CloseLibraryEnd();
}

VexanPort ModulePeer::LibraryPort() const
{
    return impl_->line.LibraryPort();
}

void ModulePeer::SetIdentMode(IdentMode mode, unsigned delayOrGapMs, size_t splitAt)
{
    std::lock_guard lock(impl_->mutex);
    impl_->identMode = mode;
    impl_->identDelayOrGapMs = delayOrGapMs;
    impl_->identSplitAt = splitAt;
}

void ModulePeer::SetAutoAcceptStart(bool on)
{
    std::lock_guard lock(impl_->mutex);
    impl_->autoAcceptStart = on;
}

void ModulePeer::Queue(uint8_t command, uint16_t key, Reply reply)
{
    std::lock_guard lock(impl_->mutex);
    impl_->scripts[{command, key}].push_back(std::move(reply));
}

void ModulePeer::SetDefault(uint8_t command, std::function<Reply(uint16_t key)> make)
{
    std::lock_guard lock(impl_->mutex);
    if (make) {
        impl_->defaults[command] = std::move(make);
    } else {
        impl_->defaults.erase(command);
    }
}

void ModulePeer::QueueEvent(Reply reply)
{
    std::lock_guard lock(impl_->mutex);
    impl_->events.push_back(std::move(reply));
}

void ModulePeer::SetAnswerIdlePolls(bool on)
{
    std::lock_guard lock(impl_->mutex);
    impl_->answerIdlePolls = on;
}

void ModulePeer::Send(const Reply& reply)
{
    impl_->Schedule(reply);
}

Bytes ModulePeer::Written() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->written;
}

std::vector<WrittenFrame> ModulePeer::Frames() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->frames;
}

std::vector<WrittenFrame> ModulePeer::FramesExceptPolls() const
{
    std::lock_guard lock(impl_->mutex);
    std::vector<WrittenFrame> out;
    std::copy_if(impl_->frames.begin(), impl_->frames.end(), std::back_inserter(out),
                 [](const WrittenFrame& frame) { return !IsEventPoll(frame); });
    return out;
}

size_t ModulePeer::CountFrames(uint8_t command) const
{
    std::lock_guard lock(impl_->mutex);
    return static_cast<size_t>(
        std::count_if(impl_->frames.begin(), impl_->frames.end(),
                      [command](const WrittenFrame& frame) { return frame.command == command; }));
}

size_t ModulePeer::CountResultRequests(uint8_t command, uint16_t key) const
{
    std::lock_guard lock(impl_->mutex);
    return static_cast<size_t>(
        std::count_if(impl_->frames.begin(), impl_->frames.end(), [command, key](const WrittenFrame& frame) {
            const auto asked = ResultRequestKey(frame);
            return asked && asked->first == command && asked->second == key;
        }));
}

void ModulePeer::ClearRecord()
{
    std::lock_guard lock(impl_->mutex);
    impl_->written.clear();
    impl_->frames.clear();
}

bool ModulePeer::WaitUntil(const std::function<bool(const std::vector<WrittenFrame>&)>& pred,
                           std::chrono::milliseconds limit) const
{
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(impl_->mutex);
    while (true) {
        // The predicate sees a copy and runs without the lock, so it may call
        // the peer's own queries.
        const std::vector<WrittenFrame> seen = impl_->frames;
        const bool over = impl_->stopping || Clock::now() >= deadline;
        lock.unlock();
        if (pred(seen)) {
            return true;
        }
        if (over) {
            return false;
        }
        lock.lock();
        if (impl_->frames.size() == seen.size() && !impl_->stopping) {
            // Woken by any change of the record, or after a slice so that a
            // cleared and refilled record of the same size is not missed.
            impl_->recordChanged.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
        }
    }
}

bool ModulePeer::WaitForFrames(uint8_t command, size_t count, std::chrono::milliseconds limit) const
{
    return WaitUntil(
        [command, count](const std::vector<WrittenFrame>& frames) {
            return static_cast<size_t>(std::count_if(
                       frames.begin(), frames.end(),
                       [command](const WrittenFrame& frame) { return frame.command == command; })) >= count;
        },
        limit);
}

void ModulePeer::Close()
{
    impl_->Stop();
}

}  // namespace vexan::test
