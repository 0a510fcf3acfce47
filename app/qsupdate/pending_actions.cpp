// The status report is not built yet: it refuses, so that the run loop
// reports it as fatal rather than pretending.
#include <cerrno>

#include "app/qsupdate/qsupdate.h"

int show_status(qsu_device *, qsupdate_image_t *, int)
{
    errno = ENOSYS;
    return -1;
}
