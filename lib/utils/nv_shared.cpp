// Partitions opened through any port of an adapter: some partitions are
// exported by only some of its ports.
#include <cerrno>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

nv_context *nv_open_ports(qsu_device *dev, nv_part_type type, unsigned subtype, qsu_device **dev_opened,
                          bool ignore_dev)
{
    QS_ASSERT(dev_opened);
    if (!ignore_dev) {
        if (nv_context *ctx = nv_open(dev, type, subtype)) {
            *dev_opened = dev;
            return ctx;
        }
    }
    QS_ASSERT(dev->master_port);
    errno = ENOENT; // when no other port is tried
    for (qsu_sll *node = dev->master_port->ports.head; node; node = node->next) {
        qsu_device *port = qsu_device_from_node(node);
        if (port == dev)
            continue;
        if (nv_context *ctx = nv_open(port, type, subtype)) {
            *dev_opened = port;
            return ctx;
        }
    }
    return nullptr;
}

qsu_device *qsu_get_nv_device(qsu_device *dev, nv_part_type type, unsigned subtype)
{
    qsu_device *opened = nullptr;
    nv_context *ctx = nv_open_ports(dev, type, subtype, &opened, false);
    if (!ctx)
        return nullptr;
    nv_close(ctx);
    return opened;
}
