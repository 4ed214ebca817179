// The mount itself: the first login (before anything is mounted, so that the user hears of a
// wrong password at once), the probe of the areas, libfuse's mount, the move to the
// background and the loop that serves the kernel until the mount point is unmounted.
#pragma once

#include "mount_options.h"

namespace tvnmount {

// The exit status (0 once unmounted again).
int run_mount(const mount_options &options);

} // namespace tvnmount
