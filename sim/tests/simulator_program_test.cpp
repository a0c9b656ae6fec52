// The vexan-sim program, run as a child process on POSIX: it prints its line's
// path first, answers on it and ends on "quit".
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "library_end.hpp"

namespace {

using namespace vexsim::test;

// The program: prints its path first, answers on it, ends on "quit".
TEST(SimulatorProgram, PrintsItsPathAndAnswersUntilQuit)
{
    std::array<int, 2> in{};
    std::array<int, 2> out{};
    ASSERT_EQ(pipe(in.data()), 0);
    ASSERT_EQ(pipe(out.data()), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        execl(VEXAN_SIM_PROGRAM, "vexan-sim", "--nodes", "5,6", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string path;
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';)
        path += c;
    ASSERT_FALSE(path.empty());
    {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << path;
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        LibraryEnd line(fd);
        line.Send({'$', '0', '0', 'M', 0});
        EXPECT_EQ(line.Receive(9), Bytes({'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'W'}));
        EXPECT_EQ(line.Exchange(Frame(2, {1, 0}), NodeRequest(2, 1)), Bytes({0x3A, 4, 0x82, 1, 0, 0}));
        EXPECT_EQ(line.Exchange(Frame(9), NodeRequest(9, 0)), Bytes({0x3A, 6, 0x09, 0, 0, 2, 5, 6}));
        // A boot-up injected through the control channel shows in the next event reply.
        const std::string bootup = "bootup 6\n";
        ASSERT_EQ(write(in[1], bootup.data(), bootup.size()), static_cast<ssize_t>(bootup.size()));
        Bytes reply;
        for (int i = 0; i < 100 && reply != Bytes({0x3A, 5, 0x40, 0, 0, 0x40, 6}); ++i) {
            line.Send(Frame(64));
            reply = line.ReceiveFrame();
            if (reply.size() == 6)
                std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(reply, Bytes({0x3A, 5, 0x40, 0, 0, 0x40, 6}));
    }
    const std::string quit = "quit\n";
    ASSERT_EQ(write(in[1], quit.data(), quit.size()), static_cast<ssize_t>(quit.size()));
    int status = -1;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (!WIFEXITED(status))
        kill(pid, SIGKILL);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(in[1]);
    close(out[0]);
}

}  // namespace
