#include "tests/unit/support/expected_registry.h"

#include <initializer_list>

namespace {

struct Group {
    unsigned type;
    unsigned flags;
    const char *name;
    std::initializer_list<unsigned> subtypes;
};

// type: 0 PHY, 2 boot ROM, 3 controller, 6 FPGA, 7 diagnostic FPGA, 8 KVE,
// 10 CPLD, 11 MUM, 12 UEFI, 13 bundle.
std::vector<ExpectedRow> expand()
{
    const Group groups[] = {
        {0, 0x1, "QT2025C", {9}},
        {0, 0x1, "QT2025_KR", {17}},
        {0, 0x1, "Quillstone QSL1021", {10}},
        {0, 0x1, "Quillstone QST1001B", {10}},
        {3, 0xD, "Quillstone QSC1000 family", {7, 8, 13, 9, 14, 11, 16, 17, 10}},
        {3, 0xD, "Quillstone QSC1100 family", {0, 18, 20, 23, 24, 25, 26, 27, 28, 22, 29}},
        {3, 0xD, "Quillstone QSC1200 family", {31, 32, 33, 34, 35, 40}},
        {3, 0xD, "Quillstone QSC1250 family", {37, 38, 42, 43, 44, 45, 47, 46, 48, 39}},
        {2, 0x4, "Quillstone QSC1020", {1}},
        {2, 0x4, "Quillstone QSL1021", {2}},
        {2, 0x4, "Quillstone QSC1120", {4}},
        {2, 0x4, "Quillstone QSC1140", {5}},
        {2, 0x4, "Quillstone QSC1220", {6}},
        {2, 0x4, "Quillstone QSC1250", {7}},
        {6, 0x9, "timestamp peripheral", {1, 2}},
        {6, 0xD, "KVE peripheral", {4}},
        {6, 0xD, "KVE peripheral A7", {5}},
        {6, 0xD, "KVE peripheral A5", {6}},
        {7, 0xD, "KVE peripheral", {4}},
        {7, 0xD, "KVE peripheral A7", {5}},
        {7, 0xD, "KVE peripheral A5", {6}},
        {6, 0x10D, "KVE peripheral", {7}},
        {6, 0x10D, "KVE peripheral A7", {9}},
        {6, 0x10D, "KVE peripheral A5", {8}},
        {7, 0x10D, "KVE peripheral", {7}},
        {7, 0x10D, "KVE peripheral A7", {9}},
        {7, 0x10D, "KVE peripheral A5", {8}},
        {8, 0x65, "KVE controller", {1}},
        {8, 0x165, "KVE controller", {2}},
        {10, 0x1D, "1902 CPLD", {1}},
        {11, 0xA5, "Micro-controller", {1}},
        {11, 0xD, "Micro-controller", {2, 3, 4, 8, 5, 6, 10, 11, 12, 13, 15, 14, 16, 7}},
        {12, 0x4, "UEFI ROM", {0}},
        {13, 0xD, "Y3522 Dell", {1}},
        {13, 0xD, "Y3552", {2}},
    };
    std::vector<ExpectedRow> rows;
    for (const Group &g : groups)
        for (unsigned subtype : g.subtypes)
            rows.push_back({g.type, subtype, g.flags, g.name});
    return rows;
}

} // namespace

const std::vector<ExpectedRow> &expected_registry()
{
    static const std::vector<ExpectedRow> rows = expand();
    return rows;
}
