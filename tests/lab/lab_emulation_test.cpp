// The lab's host, where answering more kindly than Linux would hide a fault of qsupdate.
#include <gtest/gtest.h>
#include <sys/file.h>

#include "lab/host/lab_pci_config.h"
#include "lab/model/lab_vpd.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

// Locks per open file, as flock's; a VPD read is locked only if asked and collected so.
TEST(LabPciConfig, VpdReadsAndLocksPerOpenFile)
{
    lab::Adapter adapter = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}).adapters[0];
    adapter.config.vpd_polls = 1;
    lab::Eeprom eeprom{lab::eeprom_contents(adapter), false};
    lab::PciConfigSpace space(adapter, 0, eeprom);
    uint8_t cap = 0, header[2] = {};
    space.read(0x34, &cap, 1);
    while (cap && space.read(cap, header, 2) == 2 && header[0] != 3)
        cap = header[1];
    ASSERT_NE(cap, 0);
    for (auto [ask_locked, collect_locked] : {std::pair{true, true}, {false, true}, {true, false}}) {
        uint8_t b[2] = {8, 0};
        space.write(cap + 2, b, 2, ask_locked);
        ASSERT_EQ(space.read(cap + 2, b, 2, collect_locked), 2u);
        EXPECT_EQ(load_le16(b), 0x8008);
    }
    EXPECT_EQ(std::pair(space.vpd_reads(), space.vpd_reads_unlocked()), std::pair(3u, 2u));
    int a, b; // two open files
    for (auto [owner, operation, err] : {std::tuple{&a, LOCK_SH, 0}, {&b, LOCK_SH, 0},
                                         {&b, LOCK_EX | LOCK_NB, EWOULDBLOCK}, {&a, LOCK_UN, 0},
                                         {&b, LOCK_EX, 0}, {&a, LOCK_SH, EDEADLK}}) // it would wait forever
        EXPECT_EQ(space.lock(owner, operation), err) << operation;
    EXPECT_TRUE(space.holds_exclusive(&b));
}
