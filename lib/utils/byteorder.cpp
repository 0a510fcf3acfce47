#include "lib/utils/byteorder.h"

void byteorder_native_to_le_16(uint16_t *values, size_t count)
{
    for (size_t i = 0; i < count; i++)
        values[i] = host_to_le16(values[i]);
}

void byteorder_le_to_native_16(uint16_t *values, size_t count)
{
    for (size_t i = 0; i < count; i++)
        values[i] = le16_to_host(values[i]);
}

void byteorder_native_to_le_32(uint32_t *values, size_t count)
{
    for (size_t i = 0; i < count; i++)
        values[i] = host_to_le32(values[i]);
}

void byteorder_le_to_native_32(uint32_t *values, size_t count)
{
    for (size_t i = 0; i < count; i++)
        values[i] = le32_to_host(values[i]);
}
