#include "tests/lab/support/lab_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

const std::string BANNER = "Duskhollow firmware update utility [v7.6.1]\n"
                           "Copyright (c) Quillstone. All rights reserved.\n";

namespace {

std::string make_temp_dir()
{
    char name[] = "/tmp/qslab-test-XXXXXX";
    if (!mkdtemp(name))
        std::abort();
    return name;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

CommandResult run_qslab(const std::vector<std::string> &args)
{
    std::string tmp = make_temp_dir();
    std::string out = tmp + "/out", err = tmp + "/err";
    pid_t pid = fork();
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        int in_fd = open("/dev/null", O_RDONLY);
        int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(err_fd, 2) < 0)
            _exit(126);
        std::vector<char *> argv = {const_cast<char *>(QSLAB_BINARY)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(QSLAB_BINARY, argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    CommandResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove_all(tmp);
    return r;
}

TestLab::TestLab(const std::vector<std::string> &create_args) : dir_(make_temp_dir())
{
    std::vector<std::string> args = {"create", dir_};
    args.insert(args.end(), create_args.begin(), create_args.end());
    CommandResult r = run_qslab(args);
    if (r.status != 0) {
        std::fprintf(stderr, "qslab create failed: %s", r.err.c_str());
        std::abort();
    }
}

TestLab::~TestLab()
{
    fs::remove_all(dir_);
}

nlohmann::json TestLab::description() const
{
    std::ifstream in(dir_ + "/lab.json");
    return nlohmann::json::parse(in);
}

void TestLab::edit(const std::function<void(nlohmann::json &)> &change)
{
    nlohmann::json j = description();
    change(j);
    std::ofstream(dir_ + "/lab.json", std::ios::trunc) << j.dump(2);
}

CommandResult TestLab::qsupdate(const std::vector<std::string> &args) const
{
    std::vector<std::string> full = {"run", dir_, "--"};
    full.insert(full.end(), args.begin(), args.end());
    return run_qslab(full);
}

std::vector<std::string> TestLab::events() const
{
    std::vector<std::string> lines;
    std::istringstream in(slurp(dir_ + "/events.log"));
    std::string line;
    while (std::getline(in, line)) {
        size_t stamp_end = line.find("] ");
        lines.push_back(stamp_end == std::string::npos ? line : line.substr(stamp_end + 2));
    }
    return lines;
}

std::vector<std::string> TestLab::events_with(const std::string &text) const
{
    std::vector<std::string> found;
    for (const std::string &line : events())
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    return found;
}

TempPath::TempPath(const std::string &name) : dir_(make_temp_dir()), path_(dir_ + "/" + name) {}

TempPath::~TempPath()
{
    fs::remove_all(dir_);
}

std::string TempPath::read() const
{
    return slurp(path_);
}

void expect_run(const CommandResult &r, int status, const std::string &out, const std::string &err)
{
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, status);
}

std::string list_line(const std::string &ifname, const std::string &mac)
{
    char line[128];
    std::snprintf(line, sizeof line, "%-16.16s  %s\n", ifname.c_str(), mac.c_str());
    return line;
}

std::string oem_document(int devices)
{
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SVMExecution lang=\"en\">\n";
    for (int i = 0; i < devices; ++i)
        doc += "\t<Device display=\"Halcyonpath Y3522-25G Adapter\">\n\t</Device>\n";
    return doc + "\t<RebootRequired>0</RebootRequired>\n</SVMExecution>\n";
}
