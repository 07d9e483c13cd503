// TestFiles.cpp - building JPEG byte strings and temporary files for tests.
#include "TestFiles.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <fstream>
#include <mutex>
#include <sstream>

static std::mutex s_foldersLock;
static std::vector<std::string> s_folders;  // every MakeTempFolder result, links resolved

std::string Soi()
{
    return std::string("\xFF\xD8", 2);
}

std::string SegmentWithLength(unsigned char marker, unsigned length, const std::string& payload)
{
    std::string out;
    out += (char)0xFF;
    out += (char)marker;
    out += (char)((length >> 8) & 0xFF);
    out += (char)(length & 0xFF);
    return out + payload;
}

std::string Segment(unsigned char marker, const std::string& payload)
{
    return SegmentWithLength(marker, (unsigned)payload.size() + 2, payload);
}

std::string ImageData()
{
    return Segment(0xDB, std::string(65, '\x01')) + std::string("\xFF\xDA\x00\x02\x12\x34\xFF\xD9", 8);
}

std::string MakeTempFolder()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/marlovex-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char real[PATH_MAX];
    if (mkdtemp(buffer.data()) == nullptr || realpath(buffer.data(), real) == nullptr) {
        return "";
    }
    std::lock_guard<std::mutex> hold(s_foldersLock);
    s_folders.push_back(real);
    return buffer.data();
}

bool IsInTempFolder(const std::string& realPath)
{
    std::lock_guard<std::mutex> hold(s_foldersLock);
    for (const std::string& folder : s_folders) {
        if (realPath.compare(0, folder.size(), folder) == 0 &&
            (realPath.size() == folder.size() || realPath[folder.size()] == '/')) {
            return true;
        }
    }
    return false;
}

int RunUnprivileged(int (*body)(const std::string&), const std::string& argument)
{
    const uid_t NOBODY = 65534;
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
            _exit(100);
        }
        _exit(body(argument));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) >= 100) {
        return -1;
    }
    return WEXITSTATUS(status);
}

void RemoveTree(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : FolderNames(path)) {
            RemoveTree(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> FolderNames(const std::string& path)
{
    std::vector<std::string> names = EnumerationOrder(path);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> EnumerationOrder(const std::string& path)
{
    std::vector<std::string> names;
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) {
        return names;
    }
    while (struct dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(folder);
    return names;
}

int OpenDescriptorCount()
{
    return (int)FolderNames("/proc/self/fd").size();
}
