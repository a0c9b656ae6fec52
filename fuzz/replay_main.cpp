// Replays saved inputs through a fuzz target without libFuzzer, so that the
// seeds and past findings run as ordinary tests with any compiler. Usage:
//   <program> <directory or file>...
// Every regular file of each directory (in name order) is handed to
// LLVMFuzzerTestOneInput in a buffer of exactly its size; a broken expectation
// aborts, which fails the test. A path that does not exist, or a run that
// finds no input at all, fails too, so a mistyped corpus path cannot pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
// Optional in a fuzz target; null when the target does not define it.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

bool ReplayFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A heap buffer of exactly the input's size, as libFuzzer hands it over, so
    // that a read past the end shows under AddressSanitizer.
    const auto input = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), input.get());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stderr);
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::size_t replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        std::error_code error;
        if (fs::is_regular_file(path, error)) {
            ok = ReplayFile(path) && ok;
            ++replayed;
            continue;
        }
        if (!fs::is_directory(path, error)) {
            std::fprintf(stderr, "replay: %s is neither a file nor a directory\n", path.c_str());
            ok = false;
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(path, error)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            ok = ReplayFile(file) && ok;
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    std::fprintf(stderr, "replay: %zu inputs, %s\n", replayed, ok ? "all passed" : "some could not be read");
    return ok ? 0 : 1;
}
