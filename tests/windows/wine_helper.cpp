// What the Wine tests need a Windows program for, cross compiled beside the program under test:
//   hold PATH [HOW]    opens PATH shared with nobody, as an editor or a scanner may (HOW
//                      "shared": for reading, shared for reading and writing; "attributes":
//                      for its attributes alone), prints "held", keeps it until input ends
//   message CODE       prints the system's own message for the Win32 error CODE
//   symlink LINK PATH  makes LINK a symbolic link to PATH
//   tag PATH TAG       makes the file PATH a reparse point with the Microsoft tag TAG
//   acl PATH [SDDL]    gives PATH the access list SDDL, if given, and prints its access list
//   poll PATH          asks for PATH's attributes until its standard input ends, then prints
//                      how often it asked and how often PATH was missing
//   mutex|event NAME   creates the named object, prints "held", keeps it until input ends
// Exit status 0; 1 when it failed; 77 when this system cannot do it at all, with the reason.
#include <windows.h>
#include <winioctl.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int cannot = 77;

int failed(const char* what) {
    std::printf("%s failed: error %lu\n", what, GetLastError());
    return 1;
}

void until_input_ends() {
    char buf[64];
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got > 0) {
    }
}

int hold(const char* path, const char* how) {
    bool shared = std::strcmp(how, "shared") == 0;
    DWORD access = std::strcmp(how, "attributes") == 0 ? FILE_READ_ATTRIBUTES : GENERIC_READ;
    HANDLE h = CreateFileA(path, access, shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failed("CreateFile");
    std::printf("held\n");
    std::fflush(stdout);
    until_input_ends();
    CloseHandle(h);
    return 0;
}

int object(const char* kind, const char* name) {
    HANDLE h = std::strcmp(kind, "mutex") == 0 ? CreateMutexA(nullptr, TRUE, name)
                                               : CreateEventA(nullptr, TRUE, FALSE, name);
    if (!h) return failed(kind);
    std::printf("held\n");
    std::fflush(stdout);
    until_input_ends();
    CloseHandle(h);
    return 0;
}

// Polls from a thread of its own, while the main thread waits for the end of the input.
struct Poll {
    const char* path;
    volatile bool stop;
    unsigned long asked, missing;
};

DWORD WINAPI poll_loop(void* data) {
    Poll* poll = static_cast<Poll*>(data);
    for (; !poll->stop; ++poll->asked)
        if (GetFileAttributesA(poll->path) == INVALID_FILE_ATTRIBUTES) ++poll->missing;
    return 0;
}

int poll(const char* path) {
    Poll state = {path, false, 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, poll_loop, &state, 0, nullptr);
    if (!thread) return failed("CreateThread");
    std::printf("polling\n");
    std::fflush(stdout);
    until_input_ends();
    state.stop = true;
    WaitForSingleObject(thread, INFINITE);
    std::printf("asked %lu missing %lu\n", state.asked, state.missing);
    return 0;
}

int acl(const char* path, const char* sddl) {
    PSECURITY_DESCRIPTOR given = nullptr, now = nullptr;
    if (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &given,
                                                                      nullptr))
        return failed("ConvertStringSecurityDescriptorToSecurityDescriptor");
    if (given && !SetFileSecurityA(path, DACL_SECURITY_INFORMATION, given))
        return failed("SetFileSecurity");
    DWORD size = 0;
    GetFileSecurityA(path, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    now = LocalAlloc(LMEM_FIXED, size);
    char* text = nullptr;
    if (!GetFileSecurityA(path, DACL_SECURITY_INFORMATION, now, size, &size) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(
            now, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return failed("GetFileSecurity");
    std::printf("%s\n", text);
    return 0;
}

int message(const char* code) {
    char text[512];
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD size = FormatMessageA(flags, nullptr, std::strtoul(code, nullptr, 0), 0, text,
                                sizeof text, nullptr);
    if (size == 0) return failed("FormatMessage");
    std::fwrite(text, 1, size, stdout);
    return 0;
}

// Wine's CreateSymbolicLink says it made a link without making one: what the name is after the
// call decides.
int symlink(const char* link, const char* path) {
    if (!CreateSymbolicLinkA(link, path, SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return failed("CreateSymbolicLink");
    DWORD attributes = GetFileAttributesA(link);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    std::printf("CreateSymbolicLink returned success but made no link at %s\n", link);
    return cannot;
}

int tag(const char* path, const char* tag) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failed("CreateFile");
    // A Microsoft tag's reparse data: the tag, the data's length and a reserved word, then data.
    struct {
        DWORD tag;
        WORD length;
        WORD reserved;
        char data[8];
    } point = {static_cast<DWORD>(std::strtoul(tag, nullptr, 0)), 8, 0, "hosts"};
    DWORD unused;
    BOOL set = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &point, sizeof point, nullptr, 0,
                               &unused, nullptr);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (set) return 0;
    SetLastError(code);
    if (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) return failed("tagging");
    std::printf("this system cannot make reparse points (FSCTL_SET_REPARSE_POINT: error %lu)\n",
                code);
    return cannot;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "hold") == 0)
        return hold(argv[2], argc == 4 ? argv[3] : "");
    if (argc == 3 && std::strcmp(argv[1], "message") == 0) return message(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "symlink") == 0) return symlink(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "tag") == 0) return tag(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "acl") == 0)
        return acl(argv[2], argc == 4 ? argv[3] : nullptr);
    if (argc == 3 && std::strcmp(argv[1], "poll") == 0) return poll(argv[2]);
    if (argc == 3 && (std::strcmp(argv[1], "mutex") == 0 || std::strcmp(argv[1], "event") == 0))
        return object(argv[1], argv[2]);
    std::fprintf(stderr, "usage: wine_helper hold|message|symlink|tag|acl|poll|mutex|event ...\n");
    return 2;
}
