// version_info_test: checks that each program carries the version resource
// that Explorer's Properties and PowerShell's VersionInfo read, with the
// project's version.
//
//   version_info_test PROGRAM... VERSION
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool Check(const char *program, const char *version)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(program, &ignored);
    if (size == 0) {
        std::printf("%s: no version resource (error %lu)\n", program, GetLastError());
        return false;
    }
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(program, 0, size, info.data()))
        return false;

    bool good = true;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) || fixed == nullptr) {
        std::printf("%s: no fixed file information\n", program);
        return false;
    }
    char fixed_version[64];
    std::snprintf(fixed_version, sizeof fixed_version, "%u.%u.%u", unsigned{HIWORD(fixed->dwFileVersionMS)},
                  unsigned{LOWORD(fixed->dwFileVersionMS)}, unsigned{HIWORD(fixed->dwFileVersionLS)});
    if (std::strcmp(fixed_version, version) != 0) {
        std::printf("%s: file version %s, not %s\n", program, fixed_version, version);
        good = false;
    }

    const char *expected[][2] = {
        {"FileVersion", version}, {"ProductVersion", version}, {"ProductName", "chatpipe"},
        {"OriginalFilename", program}, {"FileDescription", nullptr}};
    for (const auto &field : expected) {
        std::string path = std::string("\\StringFileInfo\\040904B0\\") + field[0];
        char *value = nullptr;
        if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&value), &length) ||
            value == nullptr || length == 0) {
            std::printf("%s: no %s\n", program, field[0]);
            good = false;
        } else if (field[1] != nullptr && std::strcmp(value, field[1]) != 0) {
            std::printf("%s: %s is '%s', not '%s'\n", program, field[0], value, field[1]);
            good = false;
        } else {
            std::printf("%s: %s '%s'\n", program, field[0], value);
        }
    }
    return good;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::printf("usage: version_info_test PROGRAM... VERSION\n");
        return 2;
    }
    bool good = true;
    for (int i = 1; i < argc - 1; i++)
        good = Check(argv[i], argv[argc - 1]) && good;
    return good ? 0 : 1;
}
