// Pieces of port enumeration shared between its source files.
#pragma once

#include <cstddef>
#include <cstdint>

struct qsu_device;

// True when a directory entry may name one of our interfaces.
bool netif_dir_filter(const char *name);
// 1 when the record was filled, 0 when the interface is not ours, -1 with
// errno on failure.
int device_fill(qsu_device *dev, const char *netif_name);
// Sort order of ports: by packed PCI address, as unsigned numbers.
int qsu_dev_pci_cmp(const qsu_device *a, const qsu_device *b);

// Packed PCI address of an address text; false when it does not parse or
// a part is out of range.
bool parse_pci_addr(const char *addr, uint32_t *packed);

// Linux path: ids and PHY type from the PCI function's sysfs attributes.
uint32_t get_pci_id(const char *pci_addr, const char *high_attr, const char *low_attr);
int get_phy_type(const char *pci_addr);

// ESXi path: ids and PHY type from the driver, else from the PCI
// configuration header in /proc/bus/pci.  0, or -1 with errno.
int esxi_get_pci_ids(qsu_device *dev);
void get_qs_serial_esxi(qsu_device *dev);
// The serial number from a static configuration partition read whole into
// `part` (Birch: a header locating the VPD; Cedar: the port's TLV item).
void get_qs_serial_static_cfg(qsu_device *dev, uint32_t *part, size_t part_size);

// One step of the VPD read through configuration space, after the four
// bytes at `addr` (and all before) have arrived in `buf`: steps over at
// most one resource tag at `next_tag`; true, with the VPD's length in
// `len`, when the end tag is reached.
bool reached_vpd_end(const uint8_t *buf, size_t addr, size_t &next_tag, size_t &len);

// Seeks to an offset of the configuration-space file and reads len bytes.
// 0, or an errno value.
int read_pci_config(int fd, unsigned offset, void *buf, unsigned len);
