// Option codes and the bits of the option word handed to the status report
// and the update procedure.
#pragma once

enum qsupdate_option : int {
    OPTION_HELP = 0,
    OPTION_VERSION = 1,
    OPTION_MANIFEST = 2,
    OPTION_LIST = 3,
    OPTION_STATUS = 4,
    OPTION_UPDATE = 5,
    OPTION_ADAPTER = 6,
    OPTION_IMAGE = 7,
    OPTION_RESTORE_BOOTROM = 8,
    OPTION_OUTPUT_FILE = 9,
    OPTION_SILENT = 0x100,
    OPTION_FORCE = 0x200,
    OPTION_VERBOSE = 0x1000,
    OPTION_PHY = 0x2000,
    OPTION_BOOTROM = 0x4000,
    OPTION_MC = 0x8000,
    OPTION_FPGA = 0x10000,
    OPTION_FC = 0x20000,
    OPTION_CPLD = 0x40000,
    OPTION_FPGADIAG = 0x80000,
    OPTION_YES = 0x100000,
    OPTION_ALL = 0x200000,
    OPTION_BACKUP = 0x400000,
    OPTION_MUM = 0x800000,
    OPTION_V1 = 0x1000000,
    OPTION_V9 = 0x2000000,
    OPTION_FULL_ERASE = 0x4000000,
    OPTION_UEFI = 0x8000000,
    OPTION_IPXE = 0x10000000,
    OPTION_BUNDLE = 0x20000000,
    OPTION_DELL = 0x40000000,
};

// Every type selector: what status and write use when none is given.
constexpr int OPTION_ALL_FIRMWARE_TYPES = OPTION_PHY | OPTION_BOOTROM | OPTION_MC | OPTION_FPGA |
                                          OPTION_FC | OPTION_CPLD | OPTION_FPGADIAG | OPTION_MUM |
                                          OPTION_UEFI | OPTION_BUNDLE;
static_assert(OPTION_ALL_FIRMWARE_TYPES == 0x288FE000);
