// qslab: create simulated hosts, run qsupdate against them, look at them,
// build firmware images for them, read and replace their flash, inject
// faults, and capture a host into a new lab.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "lab/model/lab_presets.h"
#include "lab/qslab/lab_commands.h"

namespace {

// Failures of qslab itself, kept apart from qsupdate's statuses 0 to 2.
constexpr int QSLAB_FAILURE = 125;

void usage(FILE *out)
{
    std::fprintf(out,
                 "Usage:\n"
                 "  qslab create DIR [--platform linux|esx|esxi] [--adapter PRESET[:PORTS]]...\n"
                 "                   [--empty] [--no-driver]\n"
                 "  qslab run DIR -- QSUPDATE-ARGUMENTS...\n"
                 "  qslab show DIR\n"
                 "  qslab image --type T --subtype S --version A.B.C.D [--extra A.B.C.D]\n"
                 "              [--size N] -o FILE\n"
                 "  qslab image --ipxe [--size N] -o FILE\n"
                 "  qslab flash DIR --adapter N --partition NAME (-o FILE | -i FILE)\n"
                 "  qslab fault DIR --target T --operation OP [--request R]\n"
                 "              [--occurrence N|every]\n"
                 "              (--errno E | --cut-after N [--power-cut] | --silent HOW)\n"
                 "  qslab fault DIR --list | --clear\n"
                 "  qslab capture DIR [--root PATH] [--with-flash]\n"
                 "\n"
                 "Adapter presets: %s.\n"
                 "Without --adapter a lab has one dogwood2 adapter with two ports.\n"
                 "capture reads this host's adapters (or those under PATH) into a new lab;\n"
                 "it only reads, and reads the flash only with --with-flash.\n",
                 lab::preset_names().c_str());
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        usage(args.empty() ? stderr : stdout);
        return args.empty() ? QSLAB_FAILURE : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "create")
            return lab::command_create(args);
        if (command == "run")
            return lab::command_run(args);
        if (command == "show")
            return lab::command_show(args);
        if (command == "image")
            return lab::command_image(args);
        if (command == "flash")
            return lab::command_flash(args);
        if (command == "fault")
            return lab::command_fault(args);
        if (command == "capture")
            return lab::command_capture(args);
        throw lab::UsageError("unknown command \"" + command + "\"");
    } catch (const lab::UsageError &e) {
        std::fprintf(stderr, "qslab: %s\n", e.what());
        usage(stderr);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qslab: %s\n", e.what());
    }
    return QSLAB_FAILURE;
}
