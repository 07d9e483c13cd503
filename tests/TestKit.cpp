// TestKit.cpp - the unit tests' shared pieces (TestKit.h).
#include "TestKit.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "core/Catalogue.h"
#include "core/Log.h"
#include "core/Ui.h"
#include "platform/Platform.h"
#include "support/Track.h"
#include "worker/WorkerUi.h"

namespace fs = std::filesystem;

std::string Seg(unsigned char marker, const std::string& payload, int length)
{
    unsigned size = length < 0 ? (unsigned)payload.size() + 2 : (unsigned)length;
    return std::string{(char)0xFF, (char)marker, (char)(size >> 8), (char)size} + payload;
}

const std::string SOI("\xFF\xD8", 2);
const std::string JFIF = Seg(0xE0, std::string("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
const std::string EXIF = Seg(0xE1, std::string("Exif\0\0MM\0*\0\0\0\x08", 14) + std::string(40, 'e'));
const std::string XMP = Seg(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 41));
const std::string ICC = Seg(0xE2, std::string("ICC_PROFILE\0\x01\x01", 14) + std::string(100, 'c'));
const std::string ADOBE = Seg(0xEE, std::string("Adobe\0\x64\0\0\0\0\x01", 12));
const std::string IMAGE = Seg(0xDB, std::string(65, '\x01')) + std::string("\xFF\xDA\0\x02\x12\x34\xFF\xD9", 8);

//----------------------------------------------------------------------------
static std::mutex s_foldersLock;
static std::vector<std::string> s_folders;  // every MakeTempFolder result, links resolved

void MakeTree(const std::string& root, const Tree& tree)
{
    fs::create_directories(root);
    for (const auto& entry : tree) {
        std::string path = root + "/" + entry.first;
        fs::create_directories(fs::path(path).parent_path());
        if (entry.second.compare(0, 2, "->") == 0) {
            EXPECT_EQ(symlink(entry.second.c_str() + 2, path.c_str()), 0) << path;
        } else if (path.back() != '/') {
            WriteBytes(path, entry.second);
        }
    }
}

std::string MakeTempFolder()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/marlovex-test-XXXXXX";
    char real[PATH_MAX];
    if (mkdtemp(&pattern[0]) == nullptr || realpath(pattern.c_str(), real) == nullptr) {
        return "";
    }
    std::lock_guard<std::mutex> hold(s_foldersLock);
    s_folders.push_back(real);
    return pattern;
}

bool IsInTempFolder(const std::string& realPath)
{
    std::lock_guard<std::mutex> hold(s_foldersLock);
    return std::any_of(s_folders.begin(), s_folders.end(), [&](const std::string& folder) {
        return realPath.compare(0, folder.size(), folder) == 0 &&
               (realPath.size() == folder.size() || realPath[folder.size()] == '/');
    });
}

// Folders that the tests made unreadable are opened up first.
void RemoveTree(const std::string& path)
{
    std::error_code ignored;
    for (fs::recursive_directory_iterator at(path, ignored), end; at != end; at.increment(ignored)) {
        if (at->is_directory(ignored) && !at->is_symlink(ignored)) {
            fs::permissions(at->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path, ignored);
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadBytes(const std::string& path)
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

static std::vector<std::string> EnumerationOrder(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (fs::directory_iterator at(path, ignored), end; at != end; at.increment(ignored)) {
        names.push_back(at->path().filename());
    }
    return names;
}

std::vector<std::string> FolderNames(const std::string& path)
{
    std::vector<std::string> names = EnumerationOrder(path);
    std::sort(names.begin(), names.end());
    return names;
}

int OpenDescriptorCount()
{
    return (int)EnumerationOrder("/proc/self/fd").size();
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

std::string CaptureReports(const std::function<void()>& body)
{
    g_reportStream = tmpfile();
    body();
    std::string text(4096, '\0');
    rewind(g_reportStream);
    text.resize(fread(&text[0], 1, text.size(), g_reportStream));
    fclose(g_reportStream);
    g_reportStream = nullptr;
    return text;
}

std::string Rep(const std::string& text, int count)
{
    return count > 0 ? text + Rep(text, count - 1) : "";
}

//----------------------------------------------------------------------------
// The fake window, used by one thread at a time: the worker while it runs,
// the test before it starts and after it has ended.
static std::string s_log, s_timeline;
static int s_checked, s_appends, s_heldBack;
static std::function<void(const std::string&)> s_onAppend;

void FakeReset()
{
    s_log = s_timeline = "";
    s_checked = s_appends = s_heldBack = 0;
    s_onAppend = nullptr;
}

std::string FakeLog() { return s_log; }
std::string FakeTimeline() { return s_timeline; }
int FakeAppends() { return s_appends; }
int FakeHeldBack() { return s_heldBack; }
void FakeSetChecked(int checked) { s_checked = checked; }
void FakeOnAppend(std::function<void(const std::string&)> hook) { s_onAppend = hook; }

void UiLogAppend(const char* text)
{
    s_log += text;
    s_timeline += text;
    s_appends++;
    if (s_onAppend) {
        s_onAppend(text);
    }
}

void UiClearLog(void*)
{
    s_log.clear();
    s_timeline += "<clear>";
}

void UiEnableButton(void*, int button, int enable)
{
    s_timeline += std::string(button == WORKER_START ? "<START " : "<STOP ") + (enable ? "1>" : "0>");
    s_heldBack += LogPendingLength();
}

int UiAllAppChecked(void*)
{
    return s_checked;
}

void UiMessageBox(void* owner, const char* text, const char* caption)
{
    s_timeline += std::string("<box ") + (owner ? "owned " : "unowned ") + caption + ": " + text + ">";
    s_heldBack += LogPendingLength();
}

uint32_t DropItemCount(void* drop)
{
    return (uint32_t)((FakeDrop*)drop)->paths.size();
}

char* DropItemPath(void* drop, uint32_t index)
{
    FakeDrop* fake = (FakeDrop*)drop;
    return index < fake->paths.size() ? FormatText("%s", fake->paths[index].c_str()) : nullptr;
}

void DropRelease(void*)
{
    s_timeline += "<released>";
}

//----------------------------------------------------------------------------
void TempTest::SetUp()
{
    root = MakeTempFolder();
    FakeReset();
    blocks = TrackLiveCount();
    descriptors = OpenDescriptorCount();
}

void TempTest::TearDown()
{
    for (int kind = 0; kind < PLAT_FAULT_COUNT; kind++) {
        PlatSetFault(kind, 0);
    }
    PlatSetRaceHook(nullptr);
    PlatSetTemporaryNumbers(0);
    PlatSetAbandoned(0);
    SetLogBatching(0);
    g_language = 0;
    EXPECT_EQ(PlatCommitting(), 0);
    EXPECT_EQ(TrackLiveCount(), blocks);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    RemoveTree(root);
}

std::string TempTest::Timeline() const
{
    std::string text = FakeTimeline();
    for (size_t at = text.find(root); at != std::string::npos; at = text.find(root, at)) {
        text.replace(at, root.size(), "$R");
    }
    return std::regex_replace(text, std::regex("/([a-z]+)[0-9]+"), "/$1#");
}
