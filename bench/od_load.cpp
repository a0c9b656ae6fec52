// The device model's reader on the largest real file (276 KB, 1 825
// sections): load time from memory and from the file (min and median of many
// runs), and lookups per second by index/sub-index and by name over every
// entry of the model.
// Usage: vexan_bench_od_load [file] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "device_model.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

std::pair<double, double> MinAndMedian(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples.front(), samples[samples.size() / 2]};
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string path = argc > 1 ? argv[1] : std::string(VEXAN_EDS_DIR) + "/oresat_c3_app_control.eds";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

    std::vector<double> parse_ms;
    std::vector<double> load_ms;
    std::size_t entries = 0;
    for (int run = 0; run < runs; ++run) {
        const Clock::time_point start = Clock::now();
        const vexan::od::DeviceModel model = vexan::od::DeviceModel::Parse(text);
        parse_ms.push_back(Milliseconds(Clock::now() - start));
        entries = model.EntryCount();
    }
    for (int run = 0; run < runs; ++run) {
        std::string error;
        const Clock::time_point start = Clock::now();
        const std::optional<vexan::od::DeviceModel> model = vexan::od::DeviceModel::Load(path, &error);
        load_ms.push_back(Milliseconds(Clock::now() - start));
        if (!model) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    const auto [parse_min, parse_median] = MinAndMedian(parse_ms);
    const auto [load_min, load_median] = MinAndMedian(load_ms);
    std::printf("od load %s: %zu bytes, %zu entries, %d runs\n", path.c_str(), text.size(), entries, runs);
    std::printf("  from memory: min %.3f ms, median %.3f ms\n", parse_min, parse_median);
    std::printf("  from file:   min %.3f ms, median %.3f ms\n", load_min, load_median);

    const vexan::od::DeviceModel model = vexan::od::DeviceModel::Parse(text);
    std::vector<std::pair<uint16_t, uint8_t>> keys;
    std::vector<std::string> names;
    for (const vexan::od::Object& object : model.Objects()) {
        for (const vexan::od::Entry& entry : object.Entries()) {
            keys.emplace_back(entry.index, entry.subindex);
            names.push_back(object.HasSubs() ? object.Name() + "/" + entry.name : entry.name);
        }
    }
    if (keys.empty()) {
        std::fprintf(stderr, "no entries in %s\n", path.c_str());
        return 1;
    }
    constexpr int kRounds = 200;
    std::size_t found = 0;
    Clock::time_point start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        for (const auto& [index, sub] : keys) {
            found += model.FindEntry(index, sub) != nullptr ? 1 : 0;
        }
    }
    const double index_seconds = Milliseconds(Clock::now() - start) / 1000.0;
    start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        for (const std::string& name : names) {
            found += model.FindEntries(name).size();
        }
    }
    const double name_seconds = Milliseconds(Clock::now() - start) / 1000.0;
    const double lookups = static_cast<double>(keys.size()) * kRounds;
    std::printf("  lookups by index/sub: %.1f million/s\n", lookups / index_seconds / 1e6);
    std::printf("  lookups by name/path: %.1f million/s\n", lookups / name_seconds / 1e6);
    // Every lookup must have found its entry (at least once for shared names).
    if (found < 2 * keys.size() * kRounds) {
        std::fprintf(stderr, "lookups missed entries\n");
        return 1;
    }
    return 0;
}
