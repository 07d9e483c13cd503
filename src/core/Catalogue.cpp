// Catalogue.cpp - the message catalogue and the language.
#include "core/Catalogue.h"

int g_language = 0;

// English and Japanese, in UTF-8 as every text inside the tool.
const char* const g_catalogueUtf8[MSG_COUNT][2] = {
    /* MSG_CANT_OPEN */ {"Can't open: ", u8"ファイルが開けません: "},
    /* MSG_ERROR_CAPTION */ {"Error", u8"エラー"},
    /* MSG_FILE_OUTPUT_ERROR */ {"File output error: ", u8"ファイル出力エラー: "},
    /* MSG_APP_REMOVED */ {"APP headers removed: ", u8"APPヘッダ削除: "},
    /* MSG_XMP_REMOVED */ {"XMP removed: ", u8"XMP 削除: "},
    /* MSG_CANT_READ */ {"Can't read: ", u8"読み込みエラー: "},
    /* MSG_TOO_SMALL */ {"Too small: ", u8"ファイルサイズ異常: "},
    /* MSG_HEADER_BROKEN */ {"Header Broken: ", u8"ヘッダ異常: "},
    /* MSG_NO_APP */ {"No APP header: ", u8"APPヘッダなし: "},
    /* MSG_NO_XMP */ {"No XMP: ", u8"XMPなし: "},
    /* MSG_ROOT_FOLDER */ {"Don't drop the root folder of the drive", u8"ルートフォルダはドロップできません"},
    /* MSG_INVALID_ITEMS */ {"Found invalid files/folders", u8"無効なファイル・フォルダがあります"},
    /* MSG_CANCELED */ {"Operation canceled", u8"キャンセルしました"},
    /* MSG_CANCEL_CAPTION */ {"Cancel", u8"キャンセル"},
    /* MSG_STARTED */ {"Started", u8"開始しました"},
    /* MSG_COMPLETED */ {"Completed", u8"完了しました"},
    /* MSG_NOTHING_CONVERTED */ {"No file has been converted.\r\n", u8"コンバート対象のファイルはありません\r\n"},
    /* MSG_DROP_PROMPT */ {"Drag and drop JPEG files/folders.\r\n\r\n\r\n", u8"JPEG ファイルや、JPEG ファイルが入っているフォルダをドラッグ＆ドロップしてください\r\n\r\n\r\n"},
    /* MSG_BYTES_REMOVED */ {"byte data was removed.", u8"バイトのデータが削除されました"},
    /* MSG_TOTAL */ {"Total", u8"合計"},
    /* MSG_FILE_VANISHED */ {"The original file was removed.\r\n", u8"元ファイルが削除されています\r\n"},
    /* MSG_NOTE */ {"Note:\r\nIf you check 'Remove all APP headers' option, the all privacy information will be removed.\r\nIf you uncheck the option, only XMP header which may prevent rotation of the picture will be removed.", u8"※「全 APP ヘッダの削除」オプションをチェックした場合、全てのプライバシー情報が削除されます。\r\nもしチェックしなかった場合、画像回転を妨げる可能性のある XMP ヘッダのみを削除します。"},
    /* MSG_REPAIRED */ {"Repaired after an interruption: ", u8"中断後に修復しました: "},
    /* MSG_LEFTOVER_KEPT */ {"Kept from an interrupted rewrite: ", u8"中断時のファイルを残しました: "},
    /* MSG_LOG_TRIMMED */ {"(Earlier lines were removed to make room.)\r\n", u8"(以前の行は削除されました)\r\n"},
    /* MSG_HANDOVER_FAILED */ {"The window already open did not take the files/folders",
                               u8"開いているウィンドウにファイル・フォルダを渡せませんでした"},
};

int LanguageForLocale(uint32_t lcid)
{
    return lcid == LOCALE_JAPANESE ? 1 : 0;
}

const char* Msg(int id)
{
    return g_catalogueUtf8[id][g_language == 1 ? 1 : 0];
}
