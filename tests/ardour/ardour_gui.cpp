#include "ardour_gui.h"

#include <X11/Xutil.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "daw_workspace.h"
#include "support/x_windows.h"

bool ardour_seed_config(const std::string& config_home, int rate)
{
    const std::string dir = config_home + "/ardour7";
    mkdir(config_home.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    // Its presence tells Ardour that this user has been here before: no wizard.
    if (!write_text_file(dir + "/.a7", ""))
        return false;
    const std::string r = std::to_string(rate);
    return write_text_file(dir + "/config",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<Ardour>\n"
                           "  <Config>\n"
                           "    <Option name=\"hide-dummy-backend\" value=\"0\"/>\n"
                           "    <Option name=\"try-autostart-engine\" value=\"1\"/>\n"
                           "  </Config>\n"
                           "  <Extra>\n"
                           "    <AudioMIDISetup>\n"
                           "      <EngineStates>\n"
                           "        <State backend=\"None (Dummy)\" driver=\"Normal Speed\" device=\"Silence\" "
                           "input-device=\"\" output-device=\"\" sample-rate=\"" + r + "\" buffer-size=\"1024\" "
                           "n-periods=\"0\" input-latency=\"0\" output-latency=\"0\" lm-input=\"\" lm-output=\"\" "
                           "active=\"1\" use-buffered-io=\"0\" midi-option=\"1 in, 1 out, Silence\" lru=\"1\">\n"
                           "          <MIDIDevices/>\n"
                           "        </State>\n"
                           "      </EngineStates>\n"
                           "    </AudioMIDISetup>\n"
                           "  </Extra>\n"
                           "</Ardour>\n");
}

bool ardour_seed_session_view(const std::string& session_dir)
{
    return write_text_file(session_dir + "/instant.xml",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<instant>\n"
                           "  <Main current-tab=\"mixer\"/>\n"
                           "</instant>\n");
}

bool ardour_gui::start(const std::string& session_file, const std::vector<std::string>& environment,
                       const std::string& log_path)
{
    log = log_path;
    std::vector<std::string> env = environment;
    // The configuration's autostart, also for a session that names no engine yet.
    env.push_back("ARDOUR_TRY_AUTOSTART_ENGINE=1");
    pid = start_process({"/usr/bin/ardour", "--no-announcements", "--no-splash", session_file}, env, log_path);
    return pid > 0;
}

bool ardour_gui::wait_exit(double timeout_seconds)
{
    process_result r = wait_process(pid, log, timeout_seconds);
    pid = -1;
    return !r.timed_out;
}

void ardour_gui::kill_all()
{
    if (pid > 0) {
        kill(-pid, SIGKILL);
        wait_process(pid, log, 10.0);
    }
    pid = -1;
}

Window find_named_window(Display* d, const std::string& name, bool suffix, const std::vector<Window>& except)
{
    for (Window w : descendants(d, DefaultRootWindow(d))) {
        std::string n = name_of(d, w);
        bool match = suffix ? n.size() >= name.size() && n.compare(n.size() - name.size(), name.size(), name) == 0
                            : n == name;
        XWindowAttributes a;
        if (match && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable) {
            bool known = false;
            for (Window e : except)
                known |= e == w;
            if (!known)
                return w;
        }
    }
    return 0;
}

Window wait_named_window(Display* d, const std::string& name, bool suffix, const std::vector<Window>& except,
                         int timeout_ms)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        Window w = find_named_window(d, name, suffix, except);
        if (w || std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(timeout_ms))
            return w;
        usleep(50000);
    }
}

Window find_class_below(Display* d, Window top, const std::string& cls)
{
    for (Window w : descendants(d, top)) {
        XWindowAttributes a;
        if (class_of(d, w) == cls && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable)
            return w;
    }
    return 0;
}

std::vector<strip_entry> find_plugin_entries(const capture& c)
{
    // The entry of an active plug-in before the fader is a dark red bar (theme
    // "dark-ardour") with the plug-in's name and an LED on it: rows that are a third red
    // over a width of at least 60 pixels, as many rows as a line of text is high.
    const auto entry_red = [](uint32_t p) {
        int r = (int)(p >> 16) & 0xff, g = (int)(p >> 8) & 0xff, b = (int)p & 0xff;
        return r >= 80 && r <= 140 && g >= 35 && g <= 70 && b >= 35 && b <= 70 && r - g >= 35 && abs(g - b) <= 8;
    };
    std::vector<strip_entry> out;
    strip_entry open = {0, 0, -1, -1};
    for (int y = 0; y <= c.height; y++) {
        int first = -1, last = -1, count = 0;
        for (int x = 0; y < c.height && x < c.width; x++)
            if (entry_red(c.at(x, y))) {
                first = first < 0 ? x : first;
                last = x;
                count++;
            }
        const bool row = last - first >= 60 && count * 3 >= last - first;
        if (row && open.y0 < 0) {
            open = {first, last, y, y};
        } else if (row) {
            open.y1 = y;
        } else if (open.y0 >= 0) {
            if (open.y1 - open.y0 >= 8 && open.y1 - open.y0 <= 40)
                out.push_back(open);
            open = {0, 0, -1, -1};
        }
    }
    return out;
}

int xdotool(const std::string& args)
{
    // A wait for the window manager (--sync) that never ends fails instead of hanging.
    return system(("timeout 20 xdotool " + args + " >/dev/null 2>&1").c_str());
}

std::string pointer_to(Window w, int x, int y)
{
    return "mousemove --window " + std::to_string(w) + " " + std::to_string(x) + " " + std::to_string(y);
}
