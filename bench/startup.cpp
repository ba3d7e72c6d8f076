// Start-up benchmark: for each program, the time from starting its process
// to its window being mapped on the X server, and the process's peak
// resident memory once the window is shown. The programs take turns, run
// after run, so that a change in the machine's load falls on all alike.
//
// Usage: startup <runs> <name>=<program> [<name>=<program> ...]
// DISPLAY must name an X server without a window manager (the bench script
// starts an Xvfb). Prints one line per program: the medians, in a form the
// bench script turns into its table.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Program {
    std::string name;
    std::string path;
    std::vector<double> mapMs;
    std::vector<double> peakMiB;
};

// The process's peak resident memory so far (VmHWM), in MiB.
double peakMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    }
    return -1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Starts the program and waits for the first window mapped on the root.
bool measure(xcb_connection_t *connection, Program &program)
{
    char *argv[] = {const_cast<char *>(program.path.c_str()), nullptr};
    const auto start = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, program.path.c_str(), nullptr, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "startup: cannot start %s\n", program.path.c_str());
        return false;
    }
    bool mapped = false;
    const auto deadline = start + std::chrono::seconds(20);
    while (!mapped && Clock::now() < deadline) {
        xcb_generic_event_t *event = xcb_poll_for_event(connection);
        if (!event) {
            if (xcb_connection_has_error(connection))
                break;
            usleep(200);
            continue;
        }
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY
            && !reinterpret_cast<xcb_map_notify_event_t *>(event)->override_redirect)
            mapped = true;
        std::free(event);
    }
    const auto shown = Clock::now();
    if (mapped) {
        // Let the window paint before taking its memory.
        usleep(300 * 1000);
        program.mapMs.push_back(std::chrono::duration<double, std::milli>(shown - start).count());
        program.peakMiB.push_back(peakMiB(pid));
    } else {
        std::fprintf(stderr, "startup: %s showed no window within 20 s\n", program.name.c_str());
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return mapped;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <runs> <name>=<program> ...\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    std::vector<Program> programs;
    for (int i = 2; i < argc; ++i) {
        const std::string entry = argv[i];
        const size_t equals = entry.find('=');
        programs.push_back({entry.substr(0, equals), entry.substr(equals + 1), {}, {}});
    }

    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "startup: cannot connect to the X server\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);

    // One run of each program first, unmeasured, so that every program
    // starts from a warm page cache.
    for (Program &program : programs) {
        if (!measure(connection, program))
            return 1;
        program.mapMs.clear();
        program.peakMiB.clear();
    }
    for (int run = 0; run < runs; ++run) {
        for (size_t i = 0; i < programs.size(); ++i) {
            // Turns rotate, so that no program always follows the same one.
            if (!measure(connection, programs[(i + size_t(run)) % programs.size()]))
                return 1;
        }
    }
    for (const Program &program : programs)
        std::printf("%s\t%.1f\t%.1f\t%zu\n", program.name.c_str(), median(program.mapMs), median(program.peakMiB),
                    program.mapMs.size());
    xcb_disconnect(connection);
    return 0;
}
