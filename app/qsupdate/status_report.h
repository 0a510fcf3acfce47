// The status report's verdict on one firmware type.
#pragma once

#include "app/qsupdate/matching.h"

// Prints nothing for a type no row filled; otherwise whether it is up to
// date, what would update it, or that no image applies.
void check_image(const image_status *status, bool have_user_image);
