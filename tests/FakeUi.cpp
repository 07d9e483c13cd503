// FakeUi.cpp - test doubles for the interface services and the drop object.
#include "FakeUi.h"

#include <cstring>
#include <map>
#include <mutex>

#include "core/Catalogue.h"
#include "platform/Ui.h"
#include "support/Track.h"

static std::mutex s_lock;
static std::string s_log;
static int32_t s_selectionStart;
static int32_t s_selectionEnd;
static std::vector<FakeBox> s_boxes;
static std::map<int, int> s_enabled;
static int s_checked;
static int s_clears;
static int s_appends;
static int s_heldBack;
static std::function<void(const FakeBox&)> s_onBox;
static std::function<void(const std::string&)> s_onAppend;

void FakeReset()
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_log.clear();
    s_selectionStart = s_selectionEnd = 0;
    s_boxes.clear();
    s_enabled.clear();
    s_checked = 0;
    s_clears = 0;
    s_appends = 0;
    s_heldBack = 0;
    s_onBox = nullptr;
    s_onAppend = nullptr;
}

std::string FakeLogText()
{
    std::lock_guard<std::mutex> hold(s_lock);
    return s_log;
}

std::vector<FakeBox> FakeBoxes()
{
    std::lock_guard<std::mutex> hold(s_lock);
    return s_boxes;
}

int FakeControlEnabled(int id)
{
    std::lock_guard<std::mutex> hold(s_lock);
    auto found = s_enabled.find(id);
    return found == s_enabled.end() ? 0 : found->second;
}

int FakeAppendCount()
{
    std::lock_guard<std::mutex> hold(s_lock);
    return s_appends;
}

int FakeTextHeldBack()
{
    std::lock_guard<std::mutex> hold(s_lock);
    return s_heldBack;
}

void FakeSetChecked(int checked)
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_checked = checked;
}

int FakeClearCount()
{
    std::lock_guard<std::mutex> hold(s_lock);
    return s_clears;
}

void FakeOnBox(std::function<void(const FakeBox&)> hook)
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_onBox = hook;
}

void FakeOnAppend(std::function<void(const std::string&)> hook)
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_onAppend = hook;
}

void FakeSelect(int32_t start, int32_t end)
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_selectionStart = start;
    s_selectionEnd = end;
}

// An append as the dialog makes it, with the edit control's own semantics:
// the length, an empty selection there, then the replacement, which lands
// wherever the selection is.
void UiLogAppend(const char* text)
{
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> hold(s_lock);
        s_selectionStart = s_selectionEnd = (int32_t)s_log.size();
        int32_t size = (int32_t)s_log.size();
        int32_t start = s_selectionStart < size ? s_selectionStart : size;
        int32_t end = s_selectionEnd < size ? s_selectionEnd : size;
        s_log.replace((size_t)start, (size_t)(end - start), text);
        s_selectionStart = s_selectionEnd = start + (int32_t)strlen(text);
        s_appends++;
        hook = s_onAppend;
    }
    if (hook) {
        hook(text);
    }
}

void UiClearLog(void*)
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_log.clear();
    s_selectionStart = s_selectionEnd = 0;
    s_clears++;
}

void UiEnableControl(void*, int id, int enable)
{
    std::lock_guard<std::mutex> hold(s_lock);
    s_enabled[id] = enable;
    s_heldBack += LogPendingLength();
}

int UiIsChecked(void*, int id)
{
    std::lock_guard<std::mutex> hold(s_lock);
    return id == IDC_ALLAPP && s_checked;
}

void UiMessageBox(void* owner, const char* text, const char* caption)
{
    FakeBox box{owner, text, caption};
    std::function<void(const FakeBox&)> hook;
    {
        std::lock_guard<std::mutex> hold(s_lock);
        s_boxes.push_back(box);
        s_heldBack += LogPendingLength();
        hook = s_onBox;
    }
    if (hook) {
        hook(box);
    }
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

void DropRelease(void* drop)
{
    ((FakeDrop*)drop)->released++;
}
