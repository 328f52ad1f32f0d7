// Driving Debian's Ardour 7.3 with its whole graphical interface, as a user would: the
// configuration a first start would ask for written beforehand, the program started on a
// session, its windows found by name, the mixer strip's plug-in entries found by colour
// in a capture of the main window, and the pointer and keyboard moved with xdotool.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "middleman/screen_capture.h"

// What a first start would ask for: the mark that skips the new-user wizard, and the
// Dummy backend ("None (Dummy)", hidden unless the configuration shows it) chosen at
// `rate` and started without the Audio/MIDI Setup dialog. `config_home` is
// XDG_CONFIG_HOME.
bool ardour_seed_config(const std::string& config_home, int rate);
// Opens `session_dir` on the mixer.
bool ardour_seed_session_view(const std::string& session_dir);

// Ardour's GUI on a session, in a process group of its own.
struct ardour_gui {
    pid_t pid = -1; // and its process group
    std::string log;

    // Starts /usr/bin/ardour on the session file with `environment` added.
    bool start(const std::string& session_file, const std::vector<std::string>& environment,
               const std::string& log_path);
    // Waits for Ardour to end by itself; false when it did not (it is then killed).
    bool wait_exit(double timeout_seconds);
    // Kills whatever of the group is left.
    void kill_all();
    ~ardour_gui() { kill_all(); }
};

// The first viewable window below the root whose name is `name` (or ends with it, when
// `suffix`), among those not in `except`; 0 when there is none yet.
Window find_named_window(Display* d, const std::string& name, bool suffix = false,
                         const std::vector<Window>& except = {});
// Polls for a window as above for up to `timeout_ms`.
Window wait_named_window(Display* d, const std::string& name, bool suffix, const std::vector<Window>& except,
                         int timeout_ms);
// The viewable window of class `cls` below `top`, or 0.
Window find_class_below(Display* d, Window top, const std::string& cls);

// A plug-in entry of a mixer strip's processor box: the dark red bar with the
// plug-in's name, in the coordinates of the captured window.
struct strip_entry {
    int x0, x1, y0, y1;
    int cx() const { return x0 + (x1 - x0) * 2 / 3; } // on the name, clear of the LED
    int cy() const { return (y0 + y1) / 2; }
    bool operator==(const strip_entry&) const = default;
};
// Every plug-in entry in a capture of the main window, top to bottom.
std::vector<strip_entry> find_plugin_entries(const capture& c);

// Runs xdotool with the arguments; its exit status.
int xdotool(const std::string& args);
// "mousemove --window W X Y"
std::string pointer_to(Window w, int x, int y);
