// File, folder and font choosers of GTK 3 (GtkFileChooserDialog, GtkFontChooserDialog), shown on
// the display GTK opens from DISPLAY. They run modally on the calling thread: GTK belongs to the
// first thread that asks for it, and every later call must come from that thread.
//
// While a chooser is up the thread also serves its own message queue: `pump` runs at least every
// few milliseconds between GTK's events and answers false to take the chooser down (cancelled).
#pragma once

#include <functional>
#include <string>

#include "desk/choosers/chooser.h"

namespace desk::choosers {

// Whether GTK can show windows here: initialises GTK once (false without a display) and checks
// that the caller is GTK's thread.
bool gtkAvailable();

FileAnswer runGtkFileChooser(const FileRequest& request, const std::function<bool()>& pump);
FontAnswer runGtkFontChooser(const std::string& title, const FontRequest& request,
                             const std::function<bool()>& pump);

}  // namespace desk::choosers
