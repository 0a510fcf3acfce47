#include "lab/qslab/lab_commands.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "app/qsupdate/qsupdate.h"
#include "lab/host/lab.h"
#include "lab/host/lab_platform.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_config.h"
#include "lab/model/lab_presets.h"
#include "lab/qslab/lab_capture.h"
#include "lab/qslab/lab_show.h"

namespace lab {

namespace {

// Splits "--name=value" and "--name value"; returns false for a
// positional argument.
struct ArgReader {
    const std::vector<std::string> &args;
    size_t i = 0;

    bool done() const { return i >= args.size(); }
    const std::string &peek() const { return args[i]; }
    std::string value_of(const std::string &name)
    {
        const std::string &arg = args[i];
        if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
            ++i;
            return arg.substr(name.size() + 1);
        }
        if (++i >= args.size())
            throw UsageError(name + " needs a value");
        return args[i++];
    }
    bool is(const std::string &name) const
    {
        const std::string &arg = args[i];
        return arg == name || arg.compare(0, name.size() + 1, name + "=") == 0;
    }
    // Takes an option without a value when it is the next argument.
    bool flag(const std::string &name)
    {
        if (args[i] != name)
            return false;
        ++i;
        return true;
    }
    // Takes the command's one lab directory; an unknown option or a second
    // directory is refused.
    void directory(std::string &dir)
    {
        if (peek().starts_with("-") || !dir.empty())
            throw UsageError("unexpected argument \"" + peek() + "\"");
        dir = args[i++];
    }
};

unsigned parse_count(const std::string &text, const std::string &what)
{
    unsigned long value;
    if (!parse_unsigned(text, 0x7FFFFFFF, value))
        throw UsageError("bad " + what + " \"" + text + "\"");
    return static_cast<unsigned>(value);
}

Lab *active_lab = nullptr;

// qsupdate may end the process itself (exit status 1 on some host
// errors, or an abort from a failed assertion); what it changed until then
// is kept all the same.
void save_active_lab(const char *closing)
{
    if (!active_lab)
        return;
    Lab *lab = active_lab;
    active_lab = nullptr;
    std::fflush(stdout);
    try {
        lab->save(closing);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qslab: %s\n", e.what());
    }
}

void save_at_exit()
{
    save_active_lab("qsupdate ended the process itself");
}

// When the handler returns, abort() ends the process as it would have.
void save_at_abort(int)
{
    std::signal(SIGABRT, SIG_DFL);
    // A save stuck on a lock that the abort left held still ends.
    ::alarm(10);
    save_active_lab("qsupdate aborted");
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (in.bad())
        throw std::runtime_error("cannot read " + path);
    return bytes;
}

std::string plural(size_t n, const std::string &word)
{
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Adapters are numbered from 1, as `qslab show` numbers them; a partition
// is named by its id or by the part of it after "aN-".
Partition &find_partition(LabState &state, const std::string &adapter_text, const std::string &name)
{
    unsigned long n = 0;
    if (!parse_unsigned(adapter_text, state.adapters.size(), n) || n == 0) {
        std::string choices = state.adapters.empty()      ? "the lab has none"
                              : state.adapters.size() == 1 ? "adapter 1"
                                                          : "adapters 1 to " + std::to_string(state.adapters.size());
        throw std::runtime_error("no adapter " + adapter_text + " (" + choices + ")");
    }
    std::vector<Partition> &partitions = state.adapters[n - 1].partitions;
    std::string choices;
    for (Partition &p : partitions) {
        if (p.id == name || p.id.substr(p.id.find('-') + 1) == name)
            return p;
        choices += (choices.empty() ? "" : ", ") + p.id;
    }
    throw std::runtime_error("adapter " + std::to_string(n) + " has no partition \"" + name + "\" (" +
                             (choices.empty() ? "it has none" : choices) + ")");
}

std::string without_file_prefix(const std::string &message)
{
    const std::string prefix = "lab.json: ";
    return message.starts_with(prefix) ? message.substr(prefix.size()) : message;
}

// A new fault table entry, checked by the same reader as lab.json's.
Fault parse_fault(nlohmann::json entry)
{
    if (!entry.contains("target") || !entry.contains("operation"))
        throw UsageError("a fault needs --target and --operation");
    if (entry.contains("errno") + entry.contains("write_cut_after") + entry.contains("silent") != 1)
        throw UsageError("a fault needs one of --errno, --cut-after and --silent");
    // --cut-after cuts a controller's answer as it cuts a write.
    if (entry.value("operation", "") == "mcdi" && entry.contains("write_cut_after")) {
        entry["answer_cut_after"] = entry["write_cut_after"];
        entry.erase("write_cut_after");
    }
    try {
        return faults_from_json(nlohmann::json::array({entry})).at(0);
    } catch (const std::exception &e) {
        throw std::runtime_error("bad fault: " + without_file_prefix(e.what()));
    }
}

} // namespace

int command_create(const std::vector<std::string> &args)
{
    ArgReader r{args};
    std::string dir, platform = "linux";
    struct Request {
        std::string preset;
        unsigned ports;
        std::vector<ConfigDamage> damage;
        bool rich = false;
    };
    std::vector<Request> adapters;
    bool empty = false, no_driver = false;
    while (!r.done()) {
        if (r.is("--platform")) {
            platform = r.value_of("--platform");
        } else if (r.is("--adapter")) {
            std::string request = r.value_of("--adapter");
            size_t colon = request.find(':');
            unsigned ports = colon == std::string::npos ? 0 : parse_count(request.substr(colon + 1), "port count");
            if (colon != std::string::npos && ports == 0)
                throw UsageError("an adapter has at least one port");
            adapters.push_back({request.substr(0, colon), ports, {}, false});
        } else if (r.is("--damaged-config")) {
            // For tests: not in the usage text.
            std::string name = r.value_of("--damaged-config");
            ConfigDamage damage;
            if (adapters.empty())
                throw UsageError("--damaged-config follows the --adapter it applies to");
            if (!config_damage_from_name(name, damage))
                throw UsageError("unknown configuration damage \"" + name + "\" (" + CONFIG_DAMAGE_NAMES + ")");
            adapters.back().damage.push_back(damage);
        } else if (r.flag("--rich-config")) {
            // For tests: not in the usage text.
            if (adapters.empty())
                throw UsageError("--rich-config follows the --adapter it applies to");
            adapters.back().rich = true;
        } else if (r.flag("--empty")) {
            empty = true;
        } else if (r.flag("--no-driver")) {
            no_driver = true;
        } else {
            r.directory(dir);
        }
    }
    if (dir.empty())
        throw UsageError("create needs a directory");
    if (empty && !adapters.empty())
        throw UsageError("--empty and --adapter exclude each other");
    if (!empty && adapters.empty())
        adapters.push_back({"dogwood2", 2, {}, false});

    LabState state = make_host(host_kind_from_name(platform), !no_driver);
    for (const Request &request : adapters) {
        add_preset_adapter(state, request.preset, request.ports);
        if (request.rich)
            enrich_dynamic_config(state.adapters.back());
        for (ConfigDamage damage : request.damage)
            damage_dynamic_config(state.adapters.back(), damage);
    }
    Lab::create(dir, state);

    unsigned nports = 0;
    for (const Adapter &a : state.adapters)
        nports += static_cast<unsigned>(a.ports.size());
    const char *titles[] = {"Linux host", "ESX service console", "ESXi host"};
    std::printf("Created a lab in %s: %s, %zu adapter%s, %u port%s, driver %s.\n", dir.c_str(),
                titles[static_cast<int>(state.host.kind)], state.adapters.size(),
                state.adapters.size() == 1 ? "" : "s", nports, nports == 1 ? "" : "s",
                no_driver ? "not loaded" : "loaded");
    return 0;
}

int command_run(const std::vector<std::string> &args)
{
    if (args.empty())
        throw UsageError("run needs a directory");
    std::vector<std::string> argv_text = {"qsupdate"};
    size_t first = args.size() > 1 && args[1] == "--" ? 2 : 1;
    argv_text.insert(argv_text.end(), args.begin() + static_cast<long>(first), args.end());

    Lab lab(args[0]);
    watch_run(lab);
    std::string command_line;
    for (const std::string &a : argv_text)
        command_line += (command_line.empty() ? "" : " ") + a;
    lab.state().runs++;
    lab.events().record("run " + std::to_string(lab.state().runs) + ": " + command_line);

    std::vector<char *> argv;
    for (std::string &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    LabPlatform platform(lab);
    int status;
    {
        ScopedPlatform scoped(platform);
        status = qsupdate_main(static_cast<int>(argv_text.size()), argv.data());
    }
    active_lab = nullptr;
    std::fflush(stdout);
    std::fflush(stderr);
    const Lab::CallCounts &calls = lab.calls();
    lab.events().record("host calls: " + plural(calls.opens, "open") + ", " + plural(calls.ioctls, "ioctl") +
                        ", " + plural(calls.mcdi_commands, "MCDI command"));
    lab.save("qsupdate exited with status " + std::to_string(status));
    return status;
}

void watch_run(Lab &lab)
{
    static bool registered = false;
    if (!registered) {
        std::atexit(save_at_exit);
        registered = true;
    }
    std::signal(SIGABRT, save_at_abort);
    lab.events().write_through(events_log_path(lab.dir()));
    active_lab = &lab;
}

int command_show(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        throw UsageError("show needs exactly one directory");
    show_lab(args[0], stdout);
    return 0;
}

int command_image(const std::vector<std::string> &args)
{
    ArgReader r{args};
    PlainImageRequest request;
    bool ipxe = false, have_type = false, have_subtype = false, have_version = false;
    std::string output;
    size_t size = 4096;
    while (!r.done()) {
        if (r.is("--type")) {
            request.type = parse_image_type(r.value_of("--type"));
            have_type = true;
        } else if (r.is("--subtype")) {
            request.subtype = parse_count(r.value_of("--subtype"), "subtype");
            have_subtype = true;
        } else if (r.is("--version")) {
            auto v = parse_version(r.value_of("--version"), 0x10000);
            for (size_t i = 0; i < 4; ++i)
                request.version[i] = static_cast<uint16_t>(v[i]);
            have_version = true;
        } else if (r.is("--extra")) {
            auto v = parse_version(r.value_of("--extra"), 0x100);
            for (size_t i = 0; i < 4; ++i)
                request.extra[i] = static_cast<uint8_t>(v[i]);
        } else if (r.is("--size")) {
            size = parse_count(r.value_of("--size"), "size");
        } else if (r.is("-o") || r.is("--output")) {
            output = r.value_of(r.is("-o") ? "-o" : "--output");
        } else if (r.flag("--ipxe")) {
            ipxe = true;
        } else {
            throw UsageError("unexpected argument \"" + r.peek() + "\"");
        }
    }
    if (output.empty())
        throw UsageError("image needs -o FILE");
    if (ipxe) {
        if (have_type || have_subtype || have_version)
            throw UsageError("--ipxe takes no type, subtype or version");
        write_file(output, build_ipxe_image(size));
        return 0;
    }
    if (!have_type || !have_subtype || !have_version)
        throw UsageError("image needs --type, --subtype and --version (or --ipxe)");
    request.code_size = size;
    write_file(output, build_plain_image(request));
    return 0;
}

int command_flash(const std::vector<std::string> &args)
{
    ArgReader r{args};
    std::string dir, adapter, name, output, input;
    while (!r.done()) {
        if (r.is("--adapter")) {
            adapter = r.value_of("--adapter");
        } else if (r.is("--partition")) {
            name = r.value_of("--partition");
        } else if (r.is("-o") || r.is("--output")) {
            output = r.value_of(r.is("-o") ? "-o" : "--output");
        } else if (r.is("-i") || r.is("--input")) {
            input = r.value_of(r.is("-i") ? "-i" : "--input");
        } else {
            r.directory(dir);
        }
    }
    if (dir.empty() || adapter.empty() || name.empty())
        throw UsageError("flash needs a directory, --adapter N and --partition NAME");
    if (output.empty() == input.empty())
        throw UsageError("flash needs either -o FILE or -i FILE");

    LabState state = load_state(lab_json_path(dir));
    const Partition &p = find_partition(state, adapter, name);
    const std::string path = partition_file(dir, p);
    if (!output.empty()) {
        std::vector<uint8_t> contents = read_file(path);
        contents.resize(p.size, 0xFF);
        write_file(output, contents);
        std::printf("%s: %u bytes written to %s\n", p.id.c_str(), p.size, output.c_str());
        return 0;
    }
    std::vector<uint8_t> contents = read_file(input);
    if (contents.size() > p.size)
        throw std::runtime_error(input + " is " + std::to_string(contents.size()) + " bytes, more than the " +
                                 std::to_string(p.size) + " of partition " + p.id);
    const size_t given = contents.size();
    contents.resize(p.size, 0xFF);
    // Replaced whole or not at all.
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    write_file(path + ".tmp", contents);
    std::filesystem::rename(path + ".tmp", path);
    std::printf("%s: replaced by %s (%zu bytes, then %zu erased bytes)\n", p.id.c_str(), input.c_str(), given,
                contents.size() - given);
    return 0;
}

int command_fault(const std::vector<std::string> &args)
{
    ArgReader r{args};
    std::string dir;
    bool list = false, clear = false;
    nlohmann::json entry = nlohmann::json::object();
    while (!r.done()) {
        if (r.is("--target")) {
            entry["target"] = r.value_of("--target");
        } else if (r.is("--operation")) {
            entry["operation"] = r.value_of("--operation");
        } else if (r.is("--request")) {
            entry["request"] = r.value_of("--request");
        } else if (r.is("--occurrence")) {
            // A number, or text ("every") for the reader to judge.
            std::string text = r.value_of("--occurrence");
            unsigned long n;
            entry["occurrence"] = parse_unsigned(text, 0xFFFFFFFF, n) ? nlohmann::json(n) : nlohmann::json(text);
        } else if (r.is("--errno")) {
            entry["errno"] = r.value_of("--errno");
        } else if (r.is("--cut-after")) {
            entry["write_cut_after"] = parse_count(r.value_of("--cut-after"), "byte count");
        } else if (r.flag("--power-cut")) {
            entry["power_cut"] = true;
        } else if (r.is("--silent")) {
            entry["silent"] = r.value_of("--silent");
        } else if (r.flag("--list")) {
            list = true;
        } else if (r.flag("--clear")) {
            clear = true;
        } else {
            r.directory(dir);
        }
    }
    if (dir.empty())
        throw UsageError("fault needs a directory");
    if (list + clear + !entry.empty() != 1)
        throw UsageError("fault takes one of: a new fault, --list, --clear");

    LabState state = load_state(lab_json_path(dir));
    if (list) {
        for (size_t i = 0; i < state.faults.size(); ++i)
            std::printf("%zu. %s\n", i + 1, fault_text(state.faults[i]).c_str());
        if (state.faults.empty())
            std::printf("No faults.\n");
        return 0;
    }
    if (clear) {
        size_t removed = state.faults.size();
        state.faults.clear();
        save_state(state, lab_json_path(dir));
        std::printf("Removed %s.\n", plural(removed, "fault").c_str());
        return 0;
    }
    state.faults.push_back(parse_fault(entry));
    save_state(state, lab_json_path(dir));
    std::printf("Added fault %zu: %s\n", state.faults.size(), fault_text(state.faults.back()).c_str());
    return 0;
}

int command_capture(const std::vector<std::string> &args)
{
    ArgReader r{args};
    std::string dir, root = "/";
    bool with_flash = false;
    while (!r.done()) {
        if (r.is("--root")) {
            root = r.value_of("--root");
        } else if (r.flag("--with-flash")) {
            with_flash = true;
        } else {
            r.directory(dir);
        }
    }
    if (dir.empty())
        throw UsageError("capture needs a directory");
    // A capture is a lab of its own: nothing already in DIR may mix with it.
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) &&
        (!std::filesystem::is_directory(dir, ec) || !std::filesystem::is_empty(dir, ec)))
        throw std::runtime_error(dir + " exists and is not an empty directory");

    // Everything is read before anything is written.
    HostFiles host(root);
    Capture capture = capture_host(host, with_flash);
    Lab::create(dir, capture.state);

    size_t ports = 0, partitions = 0;
    for (const Adapter &a : capture.state.adapters) {
        ports += a.ports.size();
        partitions += a.partitions.size();
    }
    std::printf("Captured %s into %s: %s, %s, %s, %s, %s.\n", host.root().c_str(), dir.c_str(),
                capture.state.host.kind == HostKind::esx ? "ESX service console" : "Linux host",
                plural(capture.state.adapters.size(), "adapter").c_str(), plural(ports, "port").c_str(),
                plural(partitions, "partition").c_str(), with_flash ? "flash read" : "flash not read");
    for (const std::string &note : capture.notes)
        std::printf("Note: %s.\n", note.c_str());
    return 0;
}

} // namespace lab
