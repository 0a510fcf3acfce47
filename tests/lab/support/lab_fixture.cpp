#include "tests/lab/support/lab_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "lab/model/lab_image.h"

std::string read_file(const std::string &path)
{
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

std::map<std::string, std::string> flash_files(const std::string &lab_dir)
{
    std::map<std::string, std::string> all;
    for (const auto &e : std::filesystem::directory_iterator(lab_dir + "/flash"))
        all[e.path().stem().string()] = read_file(e.path().string());
    return all;
}

// A new directory from a mkdtemp pattern.
static std::string temp_dir(std::string pattern)
{
    if (!mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

TestLab::TestLab(const std::vector<std::string> &create_args) : dir_(temp_dir("/tmp/qslab-test-XXXXXX"))
{
    std::vector<std::string> args = {"create", dir_};
    args.insert(args.end(), create_args.begin(), create_args.end());
    CommandResult r = qslab(args);
    if (r.status != 0) {
        std::fprintf(stderr, "qslab create failed: %s", r.err.c_str());
        std::abort();
    }
}

TestLab::~TestLab()
{
    for (const char *suffix : {"", ".in", ".out", ".err"})
        std::filesystem::remove_all(dir_ + suffix);
}

// Standard output and error go to files beside the lab, not inside it.
CommandResult TestLab::qslab(const std::vector<std::string> &args, const std::string &input) const
{
    std::string words;
    for (const std::string &a : args)
        words += " '" + a + "'"; // no test argument holds a quote
    return run_shell(words, input);
}

// qslab followed by shell words, as the shell takes them.
CommandResult TestLab::run_shell(const std::string &words, const std::string &input) const
{
    std::ofstream(dir_ + ".in", std::ios::binary | std::ios::trunc) << input;
    const std::string command = QSLAB_LAUNCHER "'" QSLAB_BINARY "'" + words;
    int wstatus = std::system((command + " <" + dir_ + ".in >" + dir_ + ".out 2>" + dir_ + ".err").c_str());
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, read_file(dir_ + ".out"), read_file(dir_ + ".err")};
}

CommandResult TestLab::run_printed(const std::string &command, const std::string &input) const
{
    const std::string program = "qsupdate ";
    if (command.rfind(program, 0) != 0)
        return {-1, "", "not a qsupdate command: " + command};
    return run_shell(" run '" + dir_ + "' -- " + command.substr(program.size()), input);
}

void TestLab::edit(const std::function<void(nlohmann::json &)> &change)
{
    nlohmann::json j = description();
    change(j);
    std::ofstream(dir_ + "/lab.json", std::ios::trunc) << j.dump(2);
}

CommandResult TestLab::qsupdate(const std::vector<std::string> &args, const std::string &input) const
{
    std::vector<std::string> full = {"run", dir_, "--"};
    full.insert(full.end(), args.begin(), args.end());
    return qslab(full, input);
}

// The lines of an event log that contain any of the texts, without their time stamps.
static std::vector<std::string> events_in(const std::string &log, const std::vector<std::string> &texts)
{
    std::vector<std::string> found;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);) // "[<seconds> s] <event>"
        if (std::any_of(texts.begin(), texts.end(), [&](const std::string &t) { return line.find(t) != std::string::npos; }))
            found.push_back(line.substr(line.find("] ") + 2));
    return found;
}

std::vector<std::string> TestLab::events_with(const std::string &text) const
{
    return events_in(dir_ + "/events.log", {text});
}

void expect_run(const CommandResult &r, int status, const std::string &out, const std::string &err)
{
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, status);
}

std::string list_line(const std::string &ifname, const std::string &mac)
{
    return (ifname + std::string(16, ' ')).substr(0, 16) + "  " + mac + "\n";
}

