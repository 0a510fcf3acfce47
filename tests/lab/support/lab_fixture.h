// Scenario tests drive the qslab binary as a user would: create a lab, adjust it, run qsupdate in it.
#pragma once

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "lab/host/lab.h"
#include "lab/host/lab_platform.h"
#include "lab/model/lab_presets.h"

struct CommandResult {
    int status = -1;
    std::string out, err;
};

std::string read_file(const std::string &path);
// Every partition file of the lab in its directory, by partition id.
std::map<std::string, std::string> flash_files(const std::string &lab_dir);
// One line of `qsupdate --list`.
std::string list_line(const std::string &ifname, const std::string &mac);
// The OEM XML document with `devices` empty Device elements of the OEM adapter.
std::string oem_document(int devices);

// What qsupdate prints first unless it is silent; then the default lab's list.
inline const std::string BANNER = "Duskhollow firmware update utility [v7.6.1]\n"
                                  "Copyright (c) Quillstone. All rights reserved.\n";
inline const std::string TWO_PORTS =
    BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("eth1", "00-1B-7E-5A-10-01");

class TestLab {
public:
    // `qslab create` with the arguments after the directory; aborts when creation fails.
    explicit TestLab(const std::vector<std::string> &create_args = {});
    ~TestLab();
    TestLab(const TestLab &) = delete; // it owns the directory

    const std::string &dir() const { return dir_; }
    nlohmann::json description() const { return nlohmann::json::parse(read_file(dir_ + "/lab.json")); }
    void edit(const std::function<void(nlohmann::json &)> &change);
    // qsupdate through `qslab run`, with `input` as its standard input.
    CommandResult qsupdate(const std::vector<std::string> &args, const std::string &input = "") const;
    // A command line as qsupdate printed it, run in the lab as a shell runs it.
    CommandResult run_printed(const std::string &command, const std::string &input = "") const;
    // Any qslab command, with all its arguments.
    CommandResult qslab(const std::vector<std::string> &args, const std::string &input = "") const;
    // Lines of events.log that contain the text, without their time stamps.
    std::vector<std::string> events_with(const std::string &text) const;

private:
    CommandResult run_shell(const std::string &words, const std::string &input) const;
    std::string dir_;
};

// Checks all that a user sees of one run.
void expect_run(const CommandResult &r, int status, const std::string &out, const std::string &err);

// A host of the kind with the preset adapters (preset, ports).
lab::LabState lab_host(lab::HostKind kind, std::initializer_list<std::pair<const char *, unsigned>> adapters);

// A lab made from a description and opened in this process, with the platform qsupdate would see.
class InProcessLab {
public:
    explicit InProcessLab(const lab::LabState &state);
    ~InProcessLab();
    lab::Lab &lab() { return *lab_; }
    lab::LabPlatform &platform() { return *platform_; }

private:
    std::string dir_;
    std::unique_ptr<lab::Lab> lab_;
    std::unique_ptr<lab::LabPlatform> platform_;
};

// The descriptors this process has open, so that one qsupdate forgets to close shows.
inline size_t open_descriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

using Bytes = std::vector<uint8_t>;
// Little-endian words, as MCDI arguments and the adapter's records.
Bytes le_words(const std::vector<uint32_t> &words);
// Bytes no two neighbours of which are equal, different per seed.
Bytes pattern(size_t length, uint8_t seed);
// The partition of the adapter with this id; throws when there is none.
lab::Partition &partition_of(lab::LabState &state, const std::string &id, size_t adapter = 0);
// Ends the lab's run; the logged lines that contain any of the texts, without their stamps.
std::vector<std::string> logged(lab::Lab &lab, const std::vector<std::string> &texts);
inline std::vector<std::string> logged(lab::Lab &lab, const std::string &text) { return logged(lab, std::vector{text}); }

// One fault of the lab's table; `more` adds its occurrence, cut or silence.
nlohmann::json fault(const std::string &target, const std::string &operation, const std::string &request = "",
                     const std::string &error = "EIO", const nlohmann::json &more = nlohmann::json::object());
std::string replaced(std::string text, const std::string &from, const std::string &to);
// The image a token names ("img:TYPE:SUBTYPE:A.B.C.D[:EXTRA]", "ipxe:SIZE") saved in the lab; its bytes.
std::string make_image(const TestLab &lab, const std::string &token, std::string *path = nullptr);
// An argument with the lab's directory for "LAB" and an image's path for its token.
std::string resolve(const TestLab &lab, std::string arg);

// errno of a failed call, 0 for success.
inline int error_of(long rc) { return rc < 0 ? errno : 0; }

// A lab made with `create`, changed by `edit` and `prepare` (either may be empty), and qsupdate's run on it.
struct Screen {
    const char *name;
    std::vector<std::string> create;
    std::function<void(nlohmann::json &)> edit;
    std::function<void(TestLab &)> prepare;
    std::vector<std::string> args;
    int status;
    std::string out, err;
};

void expect_screens(const std::vector<Screen> &screens);
