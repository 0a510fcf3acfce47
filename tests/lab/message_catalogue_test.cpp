// Every looked-up text is in the translators' template; N_() marks are otherwise unchecked.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "lab/model/lab_image.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/unit/support/run_main.h"

namespace {
// Where the stand-in below records each text; qsupdate's child inherits it.
int record_fd = -1;
} // namespace

// qsupdate's code is linked into this program, so its lookups land here.
extern "C" char *gettext(const char *msgid) noexcept
{
    if (record_fd >= 0 && ::write(record_fd, msgid, std::strlen(msgid) + 1) < 0)
        std::abort();
    return const_cast<char *>(msgid);
}

TEST(MessageCatalogue, EveryTextLookedUpIsInTheTemplate)
{
    InProcessLab host(lab_host(lab::HostKind::linux_host, {{"alder", 2}, {"birch", 2}, {"cedar", 2}, {"dogwood", 4},
                                                            {"dogwood2", 2}, {"oem", 2}}));
    InProcessLab esxi(lab_host(lab::HostKind::esxi, {{"dogwood2", 2}}));
    const std::string dir = host.lab().dir(), record = dir + "/looked-up", mcfw = dir + "/mcfw.bin",
                      ipxe = dir + "/ipxe.rom", stray = dir + "/stray.bin";
    for (auto [path, bytes] : {std::pair{mcfw, lab::build_plain_image({3, 37, {7, 9, 0, 1000}, {}, 4096})},
                               {ipxe, lab::build_ipxe_image(4096)}, {stray, Bytes{1, 2, 3}}})
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    record_fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(record_fd, 0);
    // Every generation, an update with a backup, a boot ROM replaced and restored, and failures.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--help"}, {"--manifest"}, {"--version"}, {"--list"}, {}, {"--image=" + mcfw},
             {"--write", "--yes", "--backup", "--image=" + mcfw},
             {"--write", "--yes", "--backup", "--ipxe-image=" + ipxe}, {"--restore-bootrom", "--yes"},
             {"--image=" + stray}, {"--adapter=nosuch0"}, {"--adapter=02:00:00:00:00:01"}})
        run_qsupdate(host.platform(), args);
    run_qsupdate(esxi.platform(), {"--write", "--yes", "--image=" + mcfw});
    ::close(record_fd);
    record_fd = -1;

    std::ifstream in(record);
    std::set<std::string> looked_up;
    for (std::string text; std::getline(in, text, '\0');)
        looked_up.insert(text);
    // Reaching row names and progress steps shows the runs did their work.
    for (const char *reached : {"Boot ROM", "Erasing", "Writing", "PHY type:", "KVE peripheral"})
        EXPECT_TRUE(looked_up.count(reached)) << reached;
    // Continuation lines joined, each msgid is one line of the template.
    std::string pot = read_file(QS_POT_FILE);
    for (size_t at; (at = pot.find("\"\n\"")) != std::string::npos;)
        pot.erase(at, 3);
    for (const std::string &text : looked_up) {
        std::string escaped;
        for (char c : text)
            escaped += c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(c == '"' || c == '\\' ? "\\" : "") + c;
        EXPECT_NE(pot.find("\nmsgid \"" + escaped + "\"\n"), std::string::npos)
            << "not in " QS_POT_FILE " (mark it N_() where it is defined and run `cmake --build BUILD --target pot`): \""
            << text << "\"";
    }
}
