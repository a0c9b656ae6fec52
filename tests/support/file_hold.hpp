// Holds a file exclusively, as another program that locked it would: the
// library's own exclusive open of it then fails. One source file per platform
// implements it (an flock on POSIX, a handle without sharing on Windows).
#pragma once

#include <memory>
#include <string>

namespace vexan::test {

class ExclusiveFileHold {
public:
    // Opens the existing file and takes it; Held() tells whether that worked.
    explicit ExclusiveFileHold(const std::string& path);
    ~ExclusiveFileHold();
    ExclusiveFileHold(const ExclusiveFileHold&) = delete;
    ExclusiveFileHold& operator=(const ExclusiveFileHold&) = delete;

    bool Held() const;

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

// Makes the file another user's, as one planted in a shared directory would
// be; false where this process cannot (it is not the superuser, or on Windows).
bool GiveToAnotherUser(const std::string& path);

// The narrow form of a wide file name as the system's narrow file functions
// (fopen) take it: UTF-8 on POSIX, the ANSI code page on Windows. Empty when
// the name has no such form (a character the code page lacks).
std::string NarrowNameOf(const std::u16string& wide);

}  // namespace vexan::test
