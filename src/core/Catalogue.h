// Catalogue.h - every text the tool shows, in English and Japanese, and the
// append operation of the log pane.
#pragma once

#include <cstdint>

// Catalogue entries, in table order.
enum MessageId {
    MSG_CANT_OPEN,
    MSG_ERROR_CAPTION,
    MSG_FILE_OUTPUT_ERROR,
    MSG_APP_REMOVED,
    MSG_XMP_REMOVED,
    MSG_CANT_READ,
    MSG_TOO_SMALL,
    MSG_HEADER_BROKEN,
    MSG_NO_APP,
    MSG_NO_XMP,
    MSG_ROOT_FOLDER,
    MSG_INVALID_ITEMS,
    MSG_CANCELED,
    MSG_CANCEL_CAPTION,
    MSG_STARTED,
    MSG_COMPLETED,
    MSG_NOTHING_CONVERTED,
    MSG_DROP_PROMPT,
    MSG_BYTES_REMOVED,
    MSG_TOTAL,
    MSG_FILE_VANISHED,
    MSG_NOTE,
    MSG_COUNT
};

// 0 = English, 1 = Japanese; set once at start-up before any other thread.
extern int g_language;

// The catalogue: entry[g_language]. Windows texts are in the ANSI code
// page, so the Japanese column there is code page 932; elsewhere narrow
// strings are UTF-8 and so is the Japanese column.
extern const char* const g_catalogueUtf8[MSG_COUNT][2];
extern const char* const g_catalogueCp932[MSG_COUNT];

// Msg - the text of entry `id` in the current language.
const char* Msg(int id);

// AppendLog - appends `text` at the very end of the log pane, leaving what is
// there untouched; adds no line break of its own.
void AppendLog(const char* text);

// AppendReport - a per-file line: the prefix of entry `id`, the path, "\r\n".
void AppendReport(int id, const char* path);

// AppendStatus - a status line: the entry's text followed by `ending`
// ("\r\n", or ".\r\n").
void AppendStatus(int id, const char* ending);

// AppendByteCount - "<bytes> byte data was removed.\r\n", with the label of
// entry MSG_TOTAL in front when `total` is 1.
void AppendByteCount(int total, int32_t bytes);

// FormatText - a tracked block holding the printf-style formatting of the
// arguments, sized from what goes into it; null when no block could be had.
// The caller releases it with TrackedFree.
char* FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// ShowError - a message box with caption MSG_ERROR_CAPTION and the text
// "%s%s<ending>" of entry `id` and `path`; `owner` as for UiMessageBox.
void ShowError(void* owner, int id, const char* path, const char* ending);
