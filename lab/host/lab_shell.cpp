#include "lab/host/lab_shell.h"

#include <algorithm>
#include <fstream>

#include "lab/host/lab_fake_root.h"

namespace lab {

namespace {

constexpr const char *VMKLOAD_MOD_CHECK =
    "vmkload_mod -l | grep -q '^qsc\\b.*\\(\\bYes\\|[0-9]\\)[[:blank:]]*$'";
constexpr const char *GREP_CONTROL = "grep qsc_control /proc/devices";

int exit_status(int code)
{
    return code << 8;
}

// grep over the lab's own /proc/devices, so that editing the fake root
// shows through as it would on a host.
int grep_proc_devices(Lab &lab, const std::string &word, std::string &output)
{
    std::ifstream in(lab.root() + "/proc/devices");
    if (!in)
        return exit_status(2);
    std::string line;
    int status = exit_status(1);
    while (std::getline(in, line))
        if (line.find(word) != std::string::npos) {
            output += line + "\n";
            status = 0;
        }
    return status;
}

int modprobe(Lab &lab, const std::string &module)
{
    Host &h = lab.state().host;
    if (h.kind == HostKind::esxi)
        return exit_status(127);
    if (module_loaded(h, module))
        return 0;
    if (std::find(h.modules_available.begin(), h.modules_available.end(), module) ==
        h.modules_available.end()) {
        lab.events().record("modprobe " + module + ": module not found");
        return exit_status(1);
    }
    h.modules_loaded.push_back(module);
    // The device manager makes the module's nodes some time after this.
    h.modules_loaded_at_us[module] = lab.events().now_us();
    refresh_proc_devices(lab.state(), lab.root());
    lab.events().record("module loaded: " + module);
    return 0;
}

} // namespace

int run_shell_command(Lab &lab, const std::string &command, std::string &output)
{
    output.clear();
    const Host &h = lab.state().host;
    if (command == VMKLOAD_MOD_CHECK && h.kind == HostKind::esx)
        return module_loaded(h, "qsc") ? 0 : exit_status(1);
    if (command == GREP_CONTROL)
        return grep_proc_devices(lab, "qsc_control", output);
    for (const char *module : {"mtdchar", "mtdblock"})
        if (command == "modprobe " + std::string(module) + " >/dev/null 2>&1")
            return modprobe(lab, module);
    lab.events().record("unknown command failed: " + command);
    return exit_status(127);
}

} // namespace lab
