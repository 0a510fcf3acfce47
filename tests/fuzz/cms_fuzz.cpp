// The signed envelope: located content always lies inside the buffer.
#include "lib/utils/firmware.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(cms)
{
    uint32_t offset = 0, length = 0;
    if (cms_parse(data, size, &offset, &length) == 0)
        FUZZ_CHECK(offset <= size && length <= size - offset);
}
