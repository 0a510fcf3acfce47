// The status report and the update procedure are not built yet: both
// refuse, so that the run loop reports them as fatal rather than pretending.
#include <cerrno>

#include "app/qsupdate/qsupdate.h"

int show_status(qsu_device *, qsupdate_image_t *, int)
{
    errno = ENOSYS;
    return -1;
}

int update_firmware(qsu_device *, qsupdate_image_t *, int)
{
    errno = ENOSYS;
    return -1;
}
