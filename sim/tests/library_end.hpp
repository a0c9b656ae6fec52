// The library's end of the simulator's line and the frames the tests send on
// it, shared by the simulator's test files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "vexan_sim/line_port.hpp"
#include "vexan_sim/wire.hpp"

namespace vexsim::test {

using vexsim::Bytes;
using namespace std::chrono_literals;

constexpr auto kWait = 5s;  // generous: the machine may be loaded

inline Bytes Frame(uint8_t command, const Bytes& payload = {})
{
    Bytes f;
    f.push_back(0x3A);
    f.push_back(static_cast<uint8_t>(payload.size() + 1));
    f.push_back(command);
    for (uint8_t b : payload)
        f.push_back(b);
    return f;
}

inline Bytes NodeRequest(uint8_t command, uint8_t key)
{
    return Frame(0x60, {command, key});
}
// The library's end of the line.
class LibraryEnd {
public:
    explicit LibraryEnd(vexsim::LinePort port) : port_(port) {}
    ~LibraryEnd() { vexsim::CloseLinePort(port_); }
    LibraryEnd(const LibraryEnd&) = delete;
    LibraryEnd& operator=(const LibraryEnd&) = delete;

    void Send(const Bytes& bytes) const { ASSERT_TRUE(vexsim::WriteLinePort(port_, bytes.data(), bytes.size())); }
    // Reads until count bytes came or the wait ran out.
    Bytes Receive(std::size_t count, std::chrono::milliseconds wait = kWait) const
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (out.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            uint8_t b[512];
            const long n = vexsim::ReadLinePort(port_, b, std::min(sizeof b, count - out.size()), left);
            if (n <= 0)
                break;
            out.insert(out.end(), b, b + n);
        }
        return out;
    }
    // One whole frame: ':' length and length bytes.
    Bytes ReceiveFrame(std::chrono::milliseconds wait = kWait) const
    {
        Bytes head = Receive(2, wait);
        if (head.size() < 2)
            return head;
        Bytes rest = Receive(head[1], wait);
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }
    // Nothing arrives within the quiet time.
    bool Quiet(std::chrono::milliseconds quiet = 300ms) const { return Receive(1, quiet).empty(); }
    // Sends a request and returns the reply frame.
    Bytes Exchange(const Bytes& command, const Bytes& resultRequest) const
    {
        Send(command);
        Send(resultRequest);
        return ReceiveFrame();
    }

private:
    vexsim::LinePort port_;
};

}  // namespace vexsim::test
