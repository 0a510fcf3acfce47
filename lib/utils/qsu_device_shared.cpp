// Grouping of ports into adapters: two ports belong to one adapter when
// their serial numbers are equal.  Ports without one (unreadable or blank
// VPD, and every Dogwood port on ESXi) are told apart by where they sit:
// only functions of one PCI device share an adapter.
#include <cstddef>
#include <cstring>

#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

qsu_device *qsu_device_from_node(qsu_sll *node)
{
    if (!node)
        return nullptr;
    return reinterpret_cast<qsu_device *>(reinterpret_cast<char *>(node) -
                                          offsetof(qsu_device, ports));
}

void qsu_add_to_ports(qsu_device *dev, qsu_device *other)
{
    QS_ASSERT(dev->ports.head);
    QS_ASSERT(!other->ports.head);
    qsu_sll *last = dev->ports.head;
    while (last->next)
        last = last->next;
    ++dev->ports_count;
    last->next = &other->ports;
    other->ports.next = nullptr;
}

bool qsu_maybe_vf(const qsu_device *dev)
{
    QS_ASSERT(dev);
    return dev->master_port && dev->serial_number[0] == '\0';
}

namespace {

// Same domain, bus and device number.  Compared in full rather than in the
// packed form, which keeps only 16 bits of the domain.
bool same_pci_device(const qsu_device *a, const qsu_device *b)
{
    unsigned da, ba, sa, fa, db, bb, sb, fb;
    return get_pci_addr_nums(a->pci_addr, &da, &ba, &sa, &fa) == 0 &&
           get_pci_addr_nums(b->pci_addr, &db, &bb, &sb, &fb) == 0 && da == db && ba == bb && sa == sb;
}

bool same_adapter(const qsu_device *master, const qsu_device *other)
{
    if (std::strncmp(other->serial_number, master->serial_number, sizeof master->serial_number) != 0)
        return false;
    return master->serial_number[0] != '\0' || same_pci_device(master, other);
}

} // namespace

void qsu_group_devices(qsu_device *pdevs, int ndevs)
{
    QS_ASSERT(pdevs && ndevs >= 0);
    for (int i = 0; i < ndevs; ++i) {
        qsu_device *master = &pdevs[i];
        if (master->master_port)
            continue;
        // Grouping runs once per array.
        QS_ASSERT(!master->ports.head);
        master->ports.head = &master->ports;
        master->ports.next = nullptr;
        master->ports_count = 1;
        master->master_port = master;

        for (int j = i + 1; j < ndevs; ++j) {
            qsu_device *other = &pdevs[j];
            if (other->master_port || !same_adapter(master, other))
                continue;
            other->master_port = master;
            qsu_add_to_ports(master, other);
        }
    }
}
