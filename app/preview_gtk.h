// The open dialog's preview: beside the file list, the chosen photo made
// small, with the centred 9:16 part that becomes the wallpaper at full
// brightness and the parts cut away dimmed, and a line with its size or why
// there is no picture. It loads in short pieces in the dialog's idle time.
#pragma once

#include <gtk/gtk.h>

struct photo_preview;

// Puts the preview into the chooser; it follows the selection from then on.
photo_preview *preview_attach(GtkFileChooser *chooser);

// Drops any work still to do; the widgets go with the dialog.
void preview_detach(photo_preview *preview);
