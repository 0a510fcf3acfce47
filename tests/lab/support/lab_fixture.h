// Scenario tests drive the qslab binary as a user would: create a lab in a
// temporary directory, adjust its description, run qsupdate in it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs qslab with the arguments, without standard input.
CommandResult run_qslab(const std::vector<std::string> &args);

// What qsupdate prints first unless it is silent.
extern const std::string BANNER;

class TestLab {
public:
    // `qslab create` with the arguments after the directory; aborts the
    // test program when creation fails.
    explicit TestLab(const std::vector<std::string> &create_args = {});
    ~TestLab();
    TestLab(const TestLab &) = delete;
    TestLab &operator=(const TestLab &) = delete;

    const std::string &dir() const { return dir_; }
    nlohmann::json description() const;
    void edit(const std::function<void(nlohmann::json &)> &change);

    CommandResult qsupdate(const std::vector<std::string> &args) const;
    // Lines of events.log without their time stamps.
    std::vector<std::string> events() const;
    // Events that contain the text.
    std::vector<std::string> events_with(const std::string &text) const;

private:
    std::string dir_;
};

// A file in a fresh temporary directory, removed with it.
class TempPath {
public:
    explicit TempPath(const std::string &name);
    ~TempPath();
    const std::string &path() const { return path_; }
    std::string read() const;

private:
    std::string dir_;
    std::string path_;
};

// Checks all that a user sees of one run.
void expect_run(const CommandResult &r, int status, const std::string &out, const std::string &err);

// One line of `qsupdate --list`.
std::string list_line(const std::string &ifname, const std::string &mac);

// The OEM XML document with `devices` empty Device elements of the OEM
// adapter.
std::string oem_document(int devices);
