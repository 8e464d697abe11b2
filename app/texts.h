// Every text the user sees, once. The dialog titles separate with U+00B7
// MIDDLE DOT; the success text has U+00D7 MULTIPLICATION SIGN, the default file
// name a Latin x.
#pragma once

#include "platform/runtime.h"

static const path_char text_open_title[] = PATH_TEXT("Kadrova \u00B7 Foto f\u00FCr mittigen 9:16-Ausschnitt ausw\u00E4hlen");
static const path_char text_open_filter[] = PATH_TEXT("JPEG und PNG\0*.jpg;*.jpeg;*.png\0");
static const path_char text_save_title[] = PATH_TEXT("Kadrova \u00B7 Neue JPEG-Kopie speichern");
static const path_char text_save_filter[] = PATH_TEXT("JPEG-Bild\0*.jpg\0");
static const path_char text_default_extension[] = PATH_TEXT("jpg");
static const path_char text_default_name[] = PATH_TEXT("Hintergrund-1080x1920.jpg");

static const path_char text_box_title[] = PATH_TEXT("Kadrova");
static const path_char text_read_error[] =
    PATH_TEXT("Das Bild konnte nicht gelesen werden. Unterst\u00FCtzt werden JPEG und PNG bis 36 Megapixel.");
static const path_char text_retry[] = PATH_TEXT("Bitte einen neuen Dateinamen und einen beschreibbaren Ordner w\u00E4hlen.");
static const path_char text_saved[] = PATH_TEXT("Dein 1080 \u00D7 1920-Hintergrund wurde gespeichert.");
static const path_char text_save_failed[] = PATH_TEXT("Speichern fehlgeschlagen.");

// What a screen reader says for the icons of the error and the warning box.
static const path_char text_error_icon[] = PATH_TEXT("Fehler");
static const path_char text_warning_icon[] = PATH_TEXT("Warnung");

// The open dialog's preview (Linux): the photo's size, or why there is no
// picture of it.
static const path_char text_preview_name[] = PATH_TEXT("Vorschau");
static const path_char text_preview_size[] = PATH_TEXT("%d \u00D7 %d Pixel");
static const path_char text_preview_not_photo[] = PATH_TEXT("Kein JPEG- oder PNG-Bild");
static const path_char text_preview_too_large[] = PATH_TEXT("Zu gro\u00DF: h\u00F6chstens 36 Megapixel");
static const path_char text_preview_too_wide[] = PATH_TEXT("Zu gro\u00DF: h\u00F6chstens 32.768 Pixel je Seite");
static const path_char text_preview_unsupported[] = PATH_TEXT("Diese JPEG-Art wird nicht unterst\u00FCtzt");
static const path_char text_preview_damaged[] = PATH_TEXT("Besch\u00E4digt oder unvollst\u00E4ndig");
static const path_char text_preview_unreadable[] = PATH_TEXT("Nicht lesbar");
