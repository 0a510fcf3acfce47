// Every text qsupdate looks up in the message catalogue is in the template
// translators work from (po/qsupdate.pot). Texts looked up where they are
// printed but defined elsewhere (table entries, progress steps) reach the
// template only through their N_() marks, which nothing else checks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <libintl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lab/model/lab_image.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/unit/support/run_main.h"

namespace {

// Where the stand-in below records each text, '\0'-terminated; qsupdate
// runs in a child process, which inherits the descriptor.
int record_fd = -1;

} // namespace

// Replaces the C library's lookup for this program: qsupdate's code is
// linked into it, so its calls land here.
extern "C" char *gettext(const char *msgid) noexcept
{
    if (record_fd >= 0 && ::write(record_fd, msgid, std::strlen(msgid) + 1) < 0)
        std::abort();
    return const_cast<char *>(msgid);
}

namespace {

// The msgids of a catalogue template, unescaped.
std::set<std::string> template_msgids(const std::string &path)
{
    std::ifstream in(path);
    std::set<std::string> ids;
    std::string line, id;
    bool in_id = false;
    auto unquote = [](const std::string &quoted) {
        std::string text;
        for (size_t i = 1; i + 1 < quoted.size(); ++i) {
            char c = quoted[i];
            if (c == '\\') {
                c = quoted[++i];
                c = c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
            text += c;
        }
        return text;
    };
    while (std::getline(in, line)) {
        if (line.starts_with("msgid \"")) {
            in_id = true;
            id = unquote(line.substr(6));
        } else if (in_id && line.starts_with("\"")) {
            id += unquote(line);
        } else if (in_id) {
            ids.insert(id);
            in_id = false;
        }
    }
    ids.erase("");
    return ids;
}

std::string save(const std::string &dir, const char *name, const std::vector<uint8_t> &bytes)
{
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(MessageCatalogue, EveryTextLookedUpInReportsAndUpdatesIsInTheTemplate)
{
    const std::set<std::string> known = template_msgids(QS_POT_FILE);
    ASSERT_GT(known.size(), 100u) << QS_POT_FILE;

    char dir[] = "/tmp/qs-catalogue-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string record = std::string(dir) + "/looked-up";
    record_fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(record_fd, 0);

    // Every generation, so that every row's names and every report line
    // show; an update through MTD with a backup, a boot ROM replaced and
    // restored, and runs that fail.
    const std::string mcfw = save(dir, "mcfw.bin", lab::build_plain_image({3, 37, {7, 9, 0, 1000}, {}, 4096}));
    const std::string ipxe = save(dir, "ipxe.rom", lab::build_ipxe_image(4096));
    const std::string stray = save(dir, "stray.bin", {1, 2, 3});
    {
        InProcessLab host(lab_host(lab::HostKind::linux_host, {{"alder", 2},
                                                                {"birch", 2},
                                                                {"cedar", 2},
                                                                {"dogwood", 4},
                                                                {"dogwood2", 2},
                                                                {"oem", 2}}));
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"--help"},
                 {"--manifest"},
                 {"--version"},
                 {"--list"},
                 {},
                 {"--image=" + mcfw},
                 {"--write", "--yes", "--backup", "--image=" + mcfw},
                 {"--write", "--yes", "--backup", "--ipxe-image=" + ipxe},
                 {"--restore-bootrom", "--yes"},
                 {"--image=" + stray},
                 {"--adapter=nosuch0"},
                 {"--adapter=02:00:00:00:00:01"},
             })
            run_qsupdate(host.platform(), args);
    }
    {
        InProcessLab esxi(lab_host(lab::HostKind::esxi, {{"dogwood2", 2}}));
        run_qsupdate(esxi.platform(), {"--write", "--yes", "--image=" + mcfw});
    }
    ::close(record_fd);
    record_fd = -1;

    std::ifstream in(record);
    std::set<std::string> looked_up;
    for (std::string text; std::getline(in, text, '\0');)
        looked_up.insert(text);
    std::filesystem::remove_all(dir);

    // Reaching the row names and progress steps shows the runs did their work.
    for (const char *reached : {"Boot ROM", "Erasing", "Writing", "PHY type:", "KVE peripheral"})
        EXPECT_TRUE(looked_up.count(reached)) << reached;
    for (const std::string &text : looked_up)
        EXPECT_TRUE(known.count(text)) << "not in " QS_POT_FILE " (mark it N_() where it is defined and run "
                                          "`cmake --build BUILD --target pot`): \""
                                       << text << "\"";
}

} // namespace
