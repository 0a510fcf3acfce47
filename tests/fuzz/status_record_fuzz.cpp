// Only a record with the magic and a length past its leading fields fails an update, always with an errno.
#include <cerrno>

#include "app/qsupdate/nv_fw_status.h"
#include "lib/utils/byteorder.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(status_record)
{
    errno = 0;
    const int rc = nv_fw_status_verdict(data, size, "eth0");
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc == -1)
        FUZZ_CHECK(errno != 0 && size >= 8 && load_le32(data) == 0xBD2057A7 && load_le32(data + 4) > 12);
}
