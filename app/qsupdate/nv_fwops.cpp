// Placeholders: the NV-backed registry operations are not written yet.  Each
// one fails with ENOSYS so that callers take their ordinary failure path
// (no port carries any kind, nothing opens, nothing is read or written).
#include "app/qsupdate/nv_fwops.h"

#include <cerrno>

bool nv_fw_match_device(const firmware_ops *, qsu_device *)
{
    errno = ENOSYS;
    return false;
}

void *nv_fw_open(const firmware_ops *, qsu_device *)
{
    errno = ENOSYS;
    return nullptr;
}

void nv_fw_close(void *)
{
}

firmware_version nv_fw_get_version(void *, dynamic_cfg_context *)
{
    errno = ENOSYS;
    return {};
}

qsupdate_image_t *nv_fw_read_image(void *, progress_fn)
{
    errno = ENOSYS;
    return nullptr;
}

int nv_fw_write_image(void *, qsupdate_image_t *, bool, progress_fn)
{
    errno = ENOSYS;
    return -1;
}
