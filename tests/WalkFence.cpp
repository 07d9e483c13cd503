// WalkFence.cpp - keeps every walk of the unit tests inside the tests' own
// temporary folders. The tests run as root: a walk that escaped (a lost ".."
// skip, say) would rewrite photos anywhere on the disk.
//
// The test program is linked with --wrap for WalkPath, so the worker's walks
// come through here as well as the tests' own. Each path the walk hands
// over is checked before the real callback sees it; the first one outside
// fails the test and stops the walk.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "TestKit.h"
#include "core/Walk.h"

// WalkPath's symbol, as the linker's --wrap names it (see CMakeLists.txt).
extern "C" int __real__Z8WalkPathPKcPFiS0_E(const char* path, WalkCallback callback);

static thread_local WalkCallback t_callback;

// Whether the file at `path` lies inside a folder from MakeTempFolder: its
// folder, with links and ".." resolved, is one of them or below one.
static bool InsideTestFolders(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char real[PATH_MAX];
    if (realpath(folder.c_str(), real) == nullptr) {
        return false;
    }
    return IsInTempFolder(real);
}

static int Fenced(const char* path)
{
    if (!InsideTestFolders(path)) {
        ADD_FAILURE() << "the walk left the test's folders at " << path;
        return 0;
    }
    return t_callback(path);
}

extern "C" int __wrap__Z8WalkPathPKcPFiS0_E(const char* path, WalkCallback callback)
{
    if (callback == nullptr) {
        return __real__Z8WalkPathPKcPFiS0_E(path, nullptr);
    }
    WalkCallback outer = t_callback;
    t_callback = callback;
    int result = __real__Z8WalkPathPKcPFiS0_E(path, Fenced);
    t_callback = outer;
    return result;
}
