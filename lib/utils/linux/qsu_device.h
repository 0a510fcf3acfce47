// Adapter ports found on the host: enumeration, identity and grouping.
#pragma once

#include <cstddef>
#include <cstdint>

struct dynamic_cfg_context;

// List linkage of an adapter's ports (see qsu_device_shared).
struct qsu_sll {
    qsu_sll *head;
    qsu_sll *next;
};

// One adapter port.
struct qsu_device {
    char netif_name[16];
    char mac_addr[18];
    char serial_number[25];
    uint32_t pci_device_id;    // vendor in bits 16-31, device in bits 0-15
    uint32_t pci_subsystem_id; // subsystem vendor in bits 16-31, device in 0-15
    char pci_addr[32];
    uint32_t port_index;       // device number * 8 + function number
    int phy_type;
    qsu_device *master_port;
    qsu_sll ports;
    int ports_count;
    dynamic_cfg_context *dyn_context;
    void *priv;
};

enum qsu_device_types : uint32_t {
    QSU_DEVICE_TYPE_ALDER = 0x0700,
    QSU_DEVICE_TYPE_BIRCH = 0x0800,
    QSU_DEVICE_TYPE_CEDAR = 0x0900,
    QSU_DEVICE_TYPE_DOGWOOD = 0x0A00,
    QSU_DEVICE_TYPE_DOGWOOD2 = 0x0B00,
};


inline uint32_t qsu_device_type(const qsu_device *dev)
{
    return dev->pci_device_id & 0x0F00;
}

// Set by qsu_device_init when the host is ESXi.
extern int run_on_esxi;

// 0 when the adapter driver is present; -1 after printing why not.
int qsu_device_init();
// Number of ports found, with a malloc'ed array in *pdevs; -1 on failure.
int qsu_device_enum(qsu_device **pdevs);
// malloc'ed driver version text of the port's interface, or null.
char *qsu_get_driver_version(qsu_device *dev);
// 0 with a malloc'ed VPD buffer and its length, else an errno value.
int qsu_device_get_vpd(qsu_device *dev, uint8_t **vpd_data, size_t *vpd_len);
// Packed domain:bus:device.function, or 0xFFFFFFFF.
uint32_t qsu_parse_pci_addr(const qsu_device *dev);
int get_pci_addr_nums(const char *addr, unsigned *domain, unsigned *bus, unsigned *device,
                      unsigned *function);
bool qsu_is_quillstone_serial(const char *text);
// Copies the first serial number field of a VPD image into dev.
void get_qs_serial_vpd(qsu_device *dev, const uint8_t *vpd, size_t vpd_len);

// Grouping of ports into adapters.
void qsu_group_devices(qsu_device *pdevs, int ndevs);
void qsu_add_to_ports(qsu_device *dev, qsu_device *other);
bool qsu_maybe_vf(const qsu_device *dev);
// The port record that holds a list node.
qsu_device *qsu_device_from_node(qsu_sll *node);
