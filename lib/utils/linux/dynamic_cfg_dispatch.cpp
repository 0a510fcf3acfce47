// Each operation of the dynamic configuration in the layout of the part
// it works on.
#include <cerrno>

#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/dynamic_cfg_birch.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"

bool decode_dynamic_config(dynamic_cfg_part *part)
{
    return part->is_bd20 ? bd20_validate_dynamic_config(part) : birch_decode_dynamic_config(part);
}

bool dynamic_config_is_whole(dynamic_cfg_part *part)
{
    return part->is_bd20 ? bd20_dynamic_config_is_whole(part) : birch_dynamic_config_is_whole(part);
}

void reset_dynamic_config(dynamic_cfg_part *part)
{
    if (part->is_bd20)
        bd20_reset_dynamic_config(part);
    else
        birch_reset_dynamic_config(part);
}

uint8_t *dyn_vpd_buffer(dynamic_cfg_context *ctx)
{
    if (!ctx->part->buffer)
        return nullptr;
    return ctx->part->is_bd20 ? bd20_dyn_vpd_buffer(ctx) : birch_dyn_vpd_buffer(ctx);
}

size_t dyn_vpd_available_len(dynamic_cfg_context *ctx)
{
    if (!ctx->part->buffer)
        return 0;
    return ctx->part->is_bd20 ? bd20_dyn_vpd_available_len(ctx) : birch_dyn_vpd_available_len(ctx);
}

int reset_dyn_vpd(dynamic_cfg_context *ctx)
{
    return ctx->part->is_bd20 ? bd20_reset_dyn_vpd(ctx) : birch_reset_dyn_vpd(ctx);
}

firmware_version dynamic_cfg_get_version(dynamic_cfg_context *ctx, image_type_t type)
{
    if (!ctx->part->is_bd20)
        return birch_dynamic_cfg_get_version(ctx, type);
    const firmware_version own = bd20_dynamic_cfg_get_version(ctx, type);
    firmware_version meta;
    if (!bundle_meta_get_version(ctx->qsu_dev, type, &meta))
        return own;
    // The bundle's record wins, even a null version, unless the
    // configuration already names that bundle or a later one: then what
    // it records besides was written since, a kind updated on its own.
    firmware_version meta_bundle;
    const firmware_version own_bundle = bd20_dynamic_cfg_get_version(ctx, IMAGE_TYPE_BUNDLE);
    const bool recorded_since = !version_is_null(own) && !version_is_null(own_bundle) &&
                                bundle_meta_get_version(ctx->qsu_dev, IMAGE_TYPE_BUNDLE, &meta_bundle) &&
                                compare_versions(own_bundle, meta_bundle) >= 0;
    return recorded_since ? own : meta;
}

int dynamic_cfg_set_version(dynamic_cfg_context *ctx, image_type_t type, uint32_t subtype,
                            firmware_version version, bool set_subtype)
{
    ctx->part->changed = true;
    if (ctx->part->is_bd20)
        return bd20_dynamic_cfg_set_version(ctx, type, subtype, version, set_subtype);
    return birch_dynamic_cfg_set_version(ctx, type, subtype, version, set_subtype);
}

int dynamic_cfg_sync(dynamic_cfg_context *ctx, progress_fn progress)
{
    ctx->part->changed = true; // a failed write leaves the flash unlike the buffer
    if (ctx->part->is_bd20)
        return bd20_dynamic_cfg_sync(ctx, progress);
    return birch_dynamic_cfg_sync(ctx, progress);
}
