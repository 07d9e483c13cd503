// Catalogue.h - every text the tool shows, in English and Japanese, and the
// language they are shown in.
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
    MSG_REPAIRED,
    MSG_LEFTOVER_KEPT,
    MSG_LOG_TRIMMED,
    MSG_HANDOVER_FAILED,
    MSG_COUNT
};

// 0 = English, 1 = Japanese; set once at start-up before any other thread.
extern int g_language;

// The Windows locale identifier of Japanese as used in Japan (0x0411).
constexpr uint32_t LOCALE_JAPANESE = 1041;

// LanguageForLocale - the language for a locale identifier: Japanese for
// LOCALE_JAPANESE, English for any other.
int LanguageForLocale(uint32_t lcid);

// The catalogue: entry[g_language], in UTF-8 on every platform (the Windows
// front ends convert it, with paths, where they hand text to the system).
extern const char* const g_catalogueUtf8[MSG_COUNT][2];

// Msg - the text of entry `id` in the current language.
const char* Msg(int id);
