// This run's memory of what "/proc/mtd" and the controllers said.  Memory
// is only a saving: when there is no room for it, the question is simply
// asked again next time.
#include "lib/utils/linux/nv_memory.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <utility>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

std::optional<std::vector<mtd_listing_entry>> mtd_listing;
std::map<std::pair<std::string, uint32_t>, mcdi_partition_answer> mcdi_answers;

std::pair<std::string, uint32_t> key(const qsu_device *dev, uint32_t mcdi_type)
{
    return {std::string(dev->netif_name, strnlen(dev->netif_name, sizeof dev->netif_name)), mcdi_type};
}

} // namespace

const std::vector<mtd_listing_entry> *nv_remembered_mtd_listing()
{
    return mtd_listing ? &*mtd_listing : nullptr;
}

void nv_remember_mtd_listing(const std::vector<mtd_listing_entry> &listing)
{
    try {
        mtd_listing = listing;
    } catch (const std::bad_alloc &) {
        mtd_listing.reset();
    }
}

void nv_forget_mtd_listing()
{
    mtd_listing.reset();
}

bool nv_remembered_mcdi_answer(const qsu_device *dev, uint32_t mcdi_type, mcdi_partition_answer *answer)
{
    try {
        auto it = mcdi_answers.find(key(dev, mcdi_type));
        if (it == mcdi_answers.end())
            return false;
        *answer = it->second;
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void nv_remember_mcdi_answer(const qsu_device *dev, uint32_t mcdi_type, const mcdi_partition_answer &answer)
{
    try {
        mcdi_answers[key(dev, mcdi_type)] = answer;
    } catch (const std::bad_alloc &) {
    }
}

void nv_forget_answers()
{
    // Called on failure paths too: the caller's errno is kept.
    const int err = errno;
    mtd_listing.reset();
    mcdi_answers.clear();
    errno = err;
}
