// Loads Vexan.dll at run time, starts a master on a pipe whose other end
// answers the identification and counts what the library writes, and unloads
// the DLL while the board's receive thread runs: FreeLibrary must return, and
// the thread must have stopped (no byte written after it). A second run ends
// the process with the board still open, which must exit cleanly.
// Usage: vexan_dll_unload [exit]
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using InitMasterFn = uint16_t (*)(uint8_t, void*, uint8_t, uint8_t, uint8_t);
using GetVersionFn = uint16_t (*)();

constexpr char kMasterId = 1;

// GetProcAddress gives a generic function pointer; this names its real type.
template <typename Function>
Function Export(HMODULE library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

int Fail(const char* what)
{
    std::printf("FAIL: %s (error %lu)\n", what, GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool exitWithBoardOpen = argc > 1 && std::strcmp(argv[1], "exit") == 0;
    wchar_t name[64];
    std::swprintf(name, 64, L"\\\\.\\pipe\\vexan-unload-%lu", GetCurrentProcessId());
    const HANDLE peerEnd = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                            1, 4096, 4096, 0, nullptr);
    const HANDLE libraryEnd = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (peerEnd == INVALID_HANDLE_VALUE || libraryEnd == INVALID_HANDLE_VALUE) {
        return Fail("pipe");
    }

    // The module: answers the identification request ("$00M" and a 0 byte)
    // and the result request of the start command (':' 3 0x60 2 <master id>)
    // with status 0, and counts every byte the library writes (after the
    // start-up, its event polls).
    std::atomic<bool> quit{false};
    std::atomic<unsigned long> written{0};
    std::thread peer([&] {
        while (!quit.load()) {
            DWORD waiting = 0;
            if (PeekNamedPipe(peerEnd, nullptr, 0, nullptr, &waiting, nullptr) == 0) {
                return;
            }
            if (waiting == 0) {
                Sleep(1);
                continue;
            }
            char bytes[512];
            DWORD got = 0;
            if (ReadFile(peerEnd, bytes, sizeof bytes, &got, nullptr) == 0) {
                return;
            }
            written += got;
            for (DWORD i = 0; i < got; ++i) {
                DWORD put = 0;
                if (bytes[i] == 'M') {
                    WriteFile(peerEnd, "!00VexanW", 9, &put, nullptr);
                } else if (i + 2 < got && bytes[i] == 0x60 && bytes[i + 1] == 2 && bytes[i + 2] == kMasterId) {
                    const char started[] = {':', 4, static_cast<char>(0x82), kMasterId, 0, 0};
                    WriteFile(peerEnd, started, sizeof started, &put, nullptr);
                }
            }
        }
    });
    auto finish = [&](int code) {
        quit.store(true);
        peer.join();
        return code;
    };

    const HMODULE library = LoadLibraryW(L"Vexan.dll");
    if (library == nullptr) {
        return finish(Fail("LoadLibrary(Vexan.dll)"));
    }
    auto getVersion = Export<GetVersionFn>(library, "Vexan_GetVersion");
    auto initMaster = Export<InitMasterFn>(library, "Vexan_InitMaster");
    if (getVersion == nullptr || initMaster == nullptr) {
        return finish(Fail("GetProcAddress"));
    }
    std::printf("Vexan.dll version %u\n", getVersion());
    const uint16_t started = initMaster(0, libraryEnd, kMasterId, 0, 1);
    if (started != 0) {
        std::printf("FAIL: Vexan_InitMaster gave %u\n", started);
        return finish(1);
    }
    // The receive thread polls for events on its own: wait until it has.
    const unsigned long afterStart = written.load();
    for (int i = 0; i < 2000 && written.load() == afterStart; ++i) {
        Sleep(1);
    }
    if (written.load() == afterStart) {
        std::printf("FAIL: the receive thread never polled\n");
        return finish(1);
    }
    std::printf("the receive thread polls (%lu bytes since the start-up)\n", written.load() - afterStart);
    if (exitWithBoardOpen) {
        std::printf("ending the process with the board open\n");
        std::fflush(stdout);
        ExitProcess(0);
    }

    const DWORD before = GetTickCount();
    if (FreeLibrary(library) == 0) {
        return finish(Fail("FreeLibrary"));
    }
    std::printf("FreeLibrary returned after %lu ms\n", GetTickCount() - before);
    const unsigned long afterUnload = written.load();
    Sleep(300);
    if (written.load() != afterUnload) {
        std::printf("FAIL: %lu bytes written after the unload\n", written.load() - afterUnload);
        return finish(1);
    }
    std::printf("no byte written after the unload\n");
    CloseHandle(libraryEnd);
    return finish(0);
}