std::string oem_document(int devices)
{
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SVMExecution lang=\"en\">\n";
    for (int i = 0; i < devices; ++i)
        doc += "\t<Device display=\"Halcyonpath Y3522-25G Adapter\">\n\t</Device>\n";
    return doc + "\t<RebootRequired>0</RebootRequired>\n</SVMExecution>\n";
}

lab::LabState lab_host(lab::HostKind kind, std::initializer_list<std::pair<const char *, unsigned>> adapters)
{
    lab::LabState state = lab::make_host(kind, true);
    for (auto [preset, ports] : adapters)
        lab::add_preset_adapter(state, preset, ports);
    return state;
}

InProcessLab::InProcessLab(const lab::LabState &state) : dir_(temp_dir("/tmp/qslab-unit-XXXXXX"))
{
    lab::Lab::create(dir_, state);
    lab_ = std::make_unique<lab::Lab>(dir_);
    platform_ = std::make_unique<lab::LabPlatform>(*lab_);
}

InProcessLab::~InProcessLab()
{
    platform_.reset();
    std::filesystem::remove_all(dir_);
}

nlohmann::json fault(const std::string &target, const std::string &operation, const std::string &request,
                     const std::string &error, const nlohmann::json &more)
{
    nlohmann::json f = {{"target", target}, {"operation", operation}, {"errno", error}};
    if (!request.empty())
        f["request"] = request;
    f.update(more);
    if (more.contains("silent") || more.contains("write_cut_after") || more.contains("answer_cut_after"))
        f.erase("errno"); // a write or command that does not fail
    return f;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

std::string make_image(const TestLab &lab, const std::string &token, std::string *path)
{
    lab::PlainImageRequest image;
    size_t ipxe_size = 0;
    std::sscanf(token.c_str(), "img:%u:%u:%hu.%hu.%hu.%hu:%hhu.%hhu.%hhu.%hhu", &image.type, &image.subtype,
                &image.version[0], &image.version[1], &image.version[2], &image.version[3], &image.extra[0],
                &image.extra[1], &image.extra[2], &image.extra[3]);
    const std::vector<uint8_t> bytes = std::sscanf(token.c_str(), "ipxe:%zu", &ipxe_size) == 1
                                           ? lab::build_ipxe_image(ipxe_size)
                                           : lab::build_plain_image(image);
    const std::string file = lab.dir() + "/" + replaced(token, ":", "_") + ".bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    if (path)
        *path = file;
    return {bytes.begin(), bytes.end()};
}

std::string resolve(const TestLab &lab, std::string arg)
{
    arg = replaced(arg, "LAB", lab.dir());
    const size_t at = std::min(arg.find("img:"), arg.find("ipxe:"));
    std::string path;
    if (at != std::string::npos)
        make_image(lab, arg.substr(at), &path), arg = arg.substr(0, at) + path;
    return arg;
}

Bytes le_words(const std::vector<uint32_t> &words)
{
    Bytes b;
    for (uint32_t w : words)
        for (int shift : {0, 8, 16, 24})
            b.push_back(static_cast<uint8_t>(w >> shift));
    return b;
}

Bytes pattern(size_t length, uint8_t seed)
{
    Bytes b(length);
    for (size_t i = 0; i < length; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

lab::Partition &partition_of(lab::LabState &state, const std::string &id, size_t adapter)
{
    for (lab::Partition &p : state.adapters.at(adapter).partitions)
        if (p.id == id)
            return p;
    throw std::runtime_error("no partition " + id);
}

std::vector<std::string> logged(lab::Lab &lab, const std::vector<std::string> &texts)
{
    lab.save("end");
    return events_in(lab.dir() + "/events.log", texts);
}

void expect_screens(const std::vector<Screen> &screens)
{
    for (const Screen &s : screens) {
        SCOPED_TRACE(s.name);
        TestLab lab(s.create);
        if (s.edit)
            lab.edit(s.edit);
        if (s.prepare)
            s.prepare(lab);
        expect_run(lab.qsupdate(s.args), s.status, s.out, s.err);
    }
}
