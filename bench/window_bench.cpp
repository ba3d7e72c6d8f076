// Run against a typed "wine start", as the user sees them: the time from a
// click on the Run button of the real window (a synthetic X click, through
// XTest) until the window manager takes on Tavorin's window (sets WM_STATE
// on the window named "Tavorin": a minimized window is never mapped),
// against the time from "wine start /min Tavorin.exe", typed in Tavorin's
// folder, to the same. Taking turns at which goes first, in one prefix.
// Warm: Wine's server stays up; cold: it is stopped before each start.
// Prints tab-separated lines:
//
//   pair <warm|cold> <run ms> <typed ms>
//
// Usage: bench-window <pairs> <Tavorin's folder, with the configurator in it> <wine command>
// under a window manager, on the display that DISPLAY names.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

// The size of the window's design, and the centre of its Run button in it.
constexpr double DesignWidth = 258, RunX = 8 + 73 / 2.0, RunY = 144 + 25 / 2.0;

double now()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

pid_t spawnIn(const std::string &folder, std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void wineserver(const char *option)
{
    const pid_t pid = spawnIn(".", {"wineserver", option});
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
}

class Display {
public:
    Display()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_state = atom("WM_STATE");
        m_clients = atom("_NET_CLIENT_LIST");
    }
    ~Display() { xcb_disconnect(m_connection); }
    bool usable() const { return xcb_connection_has_error(m_connection) == 0; }

    // The managed window named `name`, once the window manager has set its
    // WM_STATE; 0 while there is none.
    xcb_window_t managed(const std::string &name)
    {
        for (const xcb_window_t window : property<xcb_window_t>(m_root, m_clients, XCB_ATOM_WINDOW))
            if (property<char>(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) == std::vector<char>(name.begin(), name.end())
                && !property<uint32_t>(window, m_state, m_state).empty())
                return window;
        return 0;
    }

    // Waits, at most `seconds`, for the window named `name` to be managed
    // (or, where `gone`, for none to be); false where the wait ran out.
    bool waitFor(const std::string &name, double seconds, bool gone = false)
    {
        for (const double until = now() + seconds * 1000; now() < until;) {
            if ((managed(name) != 0) != gone)
                return true;
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
        return false;
    }

    // Where, on the screen, the Run button of the configurator's window is.
    std::pair<int16_t, int16_t> runButton(xcb_window_t window)
    {
        const std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr), &std::free);
        const std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> at(
            xcb_translate_coordinates_reply(m_connection, xcb_translate_coordinates(m_connection, window, m_root, 0, 0),
                                            nullptr),
            &std::free);
        const double scale = geometry->width / DesignWidth;
        return {int16_t(at->dst_x + RunX * scale), int16_t(at->dst_y + RunY * scale)};
    }

    void input(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0)
    {
        xcb_test_fake_input(m_connection, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? m_root : 0, x, y,
                            0);
        xcb_flush(m_connection);
    }

private:
    xcb_atom_t atom(const char *name)
    {
        const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name),
                                  nullptr),
            &std::free);
        return reply ? reply->atom : 0;
    }

    template <typename T> std::vector<T> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
    {
        const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(m_connection, xcb_get_property(m_connection, 0, window, name, type, 0, 4096),
                                   nullptr),
            &std::free);
        if (!reply || reply->type != type)
            return {};
        const T *values = static_cast<const T *>(xcb_get_property_value(reply.get()));
        return std::vector<T>(values, values + xcb_get_property_value_length(reply.get()) / int(sizeof(T)));
    }

    xcb_connection_t *m_connection;
    xcb_window_t m_root = 0;
    xcb_atom_t m_state = 0, m_clients = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench-window <pairs> <Tavorin's folder> <wine command>\n");
        return 2;
    }
    const int pairs = std::atoi(argv[1]);
    const std::string folder = argv[2], wine = argv[3];
    Display display;
    if (!display.usable()) {
        std::fprintf(stderr, "bench-window: no display\n");
        return 1;
    }
    const pid_t configurator = spawnIn(folder, {folder + "/tavorin-configurator"});
    if (configurator < 0 || !display.waitFor("Tavorin Configurator", 60)) {
        std::fprintf(stderr, "bench-window: the configurator's window did not come\n");
        return 1;
    }
    const auto [x, y] = display.runButton(display.managed("Tavorin Configurator"));
    display.input(XCB_MOTION_NOTIFY, 0, x, y);

    std::string failed;
    // Each returns the time until Tavorin's window is managed, once it has
    // closed again.
    const auto waited = [&](double start, const char *what) {
        if (!display.waitFor("Tavorin", 60)) {
            failed = std::string(what) + ": Tavorin's window did not come";
            return 0.0;
        }
        const double ms = now() - start;
        if (!display.waitFor("Tavorin", 30, true))
            failed = std::string(what) + ": Tavorin's window did not close";
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // Wine's start ends meanwhile
        return ms;
    };
    const auto run = [&] {
        display.input(XCB_BUTTON_PRESS, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const double start = now();
        display.input(XCB_BUTTON_RELEASE, 1); // Run acts when the button is let go
        return waited(start, "Run");
    };
    const auto typed = [&] {
        const double start = now();
        const pid_t pid = spawnIn(folder, {wine, "start", "/min", "Tavorin.exe"});
        const double ms = pid > 0 ? waited(start, "wine start") : 0;
        if (pid < 0)
            failed = "wine start could not be started";
        else
            ::waitpid(pid, nullptr, 0);
        return ms;
    };

    for (const bool warm : {true, false}) {
        if (warm) {
            wineserver("-p"); // stays up, however long nothing runs
            run(); // unmeasured: the page cache, the prefix's update
            typed();
        }
        for (int i = 0; i < pairs && failed.empty(); ++i) {
            double runMs = 0, typedMs = 0;
            for (int turn = 0; turn < 2; ++turn) {
                if (!warm) {
                    wineserver("-k");
                    wineserver("-w");
                }
                if ((turn == 0) == (i % 2 == 0))
                    runMs = run();
                else
                    typedMs = typed();
            }
            std::printf("pair\t%s\t%.1f\t%.1f\n", warm ? "warm" : "cold", runMs, typedMs);
            std::fflush(stdout);
        }
        wineserver("-k");
    }
    ::kill(configurator, SIGTERM);
    ::waitpid(configurator, nullptr, 0);
    if (!failed.empty()) {
        std::fprintf(stderr, "bench-window: %s\n", failed.c_str());
        return 1;
    }
    return 0;
}
